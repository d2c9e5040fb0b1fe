// cassasync-shop: creates a shop's databases, adds registers, builds a demo shop.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <optional>

#include "cassasync_version.h"
#include "frame/held_report.h"
#include "frame/shop_admin.h"
#include "platform/clock.h"
#include "platform/path_map.h"

namespace {

std::string default_root() {
    const char* env = std::getenv("CASSASYNC_ROOT");
    return env && *env ? env : "/var/lib/cassasync";
}

int report(const cassasync::Status& st, const std::string& done) {
    if (!st) {
        std::fprintf(stderr, "cassasync-shop: %s\n", st.message().c_str());
        return 1;
    }
    std::printf("%s\n", done.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"cassasync-shop: shop administration for cassasync"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("cassasync-shop ") + CASSASYNC_VERSION);
    std::string root = default_root();
    app.add_option("--root", root, "shop root folder (default $CASSASYNC_ROOT or /var/lib/cassasync)");

    auto* init = app.add_subcommand("init", "create the company, main, sales and loyalty databases");
    init->add_option("--root", root, "shop root folder");
    std::string main_path = cassasync::frame::kDefaultMainPath;
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

    CLI11_PARSE(app, argc, argv);

    cassasync::platform::RootPathMap paths(root);
    if (init->parsed()) {
        cassasync::frame::ShopOptions options;
        options.main_path = main_path;
        return report(cassasync::frame::init_shop(paths, options), "shop created under " + root);
    }
    if (add->parsed()) {
        return report(cassasync::frame::add_register(paths, number, path, path_int),
                      "register " + std::to_string(number) + " added at " + path);
    }
    if (held->parsed()) {
        if (retry) {
            int count = 0;
            const auto st = cassasync::frame::request_held_retry(paths, count);
            return report(st, std::to_string(count) + " held rows: the next cycle tries them and logs each failure");
        }
        std::string out;
        const auto st = cassasync::frame::report_held_rows(
            paths, held_register > 0 ? std::optional<int>(held_register) : std::nullopt,
            cassasync::platform::SystemClock().now(), out);
        if (!st) return report(st, "");
        std::fputs(out.c_str(), stdout);
        return 0;
    }
    if (demo->parsed()) {
        return report(cassasync::frame::build_demo_shop(paths, articles), "demo shop built under " + root);
    }
    return 0;
}
