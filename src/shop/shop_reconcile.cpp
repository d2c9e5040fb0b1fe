#include "shop/shop_reconcile.h"

#include <filesystem>
#include <memory>

#include "base/text.h"
#include "core/back_office_paths.h"
#include "core/step_context.h"
#include "platform/clock.h"
#include "platform/instance_lock.h"
#include "platform/pinger.h"
#include "platform/process_starter.h"
#include "registers/register_directory.h"
#include "shop/shop_admin.h"

namespace cassasync::shop {

namespace {

constexpr const char* kRegisters = "SELECT numero FROM casse WHERE numero BETWEEN 1 AND ? ORDER BY numero";
constexpr const char* kMainFile = "dati.mdb";
constexpr const char* kSalesFile = "vendite.mdb";
constexpr const char* kDefaultFolder = "C:\\tarvi\\";

}  // namespace

int ShopReconciliation::exit_code() const {
    if (!status) return 2;
    int code = 0;
    for (const auto& r : registers) {
        if (r.verdict == sales::Verdict::not_checked) return 2;
        if (r.verdict == sales::Verdict::differs) code = 1;
    }
    return code;
}

ShopReconciliation reconcile_shop(const platform::PathMap& paths, long day, int only,
                                  const std::filesystem::path& requeue_lock_file) {
    ShopReconciliation result;
    std::unique_ptr<platform::InstanceLock> lock;
    if (!requeue_lock_file.empty()) {
        Status locked;
        lock = platform::InstanceLock::acquire(requeue_lock_file, locked);
        if (!lock) {
            result.status = Status::error("lines are set back only while the service is stopped: " + locked.message());
            return result;
        }
    }
    // The check reaches no register by the network and starts nothing: these are only
    // what a step context is made of.
    platform::SystemClock clock;
    platform::IcmpPinger pinger;
    platform::PosixProcessStarter starter;
    core::StepContext ctx(paths, clock, pinger, starter);
    try {
        const auto company_local = paths.to_local(kCompanyPath);
        if (!std::filesystem::exists(company_local)) {
            result.status = Status::error(std::string("company database ") + kCompanyPath + " does not exist");
            return result;
        }
        std::string folder;
        {
            data::OpenOptions options;
            options.read_only = true;
            data::Database company(company_local, options);
            const auto value =
                base::trim_blanks(data::to_text(company.scalar("SELECT database FROM società WHERE codute = 1")));
            const auto found = core::cartella_dati_of(value);
            if (!found) {
                result.status = Status::error("the company record names no usable main database ('" + value + "')");
                return result;
            }
            folder = found->empty() ? kDefaultFolder : *found;
        }
        ctx.settings.Cartella_Dati = folder;
        ctx.settings.Percorso_Dati = folder + kMainFile;
        ctx.settings.Percorso_Vendite = folder + kSalesFile;
        data::Database& central =
            ctx.databases.open_central(ctx.settings.Percorso_Dati, ctx.settings.Percorso_Vendite, core::kLoyaltyPath);
        central.exec("PRAGMA query_only=1");

        std::vector<int> numbers;
        auto& rs = central.prepare(kRegisters, {data::integer(core::kMaxRegisters)});
        while (rs.step()) numbers.push_back(static_cast<int>(data::to_int_or(rs.column(0), 0)));
        for (int n : numbers) {
            if (only != 0 && n != only) continue;
            const std::string path = registers::Percorso_Cassa_Int(ctx.databases, ctx.settings, n);
            result.registers.push_back(sales::reconcile_register(ctx.paths, central, n, path, day));
            if (lock) result.requeued.push_back(sales::requeue_missing(ctx.databases, path, result.registers.back()));
        }
        if (only != 0 && result.registers.empty()) {
            result.status = Status::error("register " + std::to_string(only) + " is not in the register table casse");
        }
    } catch (const std::exception& e) {
        result.status = Status::error(std::string("cannot read the shop's files: ") + e.what());
    }
    return result;
}

}  // namespace cassasync::shop
