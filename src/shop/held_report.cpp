#include "shop/held_report.h"

#include <cmath>
#include <memory>

#include "data/database.h"
#include "data/held_rows.h"
#include "data/schema.h"
#include "shop/shop_admin.h"

namespace cassasync::shop {

namespace {

// The main database the service uses, with the held table made if the service has not
// opened the file since it had none.
Status open_main(const platform::PathMap& paths, std::unique_ptr<data::Database>& main) {
    std::string windows;
    if (Status st = find_main_database(paths, windows); !st) return st;
    main = std::make_unique<data::Database>(paths.to_local(windows));
    data::upgrade_tables(*main, data::DatabaseKind::main, "main", data::kServiceTables);
    return Status::ok();
}

std::string age_of(double days) {
    const auto hours = std::lround(days * 24);
    if (hours < 48) return std::to_string(hours) + " h";
    return std::to_string(hours / 24) + " d";
}

}  // namespace

Status report_held_rows(const platform::PathMap& paths, std::optional<int> n, const platform::LocalTime& now,
                        std::string& out) {
    try {
        std::unique_ptr<data::Database> main;
        if (Status st = open_main(paths, main); !st) return st;
        const auto rows = data::HeldRows(*main).list(n);
        if (rows.empty()) {
            out = "no held rows\n";
            return Status::ok();
        }
        const double at = platform::date_time_serial(now);
        out = "register  step  key  tries  held for  last tried  cause\n";
        for (const auto& r : rows) {
            out += std::to_string(r.cassa) + "  " + r.passo + "  " + std::to_string(r.chiave) + "  " +
                   std::to_string(r.tentativi) + "  " + age_of(at - r.primo) + "  " + age_of(at - r.ultimo) +
                   " ago  " + r.causa + "\n";
        }
        return Status::ok();
    } catch (const std::exception& e) {
        return Status::error(e.what());
    }
}

Status request_held_retry(const platform::PathMap& paths, int& count) {
    try {
        std::unique_ptr<data::Database> main;
        if (Status st = open_main(paths, main); !st) return st;
        count = data::HeldRows(*main).request_retry();
        return Status::ok();
    } catch (const std::exception& e) {
        return Status::error(e.what());
    }
}

}  // namespace cassasync::shop
