// Test support: a disk that can lose its power. An SQLite file-system layer over the
// system's own, made the process's default before any connection is opened, so that the
// service's journal buffering layer sits on top of it and every file the service opens
// passes through it. Files are written to the real disk as usual; what the layer adds is
// a record, per file below `scope`, of every sector changed since that file's last sync
// (its content as of that sync), and of every file created or deleted since its folder's
// last sync (a deleted one is moved aside, not removed).
//
// At a chosen instant (the n-th write, sync, truncate or delete of any file) it cuts the
// power: that operation and every later one fail as if the machine were gone, and
// nothing more reaches the disk. power_on() then, with every connection closed, does to
// the files below `scope` what a disk may do to unsynced data: each changed sector keeps
// its new or its synced content (whole sectors, in any combination), a changed size
// keeps the new or the synced one, a file created or deleted since its folder's last
// sync is there or not. Files outside `scope` (the registers, other machines) keep every
// write made before the cut.
//
// Owned by a test; lives until the process ends (the journal layer keeps a pointer to the
// layer below it once it has been registered). One thread at a time.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace cassasync::testing {

// What power_on() did to the files.
struct PowerOnReport {
    int sectors_kept = 0;     // unsynced sectors that reached the disk
    int sectors_lost = 0;     // unsynced sectors back to their synced content (or zeros)
    int sizes_reverted = 0;   // files back to their synced size
    int entries_reverted = 0; // files created or deleted since their folder's sync, undone
};

class PowerCutDisk {
public:
    static constexpr int kSector = 512;

    // Registers the layer as SQLite's default. Throws when a connection was opened
    // through the journal layer before: it would sit on the system's layer, not on this.
    PowerCutDisk();
    PowerCutDisk(const PowerCutDisk&) = delete;
    PowerCutDisk& operator=(const PowerCutDisk&) = delete;

    // Files below `scope` lose their unsynced writes at a cut; deleted files wait in
    // `stash` (same file system) until their folder is synced. Forgets every record.
    void begin(const std::filesystem::path& scope, const std::filesystem::path& stash);
    // Cuts the power at the `at`-th operation from now (1 = the next one); 0: never.
    void arm(std::uint64_t at);
    // Every operation from now on is appended to `into` ("write dati.mdb-journal"); null: none.
    void trace(std::vector<std::string>* into) { trace_ = into; }
    // `noticed` runs at the instant of the cut (the test notes the step under way).
    void on_cut(std::function<void()> noticed) { noticed_ = std::move(noticed); }
    std::uint64_t operations() const { return operations_; }
    // How many of those were on databases below the scope, their journals left aside: a
    // commit that changed no page of a database still writes its super-journal.
    std::uint64_t changes_in_scope() const { return changes_in_scope_; }
    bool cut() const { return cut_; }
    // The operation the power was cut at ("write dati.mdb-journal"), empty before a cut.
    const std::string& cut_at() const { return cut_at_; }

    // After a cut (or none), with every connection closed: the disk as it comes back.
    PowerOnReport power_on(std::mt19937_64& random);

    // ---- for the layer's own functions ----
    struct Track {
        sqlite3_int64 synced_size = 0;
        std::map<sqlite3_int64, std::vector<unsigned char>> synced;  // sector -> content at sync
    };
    struct Entry {
        bool existed = false;                      // at the folder's last sync
        std::optional<std::filesystem::path> kept;  // its content then, when deleted since
    };
    bool in_scope(const std::string& path) const;
    // Counts an operation; false when the power is (now) off.
    bool operate(const char* what, const std::string& path);
    Track& track(const std::string& path, sqlite3_file* real);
    void created(const std::string& path);
    int remove(const std::string& path, int sync_dir);
    void folder_synced(const std::filesystem::path& folder);
    sqlite3_vfs* root() const { return root_; }

private:
    sqlite3_vfs* root_ = nullptr;
    sqlite3_vfs vfs_{};
    std::string scope_;
    std::filesystem::path stash_;
    std::uint64_t operations_ = 0;
    std::uint64_t changes_in_scope_ = 0;
    std::uint64_t armed_ = 0;
    bool cut_ = false;
    std::string cut_at_;
    std::function<void()> noticed_;
    std::vector<std::string>* trace_ = nullptr;
    int stashed_ = 0;
    std::map<std::string, Track> tracks_;   // by path
    std::map<std::string, Entry> entries_;  // by path
};

}  // namespace cassasync::testing
