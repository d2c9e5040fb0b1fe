// cassasync-shop: creates a shop's databases, adds registers, builds a demo shop, and
// reconciles a day of the registers with the back office's files.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "cassasync_version.h"
#include "core/back_office_paths.h"
#include "platform/clock.h"
#include "platform/path_map.h"
#include "shop/backup_folders.h"
#include "shop/held_report.h"
#include "shop/restore.h"
#include "shop/shop_admin.h"
#include "shop/shop_reconcile.h"

namespace {

int report(const cassasync::Status& st, const std::string& done) {
    if (!st) {
        std::fprintf(stderr, "cassasync-shop: %s\n", st.message().c_str());
        return 1;
    }
    std::printf("%s\n", done.c_str());
    return 0;
}

// "today", "yesterday" or DD/MM/YYYY as a day serial; nullopt when it is none of these.
std::optional<long> parse_day(const std::string& text) {
    const cassasync::platform::SystemClock clock;
    const auto now = clock.now();
    const long today = cassasync::platform::day_serial(now.year, now.month, now.day);
    if (text == "today") return today;
    if (text == "yesterday") return today - 1;
    int d = 0, m = 0, y = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%2d/%2d/%4d%c", &d, &m, &y, &tail) != 3) return std::nullopt;
    if (d < 1 || d > 31 || m < 1 || m > 12 || y < 1900) return std::nullopt;
    const long serial = cassasync::platform::day_serial(y, m, d);
    // 31/02 would roll over into March: only a real day comes back as itself.
    const auto back = cassasync::platform::from_serial(static_cast<double>(serial));
    if (back.day != d || back.month != m) return std::nullopt;
    return serial;
}

std::string json_text(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
            continue;
        }
        out += c;
    }
    return out + "\"";
}

const char* verdict_name(cassasync::sales::Verdict v) {
    switch (v) {
    case cassasync::sales::Verdict::agrees: return "agrees";
    case cassasync::sales::Verdict::differs: return "differs";
    case cassasync::sales::Verdict::not_checked: return "not checked";
    }
    return "";
}

int print_reconciliation(const cassasync::shop::ShopReconciliation& result, bool json) {
    if (!result.status) {
        std::fprintf(stderr, "cassasync-shop: %s\n", result.status.message().c_str());
        return result.exit_code();
    }
    if (json) {
        std::printf("[");
        const char* sep = "";
        for (const auto& r : result.registers) {
            std::printf("%s\n {\"register\": %d, \"day\": %s, \"verdict\": %s, \"imported_lines\": %lld, "
                        "\"waiting_lines\": %lld, \"sales_rows\": %lld, \"imported_amount\": %.2f, "
                        "\"sales_amount\": %.2f, \"line_points\": %lld, \"journal_points\": %lld, "
                        "\"registered_documents\": %d, \"differences\": [",
                        sep, r.n, json_text(cassasync::platform::short_date_of_serial(static_cast<double>(r.day))).c_str(),
                        json_text(verdict_name(r.verdict)).c_str(), static_cast<long long>(r.imported_lines),
                        static_cast<long long>(r.waiting_lines), static_cast<long long>(r.sales_rows),
                        r.imported_amount, r.sales_amount, static_cast<long long>(r.line_points),
                        static_cast<long long>(r.journal_points), r.registered_documents);
            const char* inner = "";
            for (const auto& d : r.differences) {
                std::printf("%s%s", inner, json_text(d).c_str());
                inner = ", ";
            }
            std::printf("]}");
            sep = ",";
        }
        std::printf("\n]\n");
    } else {
        for (const auto& r : result.registers) {
            std::printf("%s\n", cassasync::sales::verdict_line(r).c_str());
            if (r.verdict == cassasync::sales::Verdict::differs) {
                for (const auto& d : r.differences) std::printf("  %s\n", d.c_str());
            }
        }
    }
    return result.exit_code();
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"cassasync-shop: shop administration for cassasync"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("cassasync-shop ") + CASSASYNC_VERSION);
    std::string root = cassasync::core::default_root();
    app.add_option("--root", root, "shop root folder (default $CASSASYNC_ROOT or /var/lib/cassasync)");

    auto* init = app.add_subcommand("init", "create the company, main, sales and loyalty databases");
    init->add_option("--root", root, "shop root folder");
    std::string main_path = cassasync::shop::kDefaultMainPath;
    init->add_option("--main", main_path, "Windows path of the main database (default C:\\tarvi\\dati.mdb)");

    auto* add = app.add_subcommand("add-register", "create a register's database and its casse row");
    int number = 0;
    std::string path, path_int;
    add->add_option("--root", root, "shop root folder");
    add->add_option("N", number, "register number, 1 to 10")->required()->check(CLI::Range(1, 10));
    add->add_option("--path", path, "register database path, e.g. \\\\127.0.0.1\\cassa\\dati.mdb")->required();
    add->add_option("--path-int", path_int, "path used for transfers (default: --path)");

    auto* demo = app.add_subcommand("demo", "build a demo shop with three registers on 127.0.0.1-3");
    demo->add_option("--root", root, "shop root folder");
    int articles = 200;
    demo->add_option("--articles", articles, "catalogue size")->check(CLI::Range(10, 2000000));

    auto* held = app.add_subcommand("held", "list the register rows held back, with cause, age and tries");
    held->add_option("--root", root, "shop root folder");
    int held_register = 0;
    held->add_option("--register", held_register, "only register N")->check(CLI::Range(1, 10));
    bool retry = false;
    held->add_flag("--retry", retry, "write the next failure of every held row to the log again");

    auto* reconcile = app.add_subcommand(
        "reconcile", "compare each register's day with the sales rows, points and registered totals "
                     "(exit 0: all agree, 1: a difference, 2: could not check)");
    reconcile->add_option("--root", root, "shop root folder");
    std::string day_text = "today";
    reconcile->add_option("--day", day_text, "DD/MM/YYYY, today or yesterday (default today)");
    int only_register = 0;
    reconcile->add_option("--register", only_register, "only this register, 1 to 10")->check(CLI::Range(1, 10));
    bool json = false;
    reconcile->add_flag("--json", json, "one JSON object per register");
    bool requeue = false;
    reconcile->add_flag("--requeue", requeue,
                        "after a restore: set the lines imported at a register but missing centrally back to waiting "
                        "(service stopped)");

    auto* restore = app.add_subcommand(
        "restore", "put a backup back (refused while the service runs); the current files are moved aside");
    restore->add_option("--root", root, "shop root folder");
    std::string from = "latest";
    restore->add_option("--from", from, "the copy's folder, or latest (default)");
    std::string backup_dir;
    restore->add_option("--backup-dir", backup_dir, "where the service puts its copies (default ROOT/C/tarvi/bkp/copie)");

    CLI11_PARSE(app, argc, argv);

    cassasync::platform::RootPathMap paths(root);
    if (init->parsed()) {
        cassasync::shop::ShopOptions options;
        options.main_path = main_path;
        return report(cassasync::shop::init_shop(paths, options), "shop created under " + root);
    }
    if (add->parsed()) {
        return report(cassasync::shop::add_register(paths, number, path, path_int),
                      "register " + std::to_string(number) + " added at " + path);
    }
    if (held->parsed()) {
        if (retry) {
            int count = 0;
            const auto st = cassasync::shop::request_held_retry(paths, count);
            return report(st, std::to_string(count) + " held rows: the next cycle tries them and logs each failure");
        }
        std::string out;
        const auto st = cassasync::shop::report_held_rows(
            paths, held_register > 0 ? std::optional<int>(held_register) : std::nullopt,
            cassasync::platform::SystemClock().now(), out);
        if (!st) return report(st, "");
        std::fputs(out.c_str(), stdout);
        return 0;
    }
    if (demo->parsed()) {
        return report(cassasync::shop::build_demo_shop(paths, articles), "demo shop built under " + root);
    }
    if (restore->parsed()) {
        const std::filesystem::path backups =
            backup_dir.empty() ? paths.to_local(std::string(cassasync::shop::kBackupFolder) + "x").parent_path()
                               : std::filesystem::path(backup_dir);
        const auto restored = cassasync::shop::restore_backup(paths, root, backups, from,
                                                               cassasync::platform::SystemClock().now());
        return report(restored.status, "restored from " + restored.from.string() + "; the files replaced are in " +
                                           restored.set_aside.string());
    }
    if (reconcile->parsed()) {
        const auto day = parse_day(day_text);
        if (!day) {
            std::fprintf(stderr, "cassasync-shop: --day %s is not DD/MM/YYYY, today or yesterday\n", day_text.c_str());
            return 2;
        }
        const auto result = cassasync::shop::reconcile_shop(
            paths, *day, only_register,
            requeue ? std::filesystem::path(root) / "cassasync.lock" : std::filesystem::path());
        const int status = print_reconciliation(result, json);
        for (std::size_t i = 0; i < result.requeued.size(); ++i) {
            // Beside JSON on standard output, on standard error.
            std::fprintf(json ? stderr : stdout, "register %d: %d line(s) set back to waiting\n",
                         result.registers[i].n, result.requeued[i]);
        }
        return status;
    }
    return 0;
}
