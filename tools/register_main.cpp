// cassasync-register: a stand-in for one cash register's own software, for demos and
// tests. It works on the register's database the way the register would: it rings up
// receipts, records loyalty-card readings, creates and changes barcodes and customers,
// issues invoices and leaves the day's close request, and `run` does a realistic mix of
// these at a given rate until it is stopped.
//
// It draws barcodes, cards and customers from the shop's central catalogue, which it
// only ever reads. Before every write it takes the register's `Semafori` row (Flag1 0 ->
// 1, in one conditional UPDATE, so that the service's 2 is never overwritten), writes in
// one short transaction and gives the row back at once; when Flag1 stays taken it waits
// a little and tries again, up to a limit, and then gives the action up.
#include <CLI/CLI.hpp>

#include <signal.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "cassasync_version.h"
#include "core/back_office_paths.h"
#include "data/database.h"
#include "data/value.h"
#include "frame/shop_admin.h"
#include "platform/clock.h"
#include "platform/path_map.h"
#include "platform/stop_signals.h"

namespace {

using cassasync::data::Database;
using cassasync::data::DbError;
using cassasync::data::Value;
using cassasync::data::to_double_or;
using cassasync::data::to_int_or;
using cassasync::data::to_text;
namespace fs = std::filesystem;
namespace platform = cassasync::platform;

// Marks and values the register writes, as the service reads them.
constexpr const char* kLineActive = "S";        // movimenti.bflag3: a line that counts
constexpr const char* kLineWaiting = "N";       // movimenti.aggiornogiacenza: not yet taken
constexpr const char* kChangedHere = "A";       // codean/clienti.flagagg: changed at the register
constexpr const char* kInvoiceToHandOver = "F"; // fatte.fl1ts
constexpr std::int64_t kReadingPending = 1;     // cartetxrx.flag
constexpr std::int64_t kArticleLine = 1;        // movimenti.tiporecord
constexpr std::int64_t kPointsEarned = 23;
constexpr std::int64_t kPointsRedeemed = 24;
constexpr const char* kUnlistedBarcode = "8099999999999";
constexpr const char* kCloseRequestFile = "\\cash\\cisonodati.txt";
constexpr const char* kInvoiceType = "FT";
constexpr std::int64_t kMaxSequence = 32767;  // 16-bit sequence numbers of the register

// ---- small helpers ----

double round_to(double value, int decimals) {
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

std::string pad_digits(std::int64_t value, int width) {
    std::string s = std::to_string(value);
    if (static_cast<int>(s.size()) < width) s.insert(0, static_cast<std::size_t>(width - s.size()), '0');
    return s;
}

// The EAN-13 check digit of the first twelve digits.
char ean_check_digit(const std::string& twelve) {
    int sum = 0;
    for (std::size_t i = 0; i < 12 && i < twelve.size(); ++i) {
        const int d = twelve[i] - '0';
        sum += (i % 2 == 0) ? d : 3 * d;
    }
    return static_cast<char>('0' + (10 - sum % 10) % 10);
}

std::string loopback_register_path(int n) { return "\\\\127.0.0." + std::to_string(n) + "\\cassa\\dati.mdb"; }

// "\\host\share\..." -> "host"; "" when the path is not a network path.
std::string host_of(const std::string& windows_path) {
    if (windows_path.rfind("\\\\", 0) != 0) return {};
    const auto end = windows_path.find('\\', 2);
    return end == std::string::npos ? std::string() : windows_path.substr(2, end - 2);
}

bool equal_nocase(const std::string& a, const std::string& b) { return cassasync::base::equal_folded(a, b); }

// Today's day serial and the time of day as a fraction, as the register stamps a line.
struct Moment {
    platform::LocalTime local;
    double day = 0;
    double time = 0;
};

Moment now_moment() {
    platform::SystemClock clock;
    Moment m;
    m.local = clock.now();
    m.day = static_cast<double>(platform::day_serial(m.local.year, m.local.month, m.local.day));
    m.time = (m.local.hour * 3600.0 + m.local.minute * 60.0 + m.local.second) / 86400.0;
    return m;
}

// ---- stop signals ----

// SIGINT and SIGTERM are blocked for the whole run and only taken at the points where
// the stand-in waits, so that an action is never cut in half.
using cassasync::platform::StopSignals;

// ---- the central catalogue, read only ----

enum class ItemKind { normal, multipack, price_weight, by_amount };

struct Item {
    std::string eanare;
    std::int64_t codare = 0;
    double pezzix = 1;
    double prezzox = 0;  // the price of all `pezzix` pieces: a carton's price
    double przpub = 0;
    std::int64_t codrep = 0;
    std::int64_t ivart = 0;
    std::string desart;
    ItemKind kind = ItemKind::normal;
};

struct Holder {
    std::int64_t codcliente = 0;
    std::string tessera;
    std::string dsccliente;
    std::string nome;
    std::string stato;
    Value sconto, sel, indirizzo, cap, citta, provincia, codfis, piva, telefono1, telefono2, fax, note, codLis;
};

class Catalogue {
public:
    void load(const fs::path& main_file);
    bool empty() const { return items_.empty(); }
    const std::vector<Item>& of(ItemKind k) const { return by_kind_.at(k); }
    const std::vector<Holder>& holders() const { return holders_; }
    const std::vector<std::int64_t>& departments() const { return departments_; }
    bool has_barcode(const std::string& ean) const { return barcodes_.count(ean) > 0; }
    bool has_card(const std::string& card) const { return cards_.count(card) > 0; }
    bool has_customer(std::int64_t code) const { return customer_codes_.count(code) > 0; }

private:
    std::vector<Item> items_;
    std::map<ItemKind, std::vector<Item>> by_kind_;
    std::vector<Holder> holders_;
    std::vector<std::int64_t> departments_;
    std::set<std::string> barcodes_;
    std::set<std::string> cards_;
    std::set<std::int64_t> customer_codes_;
};

void Catalogue::load(const fs::path& main_file) {
    if (!fs::exists(main_file)) {
        throw DbError("the shop's main database " + main_file.string() +
                      " does not exist: build the shop first (cassasync-shop init or demo)");
    }
    Database db(main_file);
    db.exec("PRAGMA query_only = ON");  // the catalogue belongs to the back office

    items_.clear();
    barcodes_.clear();
    by_kind_ = {{ItemKind::normal, {}}, {ItemKind::multipack, {}}, {ItemKind::price_weight, {}}, {ItemKind::by_amount, {}}};
    auto& st = db.prepare(
        "SELECT c.eanare, c.codare, c.pezzix, c.prezzox, l.przpub, l.codrep, l.ivart, l.desart, l.colore "
        "FROM codean c JOIN listi01 l ON l.codart = c.codare ORDER BY c.eanare");
    while (st.step()) {
        Item it;
        it.eanare = to_text(st.column(0));
        barcodes_.insert(it.eanare);
        // Only full-length barcodes: the service matches a barcode on 13 characters.
        if (it.eanare.size() != 13 || it.eanare.find_first_not_of("0123456789") != std::string::npos) continue;
        it.codare = to_int_or(st.column(1), 0);
        it.pezzix = to_double_or(st.column(2), 1);
        it.prezzox = to_double_or(st.column(3), 0);
        it.przpub = to_double_or(st.column(4), 0);
        it.codrep = to_int_or(st.column(5), 0);
        it.ivart = to_int_or(st.column(6), 0);
        it.desart = to_text(st.column(7));
        const std::int64_t colore = to_int_or(st.column(8), 0);
        if (it.przpub <= 0) continue;
        if (colore == 5) {
            it.kind = ItemKind::by_amount;
        } else if (it.eanare[0] == '2' && it.eanare.compare(7, 5, "00000") == 0) {
            it.kind = ItemKind::price_weight;  // the base row of a price or weight barcode
        } else if (it.pezzix > 1) {
            it.kind = ItemKind::multipack;
        }
        by_kind_[it.kind].push_back(it);
        items_.push_back(std::move(it));
    }
    st.reset();

    holders_.clear();
    cards_.clear();
    customer_codes_.clear();
    auto& cs = db.prepare(
        "SELECT codcliente, tessera, dsccliente, nome, stato, sconto, sel, indirizzo, cap, citta, provincia, "
        "codfis, piva, telefono1, telefono2, fax, note, codLis FROM clienti ORDER BY codcliente");
    while (cs.step()) {
        Holder h;
        h.codcliente = to_int_or(cs.column(0), 0);
        h.tessera = to_text(cs.column(1));
        customer_codes_.insert(h.codcliente);
        if (!h.tessera.empty()) cards_.insert(h.tessera);
        h.dsccliente = to_text(cs.column(2));
        h.nome = to_text(cs.column(3));
        h.stato = to_text(cs.column(4));
        h.sconto = cs.column(5);
        h.sel = cs.column(6);
        h.indirizzo = cs.column(7);
        h.cap = cs.column(8);
        h.citta = cs.column(9);
        h.provincia = cs.column(10);
        h.codfis = cs.column(11);
        h.piva = cs.column(12);
        h.telefono1 = cs.column(13);
        h.telefono2 = cs.column(14);
        h.fax = cs.column(15);
        h.note = cs.column(16);
        h.codLis = cs.column(17);
        // A customer being removed ("C") is left alone; points are booked on a card
        // number of 13 characters, the width the register keeps.
        if (h.codcliente <= 0 || h.stato == "C" || h.tessera.size() != 13) continue;
        holders_.push_back(std::move(h));
    }
    cs.reset();

    departments_.clear();
    auto& ds = db.prepare("SELECT reparto FROM reparti ORDER BY reparto");
    while (ds.step()) departments_.push_back(to_int_or(ds.column(0), 0));
    ds.reset();
}

// ---- what was done ----

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

// ---- the register ----

struct Options {
    std::string root;
    int number = 0;
    std::string path;
    int lock_wait_ms = 10000;
    std::uint64_t seed = 0;
};

class Register {
public:
    Register(const Options& options, platform::RootPathMap& paths);

    int number() const { return number_; }
    const std::string& path() const { return path_; }
    Catalogue& catalogue() { return catalogue_; }
    void reload_catalogue() { catalogue_.load(main_file_); }

    // Each returns false when the action was given up (Flag1 stayed taken).
    bool ring(Tally& tally, int article_lines, int card_mode, StopSignals* stop);
    bool card(Tally& tally, StopSignals* stop);
    bool article(Tally& tally, StopSignals* stop);
    bool customer(Tally& tally, StopSignals* stop);
    bool invoice(Tally& tally, StopSignals* stop);
    void close_request();

private:
    class Hold;
    std::optional<Hold> take(Tally& tally, StopSignals* stop);
    std::string main_path() const;

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
    fs::path main_file_;
    Catalogue catalogue_;
    std::unique_ptr<Database> db_;
};

// Holds Flag1 at 1 for its lifetime; gives it back only if it is still ours.
class Register::Hold {
public:
    explicit Hold(Database& db) : db_(&db) {}
    Hold(Hold&& other) noexcept : db_(other.db_) { other.db_ = nullptr; }
    Hold& operator=(Hold&&) = delete;
    Hold(const Hold&) = delete;
    ~Hold() {
        if (!db_) return;
        // A busy file is retried: a Flag1 left at 1 would keep the service off registers 4 to 10.
        for (int attempt = 1; attempt <= 3; ++attempt) {
            try {
                db_->execute(
                    "UPDATE Semafori SET Flag1 = 0 WHERE rowid = (SELECT min(rowid) FROM Semafori) AND Flag1 = 1");
                return;
            } catch (const std::exception& e) {
                std::fprintf(stderr, "cassasync-register: cannot release the semaphore, attempt %d of 3: %s\n", attempt,
                             e.what());
            }
        }
    }

private:
    Database* db_;
};

Register::Register(const Options& options, platform::RootPathMap& paths)
    : paths_(paths), lock_wait_(options.lock_wait_ms) {
    std::random_device device;
    random_.seed(options.seed ? options.seed : (static_cast<std::uint64_t>(device()) << 32) ^ device());

    main_file_ = paths_.to_local(main_path());
    number_ = options.number;
    path_ = options.path;
    // The register table says where a numbered register keeps its file; a path given
    // alone names its register through the same table.
    if (fs::exists(main_file_)) {
        Database main(main_file_);
        main.exec("PRAGMA query_only = ON");
        if (path_.empty() && number_ > 0) {
            path_ = to_text(main.scalar("SELECT percorso FROM casse WHERE numero = ?", {Value(std::int64_t{number_})}));
        } else if (number_ == 0 && !path_.empty()) {
            auto& st = main.prepare("SELECT numero, percorso FROM casse ORDER BY numero");
            while (st.step()) {
                if (equal_nocase(to_text(st.column(1)), path_)) {
                    number_ = static_cast<int>(to_int_or(st.column(0), 0));
                    break;
                }
            }
            st.reset();
        }
    }
    if (path_.empty() && number_ > 0) path_ = loopback_register_path(number_);
    if (number_ <= 0) {
        throw DbError("no register number for " + path_ + ": give --register N");
    }
    const fs::path local = paths_.to_local(path_);
    if (!fs::exists(local)) {
        throw DbError("register " + std::to_string(number_) + " has no database at " + path_ + " (" + local.string() +
                      "): create it with cassasync-shop add-register or demo");
    }
    cassasync::data::OpenOptions open;
    open.role = cassasync::data::FileRole::register_share;
    open.busy_timeout_ms = 5000;
    db_ = std::make_unique<Database>(local, open);
    if (to_int_or(db_->scalar("SELECT count(*) FROM Semafori"), 0) == 0) {
        throw DbError("register " + std::to_string(number_) + ": the Semafori table of " + path_ + " is empty");
    }
    catalogue_.load(main_file_);
}

std::string Register::main_path() const {
    const fs::path company = paths_.to_local(cassasync::frame::kCompanyPath);
    if (fs::exists(company)) {
        Database db(company);
        db.exec("PRAGMA query_only = ON");
        std::string p = to_text(db.scalar("SELECT \"database\" FROM \"società\" WHERE codute = 1"));
        if (!p.empty()) return p;
    }
    return cassasync::frame::kDefaultMainPath;
}

std::optional<Register::Hold> Register::take(Tally& tally, StopSignals* stop) {
    const auto deadline = std::chrono::steady_clock::now() + lock_wait_;
    bool waited = false;
    for (;;) {
        // One conditional statement: a 2 set by the service is never overwritten.
        if (db_->execute("UPDATE Semafori SET Flag1 = 1 WHERE rowid = (SELECT min(rowid) FROM Semafori) AND Flag1 = 0") ==
            1) {
            return Hold(*db_);
        }
        if (!waited) ++tally.semaphore_waits;
        waited = true;
        if (std::chrono::steady_clock::now() >= deadline) break;
        const auto pause = std::chrono::milliseconds(pick(10, 40));
        if (stop) {
            if (stop->wait(pause)) break;
        } else {
            std::this_thread::sleep_for(pause);
        }
    }
    ++tally.gave_up;
    return std::nullopt;
}

std::int64_t Register::department() {
    const auto& d = catalogue_.departments();
    return d.empty() ? 1 : pick_of(d);
}

// ---- ring: one receipt ----

struct Line {
    std::string eanrig;
    std::string descrizione;
    double quantita = 1;
    double prezzo = 0;
    double totrig = 0;
    std::int64_t codrep = 0;
    std::int64_t tiporecord = kArticleLine;
    std::string tipobattuta = "S";  // scanned; "T" keyed in
    ItemKind kind = ItemKind::normal;
    bool unlisted = false;
};

bool Register::ring(Tally& tally, int article_lines, int card_mode, StopSignals* stop) {
    if (article_lines <= 0) article_lines = pick(1, 6);
    std::vector<Line> lines;
    for (int i = 0; i < article_lines; ++i) {
        Line l;
        const int roll = pick(1, 100);
        ItemKind kind = roll <= 62 ? ItemKind::normal
                        : roll <= 74 ? ItemKind::multipack
                        : roll <= 86 ? ItemKind::price_weight
                        : roll <= 92 ? ItemKind::by_amount
                                     : ItemKind::normal;
        const bool unlisted = roll > 92 || catalogue_.empty();
        if (!unlisted && catalogue_.of(kind).empty()) kind = ItemKind::normal;
        if (unlisted || catalogue_.of(kind).empty()) {
            l.unlisted = true;
            l.eanrig = kUnlistedBarcode;
            l.descrizione = "REPARTO VARIO";
            l.prezzo = round_to(pick_real(0.5, 20.0), 2);
            l.quantita = 1;
            l.totrig = l.prezzo;
            l.codrep = department();
            l.tipobattuta = "T";
        } else {
            const Item& it = pick_of(catalogue_.of(kind));
            l.kind = kind;
            l.descrizione = it.desart;
            l.codrep = it.codrep;
            switch (kind) {
                case ItemKind::normal:
                    l.eanrig = it.eanare;
                    l.quantita = pick(1, 3);
                    l.prezzo = it.przpub;
                    break;
                case ItemKind::multipack:
                    l.eanrig = it.eanare;
                    l.quantita = pick(1, 2);
                    l.prezzo = it.prezzox > 0 ? it.prezzox : round_to(it.przpub * it.pezzix, 2);
                    break;
                case ItemKind::price_weight: {
                    // The scale prints the amount in cents into digits 8 to 12.
                    const double weight = round_to(pick_real(0.150, 2.500), 3);
                    double amount = std::min(round_to(it.przpub * weight, 2), 999.99);
                    if (amount < 0.01) amount = 0.01;
                    const std::string twelve =
                        it.eanare.substr(0, 7) + pad_digits(std::llround(amount * 100), 5);
                    l.eanrig = twelve + ean_check_digit(twelve);
                    l.quantita = 1;
                    l.prezzo = amount;
                    break;
                }
                case ItemKind::by_amount: {
                    const double quantity = round_to(pick_real(0.25, 3.0), 2);
                    l.eanrig = it.eanare;
                    l.quantita = quantity;
                    l.prezzo = it.przpub;
                    break;
                }
            }
            l.totrig = round_to(l.prezzo * l.quantita, 2);
        }
        lines.push_back(std::move(l));
    }

    const Holder* holder = nullptr;
    const bool want_card = card_mode > 0 || (card_mode == 0 && chance(0.3));
    if (want_card && !catalogue_.holders().empty()) holder = &pick_of(catalogue_.holders());
    if (holder) {
        double total = 0;
        for (const auto& l : lines) total += l.totrig;
        Line earned;
        earned.tiporecord = kPointsEarned;
        earned.descrizione = "PUNTI ACCUMULATI";
        earned.quantita = std::max(1.0, std::floor(total));
        earned.codrep = lines.front().codrep;
        earned.tipobattuta = "T";
        lines.push_back(earned);
        if (chance(0.15)) {
            Line redeemed = earned;
            redeemed.tiporecord = kPointsRedeemed;
            redeemed.descrizione = "PUNTI UTILIZZATI";
            redeemed.quantita = pick(5, 20);
            lines.push_back(redeemed);
        }
    }

    auto hold = take(tally, stop);
    if (!hold) return false;
    const Moment m = now_moment();
    const std::int64_t operatore = pick(1, 3);
    cassasync::data::Transaction tx(*db_);
    const std::int64_t bnumer =
        to_int_or(db_->scalar("SELECT max(bnumer) FROM movimenti WHERE bdator = ? AND numcassa = ?",
                              {Value(m.day), Value(std::int64_t{number_})}),
                  0) + 1;
    for (const auto& l : lines) {
        db_->execute(
            "INSERT INTO movimenti (bflag3, aggiornogiacenza, bdator, bora, bnumer, eanrig, descrizione, quantita, "
            "prezzo, totrig, sconto, codrep, tiporecord, operatore, numcassa, bflag1, tessera, descli, tipobattuta) "
            "VALUES (?,?,?,?,?,?,?,?,?,?,0,?,?,?,?,?,?,?,?)",
            {Value(std::string(kLineActive)), Value(std::string(kLineWaiting)), Value(m.day), Value(m.time),
             Value(bnumer), Value(l.eanrig), Value(l.descrizione), Value(l.quantita), Value(l.prezzo),
             Value(l.totrig), Value(l.codrep), Value(l.tiporecord), Value(operatore), Value(std::int64_t{number_}),
             Value(std::string("V")), holder ? Value(holder->tessera) : Value(),
             holder ? Value(holder->dsccliente) : Value(), Value(l.tipobattuta)});
    }
    tx.commit();

    ++tally.receipts;
    for (const auto& l : lines) {
        ++tally.lines;
        if (l.tiporecord != kArticleLine) {
            ++tally.points_lines;
        } else if (l.unlisted) {
            ++tally.unlisted_lines;
        } else {
            ++tally.article_lines;
            if (l.kind == ItemKind::multipack) ++tally.multipack_lines;
            if (l.kind == ItemKind::price_weight) ++tally.price_weight_lines;
            if (l.kind == ItemKind::by_amount) ++tally.by_amount_lines;
        }
    }
    return true;
}

// ---- card: one loyalty-card reading ----

bool Register::card(Tally& tally, StopSignals* stop) {
    if (catalogue_.holders().empty()) throw DbError("the shop has no customer with a card to read");
    const Holder& h = pick_of(catalogue_.holders());
    const std::int64_t dcum = pick(0, 30);
    const std::int64_t dutil = chance(0.1) ? pick(1, 10) : 0;

    auto hold = take(tally, stop);
    if (!hold) return false;
    const Moment m = now_moment();
    const std::string stamp = platform::short_date(m.local) + platform::long_time(m.local);
    cassasync::data::Transaction tx(*db_);
    std::int64_t next = to_int_or(db_->scalar("SELECT max(progressivo) FROM cartetxrx"), 0) + 1;
    if (next > kMaxSequence) next = 1;
    db_->execute("INSERT INTO cartetxrx (progressivo, tessera, dcum, dutil, bdat_scr, flag) VALUES (?,?,?,?,?,?)",
                 {Value(next), Value(h.tessera), Value(dcum), Value(dutil), Value(stamp), Value(kReadingPending)});
    tx.commit();
    ++tally.cards_read;
    tally.cards.push_back(h.tessera);
    return true;
}

// ---- article: a barcode created or changed at the register ----

bool Register::article(Tally& tally, StopSignals* stop) {
    const std::string tag = "ART. CASSA " + std::to_string(number_) + " ";
    // A change only ever touches a barcode this register created itself, so that the
    // central catalogue the other registers ring from keeps its prices.
    auto& st = db_->prepare("SELECT id, eanare, desart FROM codean WHERE desart LIKE ? ORDER BY id",
                            {Value(tag + "%")});
    std::vector<std::pair<std::int64_t, std::string>> own;
    while (st.step()) own.emplace_back(to_int_or(st.column(0), 0), to_text(st.column(1)));
    st.reset();

    const double price = round_to(pick_real(0.5, 30.0), 2);
    const bool change = !own.empty() && chance(0.3);
    std::string ean;
    std::int64_t row = 0;
    if (change) {
        const auto& chosen = pick_of(own);
        row = chosen.first;
        ean = chosen.second;
    } else {
        for (int attempt = 0; attempt < 50 && ean.empty(); ++attempt) {
            const std::string twelve =
                "80" + pad_digits(number_ % 10, 1) + pad_digits(pick(0, 999999999), 9);
            const std::string candidate = twelve + ean_check_digit(twelve);
            if (candidate == kUnlistedBarcode || catalogue_.has_barcode(candidate)) continue;
            if (!cassasync::data::is_null(db_->scalar("SELECT 1 FROM codean WHERE eanare = ?", {Value(candidate)})))
                continue;
            ean = candidate;
        }
        if (ean.empty()) throw DbError("no free barcode found for a new article");
    }
    const std::int64_t ivart = chance(0.5) ? 22 : 10;
    const std::int64_t codrep = department();
    const std::string desart = tag + ean.substr(8, 4);

    auto hold = take(tally, stop);
    if (!hold) return false;
    cassasync::data::Transaction tx(*db_);
    if (change) {
        db_->execute("UPDATE codean SET przpub = ?, ivart = ?, codrep = ?, flagagg = ? WHERE id = ?",
                     {Value(price), Value(ivart), Value(codrep), Value(std::string(kChangedHere)), Value(row)});
    } else {
        db_->execute(
            "INSERT INTO codean (eanare, codare, desart, przpub, ivart, codrep, tipart, flagagg) "
            "VALUES (?,0,?,?,?,?,'0',?)",
            {Value(ean), Value(desart), Value(price), Value(ivart), Value(codrep), Value(std::string(kChangedHere))});
    }
    tx.commit();
    ++tally.barcodes;
    tally.barcode_list.push_back(ean);
    return true;
}

// ---- customer: a customer created or changed at the register ----

bool Register::customer(Tally& tally, StopSignals* stop) {
    static const char* const kSurnames[] = {"ROSSI", "BIANCHI", "VERDI", "ESPOSITO", "COLOMBO", "RICCI", "MARINO", "GRECO"};
    static const char* const kNames[] = {"ANNA", "MARCO", "GIULIA", "LUCA", "SARA", "PAOLO", "ELENA", "DAVIDE"};
    const std::string phone = "0" + pad_digits(pick(10000000, 99999999), 9);
    const bool change = !catalogue_.holders().empty() && chance(0.4);

    // New customers take codes and cards of this register's own range, so that two
    // registers creating customers at the same time never pick the same code.
    const std::int64_t base = static_cast<std::int64_t>(number_) * 1000000;
    Holder fresh;
    const Holder* h = nullptr;
    if (change) {
        h = &pick_of(catalogue_.holders());
    } else {
        std::int64_t next = to_int_or(db_->scalar("SELECT max(codcliente) FROM clienti WHERE codcliente > ? AND codcliente < ?",
                                                  {Value(base), Value(base + 1000000)}),
                                      base) + 1;
        auto card_of = [&](std::int64_t code) {
            const std::string twelve = "04" + pad_digits(number_, 2) + pad_digits(code - base, 8);
            return twelve + ean_check_digit(twelve);
        };
        while (catalogue_.has_customer(next) || catalogue_.has_card(card_of(next))) ++next;
        fresh.codcliente = next;
        fresh.tessera = card_of(next);
        fresh.dsccliente = std::string(kSurnames[pick(0, 7)]) + " " + std::to_string(next - base);
        fresh.nome = kNames[pick(0, 7)];
        fresh.stato = "A";
        fresh.sconto = Value(0.0);
        fresh.sel = Value(std::string("N"));
        fresh.indirizzo = Value("VIA ROMA " + std::to_string(pick(1, 200)));
        fresh.cap = Value(std::string("00100"));
        fresh.citta = Value(std::string("ROMA"));
        fresh.provincia = Value(std::string("RM"));
        fresh.codLis = Value(std::int64_t{1});
        h = &fresh;
    }
    const Value address = Value("VIA " + std::string(kSurnames[pick(0, 7)]) + " " + std::to_string(pick(1, 200)));

    auto hold = take(tally, stop);
    if (!hold) return false;
    cassasync::data::Transaction tx(*db_);
    const Value existing = db_->scalar("SELECT id FROM clienti WHERE codcliente = ? ORDER BY id", {Value(h->codcliente)});
    if (change && !cassasync::data::is_null(existing)) {
        db_->execute("UPDATE clienti SET telefono1 = ?, indirizzo = ?, flagagg = ? WHERE id = ?",
                     {Value(phone), address, Value(std::string(kChangedHere)), existing});
    } else {
        db_->execute(
            "INSERT INTO clienti (codcliente, cognome, nome, sconto, sel, indirizzo, cap, citta, provincia, codfis, "
            "piva, telefono1, telefono2, fax, note, stato, tessera, codLis, flagagg) "
            "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
            {Value(h->codcliente), Value(h->dsccliente), Value(h->nome), h->sconto, h->sel,
             change ? address : h->indirizzo, h->cap, h->citta, h->provincia, h->codfis, h->piva, Value(phone),
             h->telefono2, h->fax, h->note, Value(h->stato), Value(h->tessera), h->codLis,
             Value(std::string(kChangedHere))});
    }
    tx.commit();
    ++tally.customers;
    tally.customer_list.push_back(h->codcliente);
    return true;
}

// ---- invoice: an invoice issued at the register ----

bool Register::invoice(Tally& tally, StopSignals* stop) {
    const auto& normal = catalogue_.of(ItemKind::normal);
    if (normal.empty() || catalogue_.holders().empty()) throw DbError("the shop has no articles or customers to invoice");
    const Holder& h = pick_of(catalogue_.holders());
    struct Row {
        const Item* item;
        double quantita, prezzo, totrig, ivato;
        bool by_barcode;
    };
    std::vector<Row> rows;
    double imponibile = 0;
    const int count = pick(1, 4);
    for (int i = 0; i < count; ++i) {
        const Item& it = pick_of(normal);
        Row r{&it, static_cast<double>(pick(1, 5)), round_to(it.przpub / 1.22, 2), 0, 0, chance(0.3)};
        r.totrig = round_to(r.prezzo * r.quantita, 2);
        r.ivato = round_to(r.totrig * 1.22, 2);
        imponibile += r.totrig;
        rows.push_back(r);
    }
    imponibile = round_to(imponibile, 2);
    const double imposta = round_to(imponibile * 0.22, 2);

    auto hold = take(tally, stop);
    if (!hold) return false;
    const Moment m = now_moment();
    const std::int64_t anno = m.local.year;
    // Each register numbers its invoices in a range of its own.
    const std::int64_t base = static_cast<std::int64_t>(number_) * 10000;
    cassasync::data::Transaction tx(*db_);
    const std::int64_t numero =
        to_int_or(db_->scalar("SELECT max(numero) FROM fatte WHERE anno = ? AND codtipdoc = ? AND numero > ? AND numero < ?",
                              {Value(anno), Value(std::string(kInvoiceType)), Value(base), Value(base + 10000)}),
                  base) + 1;
    db_->execute(
        "INSERT INTO fatte (codutente, anno, numero, codtipdoc, dataor, ora, cliente, dsccliente, codlis, fl1ts, regis, "
        "annofa, numfa, datafa, causa, agente, codpagamento, tipodoc, totale, totimp, totiva, imp01, iva01, ims01) "
        "VALUES (1,?,?,?,?,?,?,?,1,?,' ',?,?,?,'Vendita',?,1,'FATTURA',?,?,?,?,'22',?)",
        {Value(anno), Value(numero), Value(std::string(kInvoiceType)), Value(m.day), Value(m.time), Value(h.codcliente),
         Value(h.dsccliente), Value(std::string(kInvoiceToHandOver)), Value(anno), Value(numero), Value(m.day),
         Value(std::int64_t{number_}), Value(round_to(imponibile + imposta, 2)), Value(imponibile), Value(imposta),
         Value(imponibile), Value(imposta)});
    std::int64_t bns = 0;
    for (const auto& r : rows) {
        db_->execute(
            "INSERT INTO fatmo (codute, bannoc, bnumer, codtipdoc, bns, bdator, articoli, unitam, quantita, tipmov, "
            "descrizione, iva, prezzo, totrig, totaleivato, eanrig, codrep) VALUES (1,?,?,?,?,?,?,'PZ',?,'AR',?,'22',?,?,?,?,?)",
            {Value(anno), Value(numero), Value(std::string(kInvoiceType)), Value(++bns), Value(m.day),
             Value(r.by_barcode ? std::int64_t{0} : r.item->codare), Value(r.quantita), Value(r.item->desart),
             Value(r.prezzo), Value(r.totrig), Value(r.ivato), Value(r.item->eanare), Value(r.item->codrep)});
    }
    tx.commit();
    ++tally.invoices;
    tally.invoice_rows += static_cast<int>(rows.size());
    tally.invoice_list.push_back(numero);
    return true;
}

// ---- close: the request to close the day ----

void Register::close_request() {
    const std::string host = host_of(path_);
    if (host.empty()) throw DbError("register " + std::to_string(number_) + " at " + path_ + " is not on a network path");
    const std::string flag = "\\\\" + host + kCloseRequestFile;
    const fs::path local = paths_.to_local(flag);
    fs::create_directories(local.parent_path());
    std::ofstream out(local, std::ios::binary | std::ios::app);
    const Moment m = now_moment();
    out << "chiusura cassa " << number_ << " " << platform::short_date(m.local) << " " << platform::long_time(m.local)
        << "\r\n";
    if (!out) throw DbError("cannot write the close request " + local.string());
}

// ---- reporting ----

void print_counts(const Register& reg, const Tally& t, FILE* out) {
    std::fprintf(out,
                 "register %d: %d receipts, %d receipt lines rung (%d articles of which %d multipack, %d price-or-weight, "
                 "%d by amount; %d unlisted; %d points), %d cards read, %d barcodes, %d customers, %d invoices "
                 "(%d rows); semaphore busy %d times, %d actions given up, %d failed\n",
                 reg.number(), t.receipts, t.lines, t.article_lines, t.multipack_lines, t.price_weight_lines,
                 t.by_amount_lines, t.unlisted_lines, t.points_lines, t.cards_read, t.barcodes, t.customers,
                 t.invoices, t.invoice_rows, t.semaphore_waits, t.gave_up, t.failed);
}

// One "key value" pair per line; lists repeat their key, one entry per line.
bool write_summary(const Register& reg, const Tally& t, double seconds, const std::string& file) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << "register " << reg.number() << "\n"
        << "path " << reg.path() << "\n"
        << "seconds " << seconds << "\n"
        << "receipts " << t.receipts << "\n"
        << "lines " << t.lines << "\n"
        << "article_lines " << t.article_lines << "\n"
        << "multipack_lines " << t.multipack_lines << "\n"
        << "price_weight_lines " << t.price_weight_lines << "\n"
        << "by_amount_lines " << t.by_amount_lines << "\n"
        << "unlisted_lines " << t.unlisted_lines << "\n"
        << "points_lines " << t.points_lines << "\n"
        << "cards_read " << t.cards_read << "\n"
        << "barcodes " << t.barcodes << "\n"
        << "customers " << t.customers << "\n"
        << "invoices " << t.invoices << "\n"
        << "invoice_rows " << t.invoice_rows << "\n"
        << "semaphore_waits " << t.semaphore_waits << "\n"
        << "gave_up " << t.gave_up << "\n"
        << "failed " << t.failed << "\n";
    for (const auto& c : t.cards) out << "card " << c << "\n";
    for (const auto& b : t.barcode_list) out << "barcode " << b << "\n";
    for (auto c : t.customer_list) out << "customer " << c << "\n";
    for (auto n : t.invoice_list) out << "invoice " << n << "\n";
    out.flush();
    return static_cast<bool>(out);
}

enum class Action { ring, card, article, customer, invoice };

Action pick_action(std::mt19937_64& random) {
    // Mostly receipts, some card readings, now and then a master-data change or an invoice.
    const int roll = std::uniform_int_distribution<int>(1, 100)(random);
    if (roll <= 72) return Action::ring;
    if (roll <= 87) return Action::card;
    if (roll <= 92) return Action::article;
    if (roll <= 96) return Action::customer;
    return Action::invoice;
}

int run(Register& reg, double rate, double seconds, const std::string& summary, std::uint64_t seed) {
    StopSignals stop;
    Tally tally;
    std::mt19937_64 random(seed ? seed * 7919 + 17 : std::random_device{}());
    const auto start = std::chrono::steady_clock::now();
    const auto interval = std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(1.0 / rate));
    auto next = start;
    auto last_reload = start;
    std::string last_error;
    while (!stop.stopped()) {
        const auto now = std::chrono::steady_clock::now();
        if (seconds > 0 && now - start >= std::chrono::duration<double>(seconds)) break;
        // Articles and customers the service took in show up in the catalogue.
        if (now - last_reload >= std::chrono::seconds(10)) {
            try {
                reg.reload_catalogue();
            } catch (const std::exception& e) {
                std::fprintf(stderr, "cassasync-register %d: catalogue not reloaded: %s\n", reg.number(), e.what());
            }
            last_reload = now;
        }
        try {
            switch (pick_action(random)) {
                case Action::ring: reg.ring(tally, 0, 0, &stop); break;
                case Action::card: reg.card(tally, &stop); break;
                case Action::article: reg.article(tally, &stop); break;
                case Action::customer: reg.customer(tally, &stop); break;
                case Action::invoice: reg.invoice(tally, &stop); break;
            }
        } catch (const std::exception& e) {
            ++tally.failed;
            if (last_error != e.what()) {
                std::fprintf(stderr, "cassasync-register %d: %s\n", reg.number(), e.what());
                last_error = e.what();
            }
        }
        next += interval;
        const auto after = std::chrono::steady_clock::now();
        if (next < after) next = after;  // behind schedule: carry on, no burst
        auto until = next - after;
        if (seconds > 0) {
            const auto end = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                         std::chrono::duration<double>(seconds));
            if (end - after < until) until = end - after;
        }
        if (stop.wait(std::chrono::duration_cast<std::chrono::milliseconds>(until))) break;
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    print_counts(reg, tally, stdout);
    if (!summary.empty() && !write_summary(reg, tally, elapsed, summary)) {
        std::fprintf(stderr, "cassasync-register %d: cannot write the summary %s\n", reg.number(), summary.c_str());
        return 1;
    }
    return 0;
}

int finish_single(const Register& reg, const Tally& tally, bool done, const char* what) {
    if (!done) {
        std::fprintf(stderr,
                     "cassasync-register %d: %s given up: the register's semaphore stayed taken (Semafori.Flag1 not 0)\n",
                     reg.number(), what);
        return 2;
    }
    print_counts(reg, tally, stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"cassasync-register: a stand-in for a cash register's own software (demos and tests)"};
    app.require_subcommand(1);
    app.fallthrough();
    app.set_version_flag("--version", std::string("cassasync-register ") + CASSASYNC_VERSION);
    Options options;
    options.root = cassasync::core::default_root();
    app.add_option("--root", options.root, "shop root folder (default $CASSASYNC_ROOT or /var/lib/cassasync)");
    auto* number_opt = app.add_option("--register", options.number, "register number, 1 to 10")->check(CLI::Range(1, 10));
    auto* path_opt = app.add_option("--path", options.path, "register database path, e.g. \\\\127.0.0.1\\cassa\\dati.mdb");
    app.add_option("--lock-wait-ms", options.lock_wait_ms,
                   "longest wait for the register's semaphore before an action is given up (default 10000)")
        ->check(CLI::Range(0, 600000));
    app.add_option("--seed", options.seed, "random seed (default: a new one every run)");

    auto* ring = app.add_subcommand("ring", "ring up one receipt");
    int lines = 0;
    bool with_card = false, without_card = false;
    ring->add_option("--lines", lines, "article lines (default 1 to 6)")->check(CLI::Range(1, 200));
    ring->add_flag("--card", with_card, "the customer shows a loyalty card");
    ring->add_flag("--no-card", without_card, "no loyalty card");
    auto* card = app.add_subcommand("card", "record one loyalty-card reading");
    auto* article = app.add_subcommand("article", "create or change a barcode at the register");
    auto* customer = app.add_subcommand("customer", "create or change a customer at the register");
    auto* invoice = app.add_subcommand("invoice", "issue an invoice at the register");
    auto* close = app.add_subcommand("close", "ask the back office to close the register's day");
    auto* run_cmd = app.add_subcommand("run", "a realistic mix of all of the above until stopped");
    double rate = 2;
    double seconds = 0;
    std::string summary;
    run_cmd->add_option("--rate", rate, "actions per second")->required()->check(CLI::Range(0.01, 1000.0));
    run_cmd->add_option("--seconds", seconds, "stop after this many seconds (default: at SIGINT or SIGTERM)")
        ->check(CLI::Range(0.0, 1e7));
    run_cmd->add_option("--summary", summary, "write what was done to this file");

    CLI11_PARSE(app, argc, argv);
    if (!*number_opt && !*path_opt) {
        std::fprintf(stderr, "cassasync-register: give --register N or --path PATH\n");
        return 1;
    }

    try {
        platform::RootPathMap paths(options.root);
        Register reg(options, paths);
        Tally tally;
        if (ring->parsed()) return finish_single(reg, tally, reg.ring(tally, lines, with_card ? 1 : (without_card ? -1 : 0), nullptr), "receipt");
        if (card->parsed()) return finish_single(reg, tally, reg.card(tally, nullptr), "card reading");
        if (article->parsed()) return finish_single(reg, tally, reg.article(tally, nullptr), "barcode change");
        if (customer->parsed()) return finish_single(reg, tally, reg.customer(tally, nullptr), "customer change");
        if (invoice->parsed()) return finish_single(reg, tally, reg.invoice(tally, nullptr), "invoice");
        if (close->parsed()) {
            reg.close_request();
            std::printf("register %d: close request left at \\\\%s%s\n", reg.number(), host_of(reg.path()).c_str(),
                        kCloseRequestFile);
            return 0;
        }
        if (run_cmd->parsed()) return run(reg, rate, seconds, summary, options.seed);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cassasync-register: %s\n", e.what());
        return 1;
    }
    return 0;
}
