// The file-system layer every connection of the service opens with: SQLite's own, with
// one change. A rollback journal is written as many small appends (for each page
// changed: its number, its old content, a checksum), one system call each, and on a
// batch of sales lines those calls cost more than the statements. Here a journal's
// appends are gathered in memory and handed on in order, in large writes, before
// anything that needs them on disk or reads them back: sync, read, size, truncate,
// close. The order of writes is kept and every sync still covers all of them, so a
// crash at any instant leaves the files as SQLite's own writes could have left them.
// That needs synchronous NORMAL or FULL (every connection sets FULL): under OFF, SQLite
// writes database pages without syncing the journal first, and records still held here
// would not have reached the file.
// Every other file (databases, statement journals, temporary files) passes straight
// through.
#pragma once

namespace cassasync::data {

// The layer's name for sqlite3_open_v2; it is registered with SQLite on the first call.
const char* buffered_journal_vfs();

}  // namespace cassasync::data
