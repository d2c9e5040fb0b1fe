// Super-journals left by a crash. A commit that spans attached files first writes a
// super-journal next to the main database ("dati.mdb-mj" + hex digits) listing each
// file's rollback journal, then writes the super-journal's name at the end of each of
// those journals. SQLite removes the super-journal when it rolls back the last hot
// journal that names it; but a process killed after the super-journal was made and
// before every journal it lists was hot leaves one that nothing will ever remove (a
// journal that is not hot is never rolled back, and one that names the super-journal
// stops the others' roll-back from removing it). Such files only pile up, so start-up
// removes them.
#pragma once

#include <filesystem>
#include <vector>

namespace cassasync::data {

// Removes the super-journals of `main_database` that no hot journal names; returns the
// files removed. One that cannot be read, or whose journals cannot be read, is kept.
// REQUIRES: no other connection is writing these files (start-up holds the root's lock
// and has opened the central files, so SQLite has rolled back their hot journals).
std::vector<std::filesystem::path> remove_orphan_super_journals(const std::filesystem::path& main_database);

}  // namespace cassasync::data
