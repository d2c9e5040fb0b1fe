// One register row of each intake, with any values its columns may hold, taken by the
// real step into a small shop kept in memory (a folder under /dev/shm when there is one):
// receipt lines, barcodes, customers, card readings, invoices with their rows. The
// receipt import holds a line it cannot take; another step may end on a row's database
// error, which the cycle logs, but nothing else may escape, the shop's files stay sound,
// and an active receipt line is taken or held, never skipped, even behind a bad invoice.
//
// Input: one byte choosing the intake, then the row's column values in the order of the
// register's schema (see FuzzInput::value); invoices then give a count of rows and the
// rows. The seeds in corpus/register_rows come from rows the register stand-in writes.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "data/database.h"
#include "frame/context.h"
#include "frame/register_steps.h"
#include "frame/startup.h"
#include "fuzz_input.h"
#include "loyalty/card_reads.h"
#include "masterdata/article_sync.h"
#include "masterdata/customer_import.h"
#include "platform/clock.h"
#include "platform/path_map.h"
#include "platform/pinger.h"
#include "platform/process_starter.h"
#include "sales/receipt_import.h"
#include "shop/shop_admin.h"

using namespace cassasync;
namespace fs = std::filesystem;

namespace {

constexpr const char* kRegister = "\\\\127.0.0.1\\cassa\\dati.mdb";

class AllAnswer : public platform::Pinger {
public:
    std::uint32_t echo(std::uint32_t) override { return platform::kEchoSuccess; }
};
class StartsNothing : public platform::ProcessStarter {
public:
    Status start_detached(const fs::path&) override { return Status::ok(); }
};

// The demo shop, built once; every input starts from the same bytes of its files.
struct Shop {
    fs::path root;
    std::map<fs::path, std::string> files;

    Shop() {
        const fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        root = base / ("cassasync-fuzz-shop-" + std::to_string(::getpid()));
        fs::remove_all(root);
        const platform::RootPathMap paths(root);
        if (const auto st = shop::build_demo_shop(paths, 20); !st) {
            std::fprintf(stderr, "cannot build the demo shop: %s\n", st.message().c_str());
            std::abort();
        }
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            if (!entry.is_regular_file()) continue;
            std::ifstream in(entry.path(), std::ios::binary);
            std::ostringstream bytes;
            bytes << in.rdbuf();
            files[entry.path()] = bytes.str();
        }
    }
    ~Shop() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    Shop(const Shop&) = delete;
    Shop& operator=(const Shop&) = delete;

    void reset() const {
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            if (entry.is_regular_file() && !files.count(entry.path())) fs::remove(entry.path());
        }
        for (const auto& [path, bytes] : files) {
            std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        }
    }
};

const Shop& demo_shop() {
    static const Shop s;
    return s;
}

// The register table's columns in schema order, apart from the row key the register
// numbers itself.
std::vector<std::string> columns_of(data::Database& db, const std::string& table) {
    std::vector<std::string> out;
    auto& st = db.prepare("SELECT name, pk FROM pragma_table_info(?)", {data::text(table)});
    while (st.step()) {
        if (data::to_int_or(st.column(1), 0) == 0) out.push_back(data::to_text(st.column(0)));
    }
    st.reset();
    return out;
}

bool insert_row(data::Database& db, const std::string& table, fuzzing::FuzzInput& in) {
    const auto columns = columns_of(db, table);
    std::string names, marks;
    std::vector<data::Value> values;
    for (const auto& c : columns) {
        names += (names.empty() ? "" : ",") + c;
        marks += marks.empty() ? "?" : ",?";
        values.push_back(in.value());
    }
    try {
        db.execute("INSERT INTO " + table + " (" + names + ") VALUES (" + marks + ")", values);
        return true;
    } catch (const data::DbError&) {
        return false;  // the register's own schema refuses it: no register could write it
    }
}

}  // namespace

// Every input boots a shop afresh: a new context, its start-up and its connections,
// some megabytes allocated and freed again. The address sanitizer keeps freed memory
// aside (256 MB by default) to catch a use after free, so a run's resident memory rose
// to about 400 MB within the first hundred inputs and stayed there, with nothing leaked.
// A smaller reserve still covers the last few inputs; ASAN_OPTIONS overrides it.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=32"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const Shop& s = demo_shop();
    s.reset();
    fuzzing::FuzzInput in(data, size);
    const int intake = in.byte() % 5;
    const platform::RootPathMap paths(s.root);
    {
        data::Database reg(paths.to_local(kRegister));
        bool written = false;
        switch (intake) {
        case 0: written = insert_row(reg, "movimenti", in); break;
        case 1: written = insert_row(reg, "codean", in); break;
        case 2: written = insert_row(reg, "clienti", in); break;
        case 3: written = insert_row(reg, "cartetxrx", in); break;
        default: {
            // A receipt line waits behind the invoice: whatever the invoice holds, the
            // register's takings must still be imported.
            reg.execute("INSERT INTO movimenti (bflag3, aggiornogiacenza, bdator, bora, bnumer, eanrig, descrizione,"
                        " quantita, prezzo, totrig, codrep, tiporecord, numcassa) VALUES"
                        " ('S', 'N', ?, 0.5, 1, '', 'REPARTO', 1, 2, 2, 1, 1, 1)",
                        {data::real(static_cast<double>(platform::day_serial(2026, 12, 9)))});
            written = insert_row(reg, "fatte", in);
            const int rows = in.byte() % 4;
            for (int i = 0; i < rows && written; ++i) written = insert_row(reg, "fatmo", in);
        }
        }
        if (!written) return 0;
    }

    platform::FixedClock clock(platform::LocalTime{2026, 12, 9, 10, 0, 0});
    AllAnswer pinger;
    StartsNothing starter;
    frame::Context ctx(paths, clock, pinger, starter);
    if (frame::run_startup(ctx).outcome != frame::StartupOutcome::complete) fuzzing::fault("the demo shop did not start");
    // A row's error may end a step other than the receipt import (the cycle writes it to
    // the log and goes on); the receipt import holds a line it cannot take instead.
    try {
        switch (intake) {
        case 0: sales::Travaso_Scontrini(ctx, 1); break;
        case 1: masterdata::Aggiorna_Articoli(ctx, 1); break;
        case 2: masterdata::Aggiorna_Clienti(ctx, 1); break;
        case 3: loyalty::Leggi_Tessere_Cassa(ctx, 1); break;
        // An invoice as the cycle meets it: the register's intake in its order, so that
        // the receipts after it are seen to be taken whatever the invoice holds.
        default: frame::run_intake(ctx, 1, frame::CycleSteps::standard()); break;
        }
    } catch (const data::DbError& e) {
        if (intake == 0) {
            std::fprintf(stderr, "escaped the receipt import: %s\n", e.what());
            fuzzing::fault("a receipt line's error escaped the import");
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "escaped the step: %s\n", e.what());
        fuzzing::fault("an exception other than a database error escaped the step");
    }
    ctx.databases.close_all();

    for (const char* file : {"C:\\tarvi\\dati.mdb", "C:\\tarvi\\vendite.mdb", "C:\\tarvi\\fidel.mdb", kRegister}) {
        data::Database db(paths.to_local(file));
        if (data::to_text(db.scalar("PRAGMA integrity_check")) != "ok") fuzzing::fault("a file fails its integrity check");
    }
    if (intake == 0 || intake == 4) {
        data::Database reg(paths.to_local(kRegister));
        reg.execute("ATTACH DATABASE ? AS central", {data::text(paths.to_local("C:\\tarvi\\dati.mdb").string())});
        const auto skipped = data::to_int(reg.scalar(
            "SELECT count(*) FROM movimenti WHERE bflag3 = 'S' AND aggiornogiacenza = 'N' AND id NOT IN "
            "(SELECT chiave FROM central.righe_trattenute WHERE cassa = 1)"));
        if (skipped != 0) fuzzing::fault("an active receipt line was neither taken nor held");
    }
    return 0;
}
