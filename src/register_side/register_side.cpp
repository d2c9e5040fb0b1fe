// Finding and opening a register, its semaphore and its close request (register_side.h).
#include "register_side/register_side.h"

#include <algorithm>
#include <fstream>
#include <thread>

#include "base/text.h"
#include "core/register_vocabulary.h"
#include "register_side/line_values.h"

namespace cassasync::register_side {

namespace fs = std::filesystem;
using data::Database;
using data::DbError;
using data::Value;
using data::to_int_or;
using data::to_text;

namespace {

// One conditional statement each way: the other side's hold is never overwritten.
constexpr const char* kSetFirstFlag =
    "UPDATE Semafori SET Flag1 = ? WHERE rowid = (SELECT min(rowid) FROM Semafori) AND Flag1 = ?";

Value flag(core::Semaforo state) { return Value(static_cast<std::int64_t>(state)); }

std::string loopback_register_path(int n) { return "\\\\127.0.0." + std::to_string(n) + "\\cassa\\dati.mdb"; }

}  // namespace

std::string host_of(const std::string& windows_path) {
    if (windows_path.rfind("\\\\", 0) != 0) return {};
    const auto end = windows_path.find('\\', 2);
    return end == std::string::npos ? std::string() : windows_path.substr(2, end - 2);
}

SemaphoreHold::~SemaphoreHold() {
    if (!db_) return;
    for (int attempt = 1; attempt <= 3; ++attempt) {
        try {
            db_->execute(kSetFirstFlag, {flag(core::Semaforo::Libero), flag(core::Semaforo::Cassa)});
            return;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "cassasync-register: cannot release the semaphore, attempt %d of 3: %s\n", attempt,
                         e.what());
        }
    }
}

Register::Register(const RegisterOptions& options, platform::RootPathMap& paths)
    : paths_(paths), lock_wait_(options.lock_wait_ms) {
    std::random_device device;
    random_.seed(options.seed ? options.seed : (static_cast<std::uint64_t>(device()) << 32) ^ device());

    main_file_ = paths_.to_local(main_path(options));
    find_register(options);
    const fs::path local = paths_.to_local(path_);
    if (!fs::exists(local)) {
        throw DbError("register " + std::to_string(number_) + " has no database at " + path_ + " (" + local.string() +
                      "): create it with cassasync-shop add-register or demo");
    }
    data::OpenOptions open;
    open.role = data::FileRole::register_share;
    open.busy_timeout_ms = 5000;
    db_ = std::make_unique<Database>(local, open);
    if (to_int_or(db_->scalar("SELECT count(*) FROM Semafori"), 0) == 0) {
        throw DbError("register " + std::to_string(number_) + ": the Semafori table of " + path_ + " is empty");
    }
    catalogue_.load(main_file_);
}

// The register table says where a numbered register keeps its file; a path given alone
// names its register through the same table.
void Register::find_register(const RegisterOptions& options) {
    number_ = options.number;
    path_ = options.path;
    if (fs::exists(main_file_)) {
        Database main(main_file_);
        main.exec("PRAGMA query_only = ON");
        if (path_.empty() && number_ > 0) {
            path_ = to_text(main.scalar("SELECT percorso FROM casse WHERE numero = ?", {Value(std::int64_t{number_})}));
        } else if (number_ == 0 && !path_.empty()) {
            auto& st = main.prepare("SELECT numero, percorso FROM casse ORDER BY numero");
            while (st.step()) {
                if (base::equal_folded(to_text(st.column(1)), path_)) {
                    number_ = static_cast<int>(to_int_or(st.column(0), 0));
                    break;
                }
            }
            st.reset();
        }
    }
    if (path_.empty() && number_ > 0) path_ = loopback_register_path(number_);
    if (number_ <= 0) {
        throw DbError("no register number for " + path_ + ": give --register N");
    }
}

std::string Register::main_path(const RegisterOptions& options) const {
    const fs::path company = paths_.to_local(options.company_path);
    if (fs::exists(company)) {
        Database db(company);
        db.exec("PRAGMA query_only = ON");
        std::string p = to_text(db.scalar("SELECT \"database\" FROM \"società\" WHERE codute = 1"));
        if (!p.empty()) return p;
    }
    return options.default_main_path;
}

std::optional<SemaphoreHold> Register::take(Tally& tally, Waiter* waiter) {
    const auto deadline = std::chrono::steady_clock::now() + lock_wait_;
    bool waited = false;
    for (;;) {
        if (db_->execute(kSetFirstFlag, {flag(core::Semaforo::Cassa), flag(core::Semaforo::Libero)}) == 1) {
            return SemaphoreHold(*db_);
        }
        if (!waited) ++tally.semaphore_waits;
        waited = true;
        if (std::chrono::steady_clock::now() >= deadline) break;
        const auto pause = std::chrono::milliseconds(pick(10, 40));
        if (waiter) {
            if (waiter->wait(pause)) break;
        } else {
            std::this_thread::sleep_for(pause);
        }
    }
    ++tally.gave_up;
    return std::nullopt;
}

std::int64_t Register::department() {
    const auto& d = catalogue_.departments();
    return d.empty() ? 1 : pick_of(d);
}

std::string Register::close_request() {
    const std::string host = host_of(path_);
    if (host.empty()) throw DbError("register " + std::to_string(number_) + " at " + path_ + " is not on a network path");
    const std::string request = "\\\\" + host + core::kCloseRequestFolder + core::kCloseRequestFile;
    const fs::path local = paths_.to_local(request);
    fs::create_directories(local.parent_path());
    std::ofstream out(local, std::ios::binary | std::ios::app);
    const Moment m = now_moment();
    out << "chiusura cassa " << number_ << " " << platform::short_date(m.local) << " " << platform::long_time(m.local)
        << "\r\n";
    if (!out) throw DbError("cannot write the close request " + local.string());
    return request;
}

}  // namespace cassasync::register_side
