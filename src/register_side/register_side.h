// The register side: what a cash register's own software does to its database so that
// the service takes its work correctly. The stand-in cassasync-register is built on it;
// a real register's software has to keep the same rules.
//
// The rules:
//  - Every write is made under the register's semaphore, the first row of `Semafori`:
//    Flag1 goes 0 -> 1 in one conditional UPDATE (never a read and then a write, so a 2
//    set by the service is never overwritten), the write is one short transaction, and
//    Flag1 goes back 1 -> 0 at once, again only if it is still 1. When Flag1 stays taken
//    the register waits a little and tries again, up to a limit, then gives the action up.
//    (SemaphoreHold and Register::take.) While the service drains a backlog it sets Flag1
//    back to 0 for a while between stretches, so a register that keeps trying gets in
//    within about a tenth of a second; a line it changes meanwhile is read again.
//  - A receipt is one `movimenti` line per article, bflag3 "S", aggiornogiacenza "N", all
//    lines of the receipt sharing the day serial (bdator) and the next receipt number of
//    the day for this register; a loyalty card adds a points line of kind 23 (and 24 for
//    points redeemed) with the card's 13-character number. (Register::ring)
//  - A card reading is a `cartetxrx` row with flag 1 and the next 16-bit sequence number,
//    wrapping to 1 past 32767. (Register::card)
//  - A barcode or customer created or changed at the register carries flagagg "A".
//    (Register::article, Register::customer)
//  - An invoice issued at the register is a `fatte` header with fl1ts "F" and its `fatmo`
//    rows, written together. (Register::invoice)
//  - The day's close is asked for by the file "\\host\cash\cisonodati.txt" on the
//    register's own host. (Register::close_request)
// The values are those of core/register_vocabulary.h, which the service reads by.
//
// A Register lives for one program run; it holds the register's database open and a
// read-only copy of the shop's central catalogue (catalogue.h) it draws articles, cards
// and customers from. Failures other than a semaphore that stays taken are thrown as
// data::DbError with a message that says what to do.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "data/database.h"
#include "platform/path_map.h"
#include "register_side/catalogue.h"

namespace cassasync::register_side {

// How the register is found and how long it waits for its semaphore.
struct RegisterOptions {
    int number = 0;        // 1..10; 0 when named by `path` alone
    std::string path;      // the register's database path; empty: from the register table
    int lock_wait_ms = 10000;
    std::uint64_t seed = 0;  // 0: a new random seed
    // Where the shop's company record is, and the main database when it names none.
    std::string company_path;
    std::string default_main_path;
};

// What was done, counted by the actions.
struct Tally {
    int receipts = 0;
    int lines = 0;
    int article_lines = 0;
    int multipack_lines = 0;
    int price_weight_lines = 0;
    int by_amount_lines = 0;
    int unlisted_lines = 0;
    int points_lines = 0;
    int cards_read = 0;
    int barcodes = 0;
    int customers = 0;
    int invoices = 0;
    int invoice_rows = 0;
    int semaphore_waits = 0;     // actions that found Flag1 taken at first
    int gave_up = 0;             // actions dropped because Flag1 stayed taken
    int failed = 0;              // actions that failed with an error
    std::vector<std::string> cards;           // card numbers read, in order
    std::vector<std::string> barcode_list;    // barcodes created or changed
    std::vector<std::int64_t> customer_list;  // customer codes created or changed
    std::vector<std::int64_t> invoice_list;   // invoice numbers issued
};

// Where the register waits between two tries at its semaphore; a waiter that is told to
// stop ends the wait early. Without one the register just sleeps.
class Waiter {
public:
    virtual ~Waiter() = default;
    // Waits up to `span`; true once a stop was asked for (now or before).
    virtual bool wait(std::chrono::milliseconds span) = 0;
    virtual bool stopped() const = 0;
};

// Holds Flag1 at 1 for its lifetime; gives it back only if it is still 1. Releasing is
// retried on a busy file: a Flag1 left at 1 would keep the service off the register.
// REQUIRES: the Database outlives the hold.
class SemaphoreHold {
public:
    explicit SemaphoreHold(data::Database& db) : db_(&db) {}
    SemaphoreHold(SemaphoreHold&& other) noexcept : db_(other.db_) { other.db_ = nullptr; }
    SemaphoreHold& operator=(SemaphoreHold&&) = delete;
    SemaphoreHold(const SemaphoreHold&) = delete;
    ~SemaphoreHold();

private:
    data::Database* db_;
};

// ring()'s choice about a loyalty card.
enum class CardChoice { by_chance, with_card, without_card };

class Register {
public:
    // Finds the register (by number or path, through the shop's register table), opens
    // its database and loads the catalogue. Throws when either is missing.
    Register(const RegisterOptions& options, platform::RootPathMap& paths);

    int number() const { return number_; }
    const std::string& path() const { return path_; }
    void reload_catalogue() { catalogue_.load(main_file_); }

    // Flag1 0 -> 1, retried for the lock wait; nothing when it stayed taken (counted in
    // the tally) or the waiter was stopped.
    std::optional<SemaphoreHold> take(Tally& tally, Waiter* waiter);

    // Each returns false when the action was given up (Flag1 stayed taken).
    // `article_lines` 0: 1 to 6 lines.
    bool ring(Tally& tally, int article_lines, CardChoice card, Waiter* waiter);
    bool card(Tally& tally, Waiter* waiter);
    bool article(Tally& tally, Waiter* waiter);
    bool customer(Tally& tally, Waiter* waiter);
    bool invoice(Tally& tally, Waiter* waiter);
    // Leaves the close request; returns its path as the register names it.
    std::string close_request();

private:
    std::string main_path(const RegisterOptions& options) const;
    void find_register(const RegisterOptions& options);

    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
    double pick_real(double low, double high) { return std::uniform_real_distribution<double>(low, high)(random_); }
    bool chance(double p) { return std::bernoulli_distribution(p)(random_); }
    template <class T>
    const T& pick_of(const std::vector<T>& v) {
        return v[static_cast<std::size_t>(pick(0, static_cast<int>(v.size()) - 1))];
    }
    std::int64_t department();

    platform::RootPathMap& paths_;
    int number_ = 0;
    std::string path_;
    std::chrono::milliseconds lock_wait_;
    std::mt19937_64 random_;
    std::filesystem::path main_file_;
    Catalogue catalogue_;
    std::unique_ptr<data::Database> db_;
};

// "\\host\share\..." -> "host"; "" when the path is not a network path.
std::string host_of(const std::string& windows_path);

// The printed one-line account of a tally, and the summary file ("key value" lines;
// lists repeat their key, one entry per line). write_summary is false when the file
// could not be written.
void print_counts(int register_number, const Tally& tally, std::FILE* out);
bool write_summary(const Register& reg, const Tally& tally, double seconds, const std::string& file);

// A realistic mix of actions at `rate` per second for `seconds` (0: until the waiter is
// stopped); errors are counted and each new one printed once to stderr. Reloads the
// catalogue every ten seconds so that what the service took in shows up.
struct MixResult {
    Tally tally;
    double seconds = 0;  // how long it ran
};
MixResult run_mix(Register& reg, Waiter& waiter, double rate, double seconds, std::uint64_t seed);

}  // namespace cassasync::register_side
