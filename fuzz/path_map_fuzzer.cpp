// The path map on any text a configuration or a register's row may hold: whatever the
// text, the local path stays below the root, never climbs out of it, and a path spelled
// in another letter case finds the same existing file.
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "fuzz_input.h"
#include "platform/path_map.h"

using namespace cassasync;
namespace fs = std::filesystem;

namespace {

// A small shop tree, made once per fuzzing process and removed when it ends.
struct ShopTree {
    fs::path root;
    ~ShopTree() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
};

const fs::path& shop_root() {
    static const ShopTree tree{[] {
        const fs::path r = fs::temp_directory_path() / ("cassasync-fuzz-paths-" + std::to_string(::getpid()));
        fs::create_directories(r / "C" / "tarvi" / "bkp");
        fs::create_directories(r / "net" / "127.0.0.1" / "cassa");
        fs::create_directories(r / "net" / "127.0.0.1" / "Cash");
        for (const char* f : {"C/tarvi/dati.mdb", "C/tarvi/Vendite.mdb", "net/127.0.0.1/cassa/dati.mdb"}) {
            std::FILE* out = std::fopen((r / f).c_str(), "w");
            if (out) std::fclose(out);
        }
        return r;
    }()};
    return tree.root;
}

std::string upper(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string windows(reinterpret_cast<const char*>(data), size);
    const platform::RootPathMap map(shop_root());
    const fs::path local = map.to_local(windows);
    // A path ends at its first NUL, as every file call reads it.
    if (windows.find('\0') == 0 || windows.empty()) {
        if (!local.empty()) fuzzing::fault("an empty path maps to a file");
        return 0;
    }
    const std::string root = shop_root().string();
    const std::string got = local.string();
    if (got.compare(0, root.size(), root) != 0) fuzzing::fault("a path mapped outside the root");
    const fs::path below = local.lexically_relative(shop_root());
    // A text naming no component ("\\", "/") stands for the root itself.
    if (below != ".") {
        for (const auto& part : below) {
            if (part == ".." || part == "." || part.empty()) fuzzing::fault("a mapped path climbs or names no file");
        }
    }
    std::error_code ec;
    if (fs::exists(local, ec)) {
        // The same file whatever the letter case it is spelled in, as on the shop's shares.
        const fs::path again = map.to_local(upper(windows));
        if (!fs::equivalent(local, again, ec) || ec) fuzzing::fault("letter case changed which file a path names");
    }
    return 0;
}
