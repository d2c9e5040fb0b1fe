#include "support/power_cut_disk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <stdexcept>

#include "data/journal_vfs.h"

namespace cassasync::testing {
namespace {

namespace fs = std::filesystem;

constexpr const char* kName = "cassasync-power-cut";
constexpr const char* kJournalLayer = "cassasync-journal";

// A file opened through the layer: this header, then the system's file in the same block.
struct File {
    sqlite3_file base;  // must be first: SQLite sees a sqlite3_file
    sqlite3_file* real;
    PowerCutDisk* disk;
    std::string path;
    bool tracked;       // below the scope: its unsynced writes can be lost
    bool syncs_folder;  // a new journal: the system syncs its folder at its first sync
};

constexpr std::size_t header_size() {
    return (sizeof(File) + alignof(std::max_align_t) - 1) / alignof(std::max_align_t) * alignof(std::max_align_t);
}

File* file(sqlite3_file* f) { return reinterpret_cast<File*>(f); }
PowerCutDisk* disk_of(sqlite3_vfs* vfs) { return static_cast<PowerCutDisk*>(vfs->pAppData); }

// Keeps the synced content of every sector in [from, to) that lies within the synced size
// and has no record yet.
void keep_synced(PowerCutDisk::Track& t, sqlite3_file* real, sqlite3_int64 from, sqlite3_int64 to) {
    const sqlite3_int64 end = std::min(to, t.synced_size);
    for (sqlite3_int64 s = from / PowerCutDisk::kSector; s * PowerCutDisk::kSector < end; ++s) {
        if (t.synced.count(s)) continue;
        const sqlite3_int64 at = s * PowerCutDisk::kSector;
        std::vector<unsigned char> bytes(static_cast<std::size_t>(std::min<sqlite3_int64>(PowerCutDisk::kSector, t.synced_size - at)));
        // A short read fills with zeros, which is what the disk holds there.
        real->pMethods->xRead(real, bytes.data(), static_cast<int>(bytes.size()), at);
        t.synced.emplace(s, std::move(bytes));
    }
}

int f_close(sqlite3_file* f) {
    File* p = file(f);
    const int rc = p->real->pMethods->xClose(p->real);
    p->~File();
    return rc;
}

int f_read(sqlite3_file* f, void* out, int amount, sqlite3_int64 offset) {
    File* p = file(f);
    if (p->disk->cut()) return SQLITE_IOERR_READ;
    return p->real->pMethods->xRead(p->real, out, amount, offset);
}

int f_write(sqlite3_file* f, const void* data, int amount, sqlite3_int64 offset) {
    File* p = file(f);
    if (!p->disk->operate("write", p->path)) return SQLITE_IOERR_WRITE;
    if (p->tracked) keep_synced(p->disk->track(p->path, p->real), p->real, offset, offset + amount);
    return p->real->pMethods->xWrite(p->real, data, amount, offset);
}

int f_truncate(sqlite3_file* f, sqlite3_int64 size) {
    File* p = file(f);
    if (!p->disk->operate("truncate", p->path)) return SQLITE_IOERR_TRUNCATE;
    if (p->tracked) {
        auto& t = p->disk->track(p->path, p->real);
        keep_synced(t, p->real, size, t.synced_size);
    }
    return p->real->pMethods->xTruncate(p->real, size);
}

int f_sync(sqlite3_file* f, int) {
    File* p = file(f);
    if (!p->disk->operate("sync", p->path)) return SQLITE_IOERR_FSYNC;
    if (p->tracked) {
        auto& t = p->disk->track(p->path, p->real);
        t.synced.clear();
        p->real->pMethods->xFileSize(p->real, &t.synced_size);
    }
    if (p->syncs_folder) {
        p->syncs_folder = false;
        p->disk->folder_synced(fs::path(p->path).parent_path());
    }
    // No fsync of its own: what a sync makes durable is this layer's record.
    return SQLITE_OK;
}

int f_file_size(sqlite3_file* f, sqlite3_int64* size) {
    return file(f)->real->pMethods->xFileSize(file(f)->real, size);
}
int f_lock(sqlite3_file* f, int level) { return file(f)->real->pMethods->xLock(file(f)->real, level); }
int f_unlock(sqlite3_file* f, int level) { return file(f)->real->pMethods->xUnlock(file(f)->real, level); }
int f_check_reserved(sqlite3_file* f, int* out) {
    return file(f)->real->pMethods->xCheckReservedLock(file(f)->real, out);
}
int f_file_control(sqlite3_file* f, int op, void* arg) {
    File* p = file(f);
    // A size hint may grow the file: a write like any other once the power is off.
    if (op == SQLITE_FCNTL_SIZE_HINT && p->disk->cut()) return SQLITE_IOERR_WRITE;
    return p->real->pMethods->xFileControl(p->real, op, arg);
}
int f_sector_size(sqlite3_file* f) { return file(f)->real->pMethods->xSectorSize(file(f)->real); }
int f_device(sqlite3_file* f) { return file(f)->real->pMethods->xDeviceCharacteristics(file(f)->real); }

const sqlite3_io_methods kMethods = {
    1,  // no shared memory or memory mapping: rollback journals and no mmap
    f_close, f_read, f_write, f_truncate, f_sync, f_file_size, f_lock, f_unlock, f_check_reserved,
    f_file_control, f_sector_size, f_device,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

int v_open(sqlite3_vfs* vfs, sqlite3_filename name, sqlite3_file* f, int flags, int* out_flags) {
    PowerCutDisk* disk = disk_of(vfs);
    f->pMethods = nullptr;
    if (disk->cut()) return SQLITE_CANTOPEN;
    sqlite3_vfs* r = disk->root();
    auto* real = reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(f) + header_size());
    std::memset(real, 0, static_cast<std::size_t>(r->szOsFile));
    const std::string path = name ? name : "";
    const bool tracked = name && (flags & SQLITE_OPEN_DELETEONCLOSE) == 0 && disk->in_scope(path);
    std::error_code ec;
    const bool creating = tracked && (flags & SQLITE_OPEN_CREATE) && !fs::exists(path, ec);
    const int rc = r->xOpen(r, name, real, flags, out_flags);
    if (rc != SQLITE_OK) {
        if (real->pMethods) real->pMethods->xClose(real);
        return rc;
    }
    if (creating) disk->created(path);
    auto* p = new (f) File{{&kMethods}, real, disk, path, tracked, false};
    p->syncs_folder = creating && (flags & (SQLITE_OPEN_MAIN_JOURNAL | SQLITE_OPEN_SUPER_JOURNAL)) != 0;
    return SQLITE_OK;
}

int v_delete(sqlite3_vfs* vfs, const char* name, int sync_dir) { return disk_of(vfs)->remove(name, sync_dir); }

}  // namespace

PowerCutDisk::PowerCutDisk() {
    if (sqlite3_vfs_find(kJournalLayer)) {
        throw std::logic_error("the journal layer is registered already: the power-cut disk must come first");
    }
    root_ = sqlite3_vfs_find(nullptr);
    if (!root_) throw std::runtime_error("SQLite has no default file system");
    // The system layer's other functions neither read their layer argument's data nor
    // its size, so they serve this layer as they are.
    vfs_ = *root_;
    vfs_.pNext = nullptr;
    vfs_.zName = kName;
    vfs_.pAppData = this;
    vfs_.szOsFile = static_cast<int>(header_size()) + root_->szOsFile;
    vfs_.xOpen = v_open;
    vfs_.xDelete = v_delete;
    if (sqlite3_vfs_register(&vfs_, 1) != SQLITE_OK) throw std::runtime_error("cannot register the power-cut disk");
    sqlite3_vfs* journal = sqlite3_vfs_find(data::buffered_journal_vfs());
    if (!journal || journal->pAppData != &vfs_) {
        throw std::logic_error("the journal layer does not sit on the power-cut disk");
    }
}

void PowerCutDisk::begin(const fs::path& scope, const fs::path& stash) {
    scope_ = fs::weakly_canonical(scope).string() + "/";
    stash_ = stash;
    fs::create_directories(stash_);
    tracks_.clear();
    entries_.clear();
    operations_ = armed_ = 0;
    cut_ = false;
    cut_at_.clear();
}

void PowerCutDisk::arm(std::uint64_t at) { armed_ = at == 0 ? 0 : operations_ + at; }

bool PowerCutDisk::in_scope(const std::string& path) const {
    return !scope_.empty() && path.compare(0, scope_.size(), scope_) == 0;
}

bool PowerCutDisk::operate(const char* what, const std::string& path) {
    if (cut_) return false;
    ++operations_;
    if (in_scope(path) && path.find("-journal") == std::string::npos && path.find("-mj") == std::string::npos) {
        ++changes_in_scope_;
    }
    if (trace_) trace_->push_back(std::string(what) + " " + path);
    if (operations_ != armed_) return true;
    cut_ = true;
    cut_at_ = std::string(what) + " " + fs::path(path).filename().string();
    if (noticed_) noticed_();
    return false;
}

PowerCutDisk::Track& PowerCutDisk::track(const std::string& path, sqlite3_file* real) {
    auto it = tracks_.find(path);
    if (it != tracks_.end()) return it->second;
    Track t;
    real->pMethods->xFileSize(real, &t.synced_size);
    return tracks_.emplace(path, std::move(t)).first->second;
}

void PowerCutDisk::created(const std::string& path) {
    entries_.try_emplace(path, Entry{false, std::nullopt});
    tracks_[path] = Track{};
}

int PowerCutDisk::remove(const std::string& path, int sync_dir) {
    if (!operate("delete", path)) return SQLITE_IOERR_DELETE;
    std::error_code ec;
    // The folder's sync is this layer's record too (outside the scope nothing is lost).
    if (!in_scope(path) || !fs::exists(path, ec)) return root_->xDelete(root_, path.c_str(), 0);
    if (entries_.count(path)) {
        // Created since its folder's last sync: after a cut it is gone or back as the
        // folder's record has it, which the entry already says.
        if (int rc = root_->xDelete(root_, path.c_str(), 0); rc != SQLITE_OK) return rc;
        tracks_.erase(path);
    } else {
        const fs::path aside = stash_ / std::to_string(++stashed_);
        fs::rename(path, aside, ec);
        if (ec) return SQLITE_IOERR_DELETE;
        entries_[path] = Entry{true, aside};
        if (auto it = tracks_.find(path); it != tracks_.end()) {
            tracks_[aside.string()] = std::move(it->second);
            tracks_.erase(path);
        }
    }
    if (sync_dir) folder_synced(fs::path(path).parent_path());
    return SQLITE_OK;
}

void PowerCutDisk::folder_synced(const fs::path& folder) {
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (fs::path(it->first).parent_path() != folder) {
            ++it;
            continue;
        }
        if (it->second.kept) {
            std::error_code ec;
            fs::remove(*it->second.kept, ec);
            tracks_.erase(it->second.kept->string());
        }
        it = entries_.erase(it);
    }
}

PowerOnReport PowerCutDisk::power_on(std::mt19937_64& random) {
    PowerOnReport report;
    std::bernoulli_distribution reached(0.5);
    if (cut_) {
        std::error_code ec;
        for (auto& [path, e] : entries_) {
            if (reached(random)) {
                if (e.kept) {
                    fs::remove(*e.kept, ec);
                    tracks_.erase(e.kept->string());
                }
                continue;
            }
            ++report.entries_reverted;
            fs::remove(path, ec);
            tracks_.erase(path);
            if (e.kept) {
                fs::rename(*e.kept, path, ec);
                if (auto it = tracks_.find(e.kept->string()); it != tracks_.end()) {
                    tracks_[path] = std::move(it->second);
                    tracks_.erase(e.kept->string());
                }
            }
        }
        for (auto& [path, t] : tracks_) {
            const int fd = ::open(path.c_str(), O_RDWR);
            if (fd < 0) continue;
            struct stat st {};
            ::fstat(fd, &st);
            sqlite3_int64 size = st.st_size;
            if (size != t.synced_size && !reached(random)) {
                if (::ftruncate(fd, t.synced_size) == 0) size = t.synced_size;
                ++report.sizes_reverted;
            }
            for (auto& [s, bytes] : t.synced) {
                const sqlite3_int64 at = s * kSector;
                if (at >= size) continue;
                if (reached(random)) {
                    ++report.sectors_kept;
                    continue;
                }
                ++report.sectors_lost;
                const auto n = static_cast<std::size_t>(std::min<sqlite3_int64>(static_cast<sqlite3_int64>(bytes.size()), size - at));
                if (::pwrite(fd, bytes.data(), n, at) != static_cast<ssize_t>(n)) throw std::runtime_error("cannot write " + path);
            }
            // Sectors that grew the file: there, a lost write leaves zeros.
            const std::vector<unsigned char> zeros(kSector, 0);
            for (sqlite3_int64 at = t.synced_size; at < size; at = (at / kSector + 1) * kSector) {
                const sqlite3_int64 end = std::min((at / kSector + 1) * kSector, size);
                if (reached(random)) {
                    ++report.sectors_kept;
                    continue;
                }
                ++report.sectors_lost;
                const auto n = static_cast<std::size_t>(end - at);
                if (::pwrite(fd, zeros.data(), n, at) != static_cast<ssize_t>(n)) throw std::runtime_error("cannot write " + path);
            }
            ::close(fd);
        }
    }
    tracks_.clear();
    entries_.clear();
    operations_ = armed_ = 0;
    cut_ = false;
    cut_at_.clear();
    return report;
}

}  // namespace cassasync::testing
