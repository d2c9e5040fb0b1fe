// The open database files of the process, each opened once and kept (a connection per
// file). Files are named by their Windows path and reached through the path map.
// The central connection is the main database with the sales database attached as
// "vendite" and the loyalty database as "fidel", so that one transaction commits the
// effects of a transfer on all three files together. Owned by the context; used by the
// worker thread only.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "data/database.h"
#include "data/schema.h"
#include "platform/file_system.h"
#include "platform/path_map.h"

namespace cassasync::data {

inline constexpr const char* kSalesSchema = "vendite";
inline constexpr const char* kLoyaltySchema = "fidel";

// How long a statement waits for a lock on a register's file. The register's software
// holds it for a few milliseconds; a longer lock is another program's (a copy, a
// repair), and each of the cycle's attempts on that register waits this long, while
// the other registers wait for their turn: a second keeps the cycle short.
inline constexpr int kRegisterBusyTimeoutMs = 1000;

class Connections {
public:
    // `notice` receives a line for the operation log when a central file is changed on
    // opening (its indexes brought to the schema's definitions).
    using Notice = std::function<void(const std::string&)>;
    explicit Connections(const platform::PathMap& paths, Notice notice = {})
        : paths_(paths), notice_(std::move(notice)) {}

    // A database by its Windows path; raises DbError when the file is missing or damaged.
    Database& open(const std::string& windows_path, FileRole role = FileRole::central);
    // Drops a connection (after an error on a register's share, so the next use reopens).
    void forget(const std::string& windows_path);
    // Drops a register's connection when its path now names another file than the one
    // opened (a register database restored or written anew): the old handle would go on
    // reading the old file, and the new one's rows would never be seen. Returns whether
    // it was dropped. Only between steps: nothing may still use the connection.
    bool forget_if_replaced(const std::string& windows_path);
    void close_all();

    // The main database; sales and loyalty are attached when their files exist. Each
    // file's indexes are brought to its schema's definitions the first time it is opened.
    Database& open_central(const std::string& main_path, const std::string& sales_path,
                           const std::string& loyalty_path);
    bool has_central() const { return central_ != nullptr; }
    Database& central();
    // Attaches the loyalty or sales file when it exists now (it may appear later).
    bool attach_if_present(const std::string& schema, const std::string& windows_path);

    const platform::PathMap& paths() const { return paths_; }

private:
    void upgrade(DatabaseKind kind, const std::string& schema, const std::string& windows_path);

    const platform::PathMap& paths_;
    Notice notice_;
    std::map<std::string, std::unique_ptr<Database>> open_;  // by local path
    std::map<std::string, std::optional<platform::FileIdentity>> opened_files_;  // by local path, as opened
    Database* central_ = nullptr;
};

}  // namespace cassasync::data
