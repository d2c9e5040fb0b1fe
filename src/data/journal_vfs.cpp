#include "data/journal_vfs.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "data/database.h"

namespace cassasync::data {
namespace {

constexpr const char* kName = "cassasync-journal";
// Held appends are written once they reach this size. SQLite's own file layer writes
// at most 128 KiB in one call (it reports anything longer as a full disk).
constexpr std::size_t kFlushAt = std::size_t{64} << 10;

// A journal opened through the layer: this header, then the real file in the same
// block SQLite allocated (szOsFile covers both).
struct BufferedJournal {
    sqlite3_file base;  // must be first: SQLite sees a sqlite3_file
    sqlite3_file* real;
    std::vector<unsigned char> pending;
    sqlite3_int64 pending_at = 0;  // file offset of pending[0]
};

constexpr std::size_t header_size() {
    return (sizeof(BufferedJournal) + alignof(std::max_align_t) - 1) / alignof(std::max_align_t) *
           alignof(std::max_align_t);
}

BufferedJournal* journal(sqlite3_file* f) { return reinterpret_cast<BufferedJournal*>(f); }

// Hands the gathered appends on, in order.
int flush(BufferedJournal* j) {
    std::size_t done = 0;
    while (done < j->pending.size()) {
        const std::size_t piece = std::min(kFlushAt, j->pending.size() - done);
        const int rc = j->real->pMethods->xWrite(j->real, j->pending.data() + done, static_cast<int>(piece),
                                                 j->pending_at + static_cast<sqlite3_int64>(done));
        if (rc != SQLITE_OK) {
            // What was written is dropped; the rest is kept and the error reaches SQLite.
            j->pending.erase(j->pending.begin(), j->pending.begin() + static_cast<std::ptrdiff_t>(done));
            j->pending_at += static_cast<sqlite3_int64>(done);
            return rc;
        }
        done += piece;
    }
    j->pending.clear();
    return SQLITE_OK;
}

int j_close(sqlite3_file* f) {
    BufferedJournal* j = journal(f);
    const int flushed = flush(j);
    const int closed = j->real->pMethods->xClose(j->real);
    j->~BufferedJournal();
    return flushed != SQLITE_OK ? flushed : closed;
}

int j_read(sqlite3_file* f, void* out, int amount, sqlite3_int64 offset) {
    BufferedJournal* j = journal(f);
    if (int rc = flush(j); rc != SQLITE_OK) return rc;
    return j->real->pMethods->xRead(j->real, out, amount, offset);
}

int j_write(sqlite3_file* f, const void* data, int amount, sqlite3_int64 offset) {
    BufferedJournal* j = journal(f);
    const bool appends = !j->pending.empty() &&
                         offset == j->pending_at + static_cast<sqlite3_int64>(j->pending.size());
    if (!appends) {
        // Anything but the next append (a header rewritten in place) goes after what is held.
        if (int rc = flush(j); rc != SQLITE_OK) return rc;
        j->pending_at = offset;
    }
    try {
        const auto* bytes = static_cast<const unsigned char*>(data);
        j->pending.insert(j->pending.end(), bytes, bytes + amount);
    } catch (const std::bad_alloc&) {
        return SQLITE_IOERR_NOMEM;
    }
    return j->pending.size() >= kFlushAt ? flush(j) : SQLITE_OK;
}

int j_truncate(sqlite3_file* f, sqlite3_int64 size) {
    BufferedJournal* j = journal(f);
    if (int rc = flush(j); rc != SQLITE_OK) return rc;
    return j->real->pMethods->xTruncate(j->real, size);
}

int j_sync(sqlite3_file* f, int flags) {
    BufferedJournal* j = journal(f);
    if (int rc = flush(j); rc != SQLITE_OK) return rc;
    return j->real->pMethods->xSync(j->real, flags);
}

int j_file_size(sqlite3_file* f, sqlite3_int64* size) {
    BufferedJournal* j = journal(f);
    if (int rc = flush(j); rc != SQLITE_OK) return rc;
    return j->real->pMethods->xFileSize(j->real, size);
}

int j_lock(sqlite3_file* f, int level) { return journal(f)->real->pMethods->xLock(journal(f)->real, level); }
int j_unlock(sqlite3_file* f, int level) { return journal(f)->real->pMethods->xUnlock(journal(f)->real, level); }
int j_check_reserved(sqlite3_file* f, int* out) {
    return journal(f)->real->pMethods->xCheckReservedLock(journal(f)->real, out);
}
int j_file_control(sqlite3_file* f, int op, void* arg) {
    BufferedJournal* j = journal(f);
    if (int rc = flush(j); rc != SQLITE_OK) return rc;
    return j->real->pMethods->xFileControl(j->real, op, arg);
}
int j_sector_size(sqlite3_file* f) { return journal(f)->real->pMethods->xSectorSize(journal(f)->real); }
int j_device(sqlite3_file* f) {
    return journal(f)->real->pMethods->xDeviceCharacteristics(journal(f)->real);
}

const sqlite3_io_methods kJournalMethods = {
    1,  // no shared memory or memory mapping: a journal uses neither
    j_close, j_read, j_write, j_truncate, j_sync, j_file_size, j_lock, j_unlock, j_check_reserved,
    j_file_control, j_sector_size, j_device,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

sqlite3_vfs* root(sqlite3_vfs* layer) { return static_cast<sqlite3_vfs*>(layer->pAppData); }

int v_open(sqlite3_vfs* vfs, sqlite3_filename name, sqlite3_file* f, int flags, int* out_flags) {
    sqlite3_vfs* r = root(vfs);
    if ((flags & SQLITE_OPEN_MAIN_JOURNAL) == 0) return r->xOpen(r, name, f, flags, out_flags);
    auto* real = reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(f) + header_size());
    std::memset(real, 0, static_cast<std::size_t>(r->szOsFile));
    const int rc = r->xOpen(r, name, real, flags, out_flags);
    if (rc != SQLITE_OK) {
        // SQLite closes nothing after a failed open; the real file cleans up after itself.
        if (real->pMethods) real->pMethods->xClose(real);
        f->pMethods = nullptr;
        return rc;
    }
    auto* j = new (f) BufferedJournal{};
    j->base.pMethods = &kJournalMethods;
    j->real = real;
    try {
        j->pending.reserve(kFlushAt);
    } catch (const std::bad_alloc&) {
        // Nothing may be thrown through SQLite. The appends grow the buffer instead, and
        // a shortage there fails the write that met it.
    }
    return SQLITE_OK;
}

// Everything else is the root layer's own (kept in pAppData).
int v_delete(sqlite3_vfs* vfs, const char* name, int sync_dir) {
    return root(vfs)->xDelete(root(vfs), name, sync_dir);
}
int v_access(sqlite3_vfs* vfs, const char* name, int flags, int* out) {
    return root(vfs)->xAccess(root(vfs), name, flags, out);
}
int v_full_pathname(sqlite3_vfs* vfs, const char* name, int n, char* out) {
    return root(vfs)->xFullPathname(root(vfs), name, n, out);
}
void* v_dl_open(sqlite3_vfs* vfs, const char* name) { return root(vfs)->xDlOpen(root(vfs), name); }
void v_dl_error(sqlite3_vfs* vfs, int n, char* out) { root(vfs)->xDlError(root(vfs), n, out); }
void (*v_dl_sym(sqlite3_vfs* vfs, void* handle, const char* symbol))(void) {
    return root(vfs)->xDlSym(root(vfs), handle, symbol);
}
void v_dl_close(sqlite3_vfs* vfs, void* handle) { root(vfs)->xDlClose(root(vfs), handle); }
int v_randomness(sqlite3_vfs* vfs, int n, char* out) { return root(vfs)->xRandomness(root(vfs), n, out); }
int v_sleep(sqlite3_vfs* vfs, int micros) { return root(vfs)->xSleep(root(vfs), micros); }
int v_current_time(sqlite3_vfs* vfs, double* out) { return root(vfs)->xCurrentTime(root(vfs), out); }
int v_last_error(sqlite3_vfs* vfs, int n, char* out) {
    return root(vfs)->xGetLastError ? root(vfs)->xGetLastError(root(vfs), n, out) : 0;
}
int v_current_time64(sqlite3_vfs* vfs, sqlite3_int64* out) {
    return root(vfs)->xCurrentTimeInt64(root(vfs), out);
}

sqlite3_vfs make_layer(sqlite3_vfs* r) {
    sqlite3_vfs v{};
    v.iVersion = 2;
    v.szOsFile = static_cast<int>(header_size()) + r->szOsFile;
    v.mxPathname = r->mxPathname;
    v.zName = kName;
    v.pAppData = r;
    v.xOpen = v_open;
    v.xDelete = v_delete;
    v.xAccess = v_access;
    v.xFullPathname = v_full_pathname;
    v.xDlOpen = v_dl_open;
    v.xDlError = v_dl_error;
    v.xDlSym = v_dl_sym;
    v.xDlClose = v_dl_close;
    v.xRandomness = v_randomness;
    v.xSleep = v_sleep;
    v.xCurrentTime = v_current_time;
    v.xGetLastError = v_last_error;
    v.xCurrentTimeInt64 = v_current_time64;
    return v;
}

}  // namespace

const char* buffered_journal_vfs() {
    static std::once_flag once;
    std::call_once(once, [] {
        sqlite3_vfs* r = sqlite3_vfs_find(nullptr);  // SQLite's own default
        if (!r || r->iVersion < 2) throw DbError("SQLite has no usable default file system", SQLITE_ERROR);
        static sqlite3_vfs layer = make_layer(r);
        if (sqlite3_vfs_register(&layer, 0) != SQLITE_OK) {
            throw DbError("cannot register the journal layer with SQLite", SQLITE_ERROR);
        }
    });
    return kName;
}

}  // namespace cassasync::data
