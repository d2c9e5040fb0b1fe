// cassasync-shop: creates a shop's databases, adds registers, builds a demo shop.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>

#include "cassasync_version.h"
#include "frame/shop_admin.h"
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
    if (demo->parsed()) {
        return report(cassasync::frame::build_demo_shop(paths, articles), "demo shop built under " + root);
    }
    return 0;
}
