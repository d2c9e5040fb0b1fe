#include "shop/restore.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <system_error>
#include <vector>

#include "base/text.h"
#include "core/back_office_paths.h"
#include "data/database.h"
#include "data/online_backup.h"
#include "data/sha256.h"
#include "platform/file_system.h"
#include "platform/instance_lock.h"
#include "shop/backup_folders.h"
#include "shop/shop_admin.h"

namespace cassasync::shop {

namespace {

constexpr const char* kLockFile = "cassasync.lock";
constexpr const char* kLatest = "latest";
constexpr const char* kAsideFolder = "C:\\tarvi\\bkp\\prima-del-ripristino-";
constexpr const char* kDefaultFolder = "C:\\tarvi\\";
constexpr const char* kCompanyCopy = "tarvi.mdb";
constexpr const char* kOk = "ok";

struct Listed {
    std::uintmax_t size = 0;
    std::string sha256;
};

// The manifest's file lines by file name, each checked against the file beside it.
Status check_manifest(const std::filesystem::path& folder, std::map<std::string, Listed>& files) {
    std::ifstream in(folder / kManifestName);
    if (!in) return Status::error("no readable " + std::string(kManifestName) + " in " + folder.string());
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string kind, name;
        Listed listed;
        if (!(words >> kind) || kind != "file") continue;
        if (!(words >> name >> listed.size >> listed.sha256)) return Status::error("a bad manifest line: " + line);
        files[name] = listed;
    }
    if (files.size() != 4 || !files.count(kCompanyCopy)) {
        return Status::error("the manifest in " + folder.string() + " does not list the four files");
    }
    for (const auto& [name, listed] : files) {
        const auto file = folder / name;
        std::error_code ec;
        const auto size = std::filesystem::file_size(file, ec);
        if (ec || size != listed.size) return Status::error(file.string() + " is missing or not of the size listed");
        const auto digest = data::sha256_of_file(file);
        if (!digest || *digest != listed.sha256) return Status::error(file.string() + " does not match its SHA-256");
    }
    return Status::ok();
}

// Where each copy goes: the company file to its fixed place, the others where the copy's
// own company record says the main database is.
Status targets_of(const std::filesystem::path& folder, std::map<std::string, std::string>& windows_paths) {
    data::OpenOptions options;
    options.read_only = true;
    data::Database company(folder / kCompanyCopy, options);
    const auto value = base::trim_blanks(data::to_text(company.scalar("SELECT database FROM società WHERE codute = 1")));
    const auto found = core::cartella_dati_of(value);
    if (!found) return Status::error("the copy's company record names no usable main database ('" + value + "')");
    const std::string data_folder = found->empty() ? kDefaultFolder : *found;
    windows_paths = {{kCompanyCopy, kCompanyPath},
                     {"dati.mdb", data_folder + "dati.mdb"},
                     {"vendite.mdb", data_folder + "vendite.mdb"},
                     {"fidel.mdb", core::kLoyaltyPath}};
    return Status::ok();
}

// The copy's own spelling of `name`: a copy is named as the company record spells its
// file ("DATI.MDB"), which the shares match regardless of letter case.
std::optional<std::string> listed_name(const std::map<std::string, Listed>& files, const std::string& name) {
    const auto fold = [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); };
    for (const auto& [listed, unused] : files) {
        if (std::equal(listed.begin(), listed.end(), name.begin(), name.end(),
                       [&](char a, char b) { return fold(a) == fold(b); })) {
            return listed;
        }
    }
    return std::nullopt;
}

}  // namespace

RestoreResult restore_backup(const platform::PathMap& paths, const std::filesystem::path& root,
                             const std::filesystem::path& backups, const std::string& from,
                             const platform::LocalTime& now) {
    RestoreResult result;
    Status locked;
    const auto lock = platform::InstanceLock::acquire(root / kLockFile, locked);
    if (!lock) {
        result.status = Status::error("the service holds the shop (" + locked.message() + "): stop it first");
        return result;
    }
    if (from == kLatest) {
        const auto folders = backup_folders(backups);
        if (folders.empty()) {
            result.status = Status::error("no backup in " + backups.string());
            return result;
        }
        result.from = folders.back();
    } else {
        result.from = from;
    }
    std::map<std::string, Listed> files;
    result.status = check_manifest(result.from, files);
    if (!result.status) return result;
    std::map<std::string, std::string> targets;
    try {
        result.status = targets_of(result.from, targets);
    } catch (const std::exception& e) {
        result.status = Status::error(std::string("cannot read the copy's company file: ") + e.what());
    }
    if (!result.status) return result;
    // Every copy found before anything is moved: a restore stopped half-way would leave
    // the shop without a file.
    std::map<std::string, std::string> sources;
    for (const auto& [name, unused] : targets) {
        const auto listed = listed_name(files, name);
        if (!listed) {
            result.status = Status::error("the manifest in " + result.from.string() + " does not list " + name);
            return result;
        }
        sources[name] = *listed;
    }

    result.set_aside = paths.to_local(kAsideFolder + folder_name(now) + "\\x").parent_path();
    std::error_code ec;
    std::filesystem::create_directories(result.set_aside, ec);
    if (ec) {
        result.status = Status::error("cannot create " + result.set_aside.string() + ": " + ec.message());
        return result;
    }
    for (const auto& [name, windows_path] : targets) {
        const auto current = paths.to_local(windows_path);
        // The file and a journal left beside it: a journal would be played back into the copy.
        for (const std::string suffix : {"", "-journal"}) {
            const std::filesystem::path file = current.string() + suffix;
            if (!std::filesystem::exists(file, ec)) continue;
            std::filesystem::rename(file, result.set_aside / (name + suffix), ec);
            if (ec) {
                result.status = Status::error("cannot move " + file.string() + " aside: " + ec.message() +
                                              " (files already moved are in " + result.set_aside.string() + ")");
                return result;
            }
        }
        std::filesystem::create_directories(current.parent_path(), ec);
        std::filesystem::copy_file(result.from / sources[name], current, ec);
        // In place for good before the service opens it, not only in the system's memory.
        Status placed = ec ? Status::error(ec.message()) : platform::sync_to_disk(current);
        if (placed) placed = platform::sync_to_disk(current.parent_path());
        if (!placed) {
            result.status = Status::error("cannot put " + name + " in place: " + placed.message() +
                                          " (the files replaced are in " + result.set_aside.string() + ")");
            return result;
        }
        const std::string integrity = data::integrity_of(current);
        if (integrity != kOk) {
            result.status = Status::error(current.string() + " fails its check after the restore: " + integrity);
            return result;
        }
    }
    return result;
}

}  // namespace cassasync::shop
