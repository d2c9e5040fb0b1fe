#include "frame/backups.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <system_error>

#include "core/back_office_paths.h"
#include "data/online_backup.h"
#include "data/sha256.h"
#include "platform/file_system.h"
#include "shop/shop_admin.h"

namespace cassasync::frame {

using shop::backup_folders;
using shop::folder_name;
using shop::kBackupFolder;
using shop::kCompanyPath;
using shop::kFailedSuffix;
using shop::kManifestName;
using shop::kUnderWaySuffix;

namespace {

constexpr const char* kMadeLine = "- Copia di sicurezza in ";
constexpr const char* kFailedLine = "- Copia di sicurezza non riuscita: ";
constexpr const char* kChecked = ": 4 file copiati e verificati";
constexpr const char* kOk = "ok";
constexpr const char* kMain = "main";

// The tables whose row counts describe a copy.
const std::vector<std::string> kCountedTables = {"società", "casse",  "listi01", "codean",     "clienti",
                                                 "fatte",   "fatmo", "vente",   "venmo",      "movtessere",
                                                 "numeri",  "registro_trasferimenti"};

std::string file_name_of(const std::string& windows_path) {
    const auto at = windows_path.find_last_of('\\');
    return at == std::string::npos ? windows_path : windows_path.substr(at + 1);
}

// The time a folder's name gives, as a serial; nullopt for a name that is none.
std::optional<double> time_of(const std::filesystem::path& folder) {
    platform::LocalTime t;
    const std::string name = folder.filename().string();
    if (std::sscanf(name.c_str(), "%4d%2d%2d-%2d%2d%2d", &t.year, &t.month, &t.day, &t.hour, &t.minute, &t.second) != 6) {
        return std::nullopt;
    }
    return platform::date_time_serial(t);
}

struct Source {
    std::string windows_path;
    std::string schema;  // on the central connection; empty: opened on its own (the company file)
};

}  // namespace

std::filesystem::path backup_root(const Context& ctx) {
    return ctx.backups.folder.empty() ? ctx.paths.to_local(std::string(kBackupFolder) + "x").parent_path()
                                      : ctx.backups.folder;
}

namespace {

Status copy_into(Context& ctx, const std::filesystem::path& folder, const std::string& name_of_copy) {
    const std::vector<Source> sources = {{kCompanyPath, {}},
                                         {ctx.settings.Percorso_Dati, kMain},
                                         {ctx.settings.Percorso_Vendite, data::kSalesSchema},
                                         {core::kLoyaltyPath, data::kLoyaltySchema}};
    std::string manifest = "# cassasync backup " + name_of_copy + "\n";
    try {
        data::Database& central = ctx.databases.central();
        for (const auto& source : sources) {
            const std::string name = file_name_of(source.windows_path);
            const auto target = folder / name;
            Status copied;
            if (source.schema.empty()) {
                data::Database own(ctx.paths.to_local(source.windows_path));
                copied = data::backup_database(own, kMain, target);
            } else if (!central.is_attached(source.schema) && source.schema != kMain) {
                copied = Status::error(source.windows_path + " is not open");
            } else {
                copied = data::backup_database(central, source.schema, target);
            }
            if (!copied) return copied;
            const std::string integrity = data::integrity_of(target);
            if (integrity != kOk) return Status::error("the copy " + target.string() + " fails its check: " + integrity);
            const auto digest = data::sha256_of_file(target);
            if (!digest) return Status::error("cannot read the copy " + target.string());
            manifest += "file " + name + " " + std::to_string(std::filesystem::file_size(target)) + " " + *digest + "\n";
            for (const auto& [table, count] : data::row_counts(target, kCountedTables)) {
                manifest += "rows " + name + " " + table + " " + std::to_string(count) + "\n";
            }
        }
    } catch (const std::exception& e) {
        return Status::error(e.what());
    }
    std::ofstream out(folder / kManifestName, std::ios::binary);
    out << manifest;
    out.flush();
    if (!out) return Status::error("cannot write the manifest in " + folder.string());
    out.close();
    if (Status synced = platform::sync_to_disk(folder / kManifestName); !synced) return synced;
    return platform::sync_to_disk(folder);
}

// Folders of copies a power cut or a crash stopped half-way: nobody's copy, and in the way
// of the next one.
void remove_unfinished(const std::filesystem::path& root) {
    std::error_code ec;
    std::vector<std::filesystem::path> unfinished;
    for (std::filesystem::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() > std::strlen(kUnderWaySuffix) &&
            name.compare(name.size() - std::strlen(kUnderWaySuffix), std::string::npos, kUnderWaySuffix) == 0) {
            unfinished.push_back(it->path());
        }
    }
    for (const auto& folder : unfinished) std::filesystem::remove_all(folder, ec);
}

}  // namespace

BackupResult make_backup(Context& ctx, const platform::LocalTime& now) {
    BackupResult result;
    const std::filesystem::path root = backup_root(ctx);
    const std::filesystem::path folder = root / folder_name(now);
    const std::filesystem::path under_way = folder.string() + kUnderWaySuffix;
    remove_unfinished(root);
    std::error_code ec;
    std::filesystem::create_directories(under_way, ec);
    if (ec) {
        result.status = Status::error("cannot create " + under_way.string() + ": " + ec.message());
        return result;
    }
    result.status = copy_into(ctx, under_way, folder.filename().string());
    if (!result.status) {
        // Kept for a look, under a name that is no copy's: never counted, never restored.
        std::filesystem::rename(under_way, folder.string() + kFailedSuffix, ec);
        return result;
    }
    std::filesystem::rename(under_way, folder, ec);
    if (ec) {
        result.status = Status::error("cannot name the copy " + folder.string() + ": " + ec.message());
        return result;
    }
    // The new name must outlast a power cut too, or the copy is lost with it.
    result.status = platform::sync_to_disk(root);
    if (result.status) result.folder = folder;
    return result;
}

void keep_newest(const std::filesystem::path& root, int keep) {
    auto folders = backup_folders(root);
    const auto keep_count = static_cast<std::size_t>(std::max(keep, 1));
    for (std::size_t i = 0; i + keep_count < folders.size(); ++i) {
        std::error_code ec;
        std::filesystem::remove_all(folders[i], ec);
    }
}

void back_up_if_due(Context& ctx, bool at_startup) {
    const platform::LocalTime now = ctx.clock.now();
    const long today = platform::day_serial(now.year, now.month, now.day);
    const std::filesystem::path root = backup_root(ctx);
    const auto folders = backup_folders(root);
    bool due = false;
    if (at_startup) {
        const auto newest = folders.empty() ? std::nullopt : time_of(folders.back());
        due = !newest || platform::date_time_serial(now) - *newest > 1.0;
    }
    if (ctx.last_close_day == today && ctx.backup_tried_day != today) {
        // The first close of the day: unless a copy of today is already there (a restart).
        const std::string prefix = folder_name(now).substr(0, 8);
        due = due || std::none_of(folders.begin(), folders.end(), [&](const std::filesystem::path& f) {
                  return f.filename().string().rfind(prefix, 0) == 0;
              });
        ctx.backup_tried_day = today;
    }
    if (!due) return;
    const BackupResult made = make_backup(ctx, now);
    if (!made.status) {
        ctx.log.write(kFailedLine + made.status.message());
        ctx.backup_failure = made.status.message();
        return;
    }
    ctx.backup_failure.clear();
    ctx.log.write(kMadeLine + made.folder.string() + kChecked);
    keep_newest(root, ctx.backups.keep);
}

}  // namespace cassasync::frame
