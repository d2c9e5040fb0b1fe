#include "sales/receipt_import.h"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/text.h"
#include "core/back_office_paths.h"
#include "core/register_vocabulary.h"
#include "data/held_rows.h"
#include "data/key_set.h"
#include "data/record_set.h"
#include "data/transfer_engine.h"
#include "data/transfer_ledger.h"
#include "loyalty/points_update.h"
#include "platform/clock.h"
#include "registers/reachability.h"
#include "registers/register_directory.h"
#include "sales/numbering.h"
#include "sales/rounding.h"
#include "sales/row_resolution.h"
#include "sales/sale_registration.h"
#include "sales/stock_update.h"

namespace cassasync::sales {

using base::fixed_width;
using base::left_chars;
using base::trim_blanks;
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kMsgLooking = "Controllo se ci sono scontrini da importare dalle casse";
constexpr const char* kMsgNotConnected = "******** Cassa non collegata *******";
constexpr const char* kMsgCheckingRegister = "Controllo Scontrini vendita cassa ";
constexpr const char* kMsgPleaseWait = ". Attendere prego ...";
constexpr const char* kMsgNothingWaiting = "Non ci sono scontrini da recuperare ...";
constexpr const char* kMsgStart = "- Inizio travaso scontrini ";
constexpr const char* kMsgNewDocument = " Recupero dati del ";
constexpr const char* kMsgLineRegister = "Cassa-";
constexpr const char* kMsgLineReceipt = "-Scontrino-";
constexpr const char* kMsgLineBarcode = "-";
constexpr const char* kMsgDoneRegister = "Travaso vendite cassa  ";
constexpr const char* kMsgDoneSuccess = "  terminata con successo.";
constexpr const char* kMsgEnd = "- Fine travaso scontrini ";
constexpr const char* kMsgCutShort = "  sospeso: le altre righe al prossimo ciclo.";
constexpr const char* kMsgHeldReceipt = "scontrino ";
constexpr const char* kStep = "scontrini";

// Waiting lines in receipt date and time order (the row key keeps equal times in the
// order they were rung up), only those already there when the run began, and none this
// run has already held: a held line waits for the next run, and the reading goes past it.
const std::string kWaitingLines = "select * from movimenti WHERE bflag3=? and aggiornogiacenza=? and id <= ? and " +
                                  data::not_in_key_set("id") + " order by bdator, bora, id LIMIT ?";
constexpr const char* kLastLineKey = "select max(id) from movimenti";
const std::string kLineKeyIn = data::in_key_set("id");
const std::string kStillWaiting = "select id from movimenti WHERE bflag3=? and aggiornogiacenza=? and " + kLineKeyIn;
const std::string kLinesByKey = "select * from movimenti WHERE " + kLineKeyIn;
// A line's key and what makes it that line, as the ledger records them.
std::pair<std::int64_t, std::int64_t> line_key_and_identity(const data::RecordSet& row) {
    return {row.integer("id"), ReceiptLine::identity_of(row)};
}
const std::string kWaitingByKey = "select * from movimenti WHERE bflag3=? and aggiornogiacenza=? and " + kLineKeyIn;
const std::string kMarkImported = "UPDATE movimenti SET aggiornogiacenza='S' WHERE " + kLineKeyIn;
constexpr const char* kLedgerTable = "movimenti";

// The register's documents of one day that still wait for registration, latest first.
constexpr const char* kWaitingDayDocuments =
    "anno = ? and agente = ? and dataor >= ? and dataor < ? and (regis IS NULL OR regis <> ?)";
constexpr const char* kLatestFirst = "dataor desc, numero desc";
constexpr const char* kLastRow =
    "select * from venmo Where bannoc = ? and bnumer= ? order by bnumer desc, bns desc LIMIT 1";
constexpr const char* kAwaitingRegistration = "UPDATE vente SET regis = ? WHERE rowid = ?";
constexpr const char* kRegisBlank = " ";
constexpr const char* kStockApplied = "E";

constexpr std::int64_t kLastRowNumber = 32767;  // row numbers are 16-bit

std::int16_t to_int16(double value, const char* what) {
    if (value < std::numeric_limits<std::int16_t>::min() || value > std::numeric_limits<std::int16_t>::max()) {
        throw data::DbError(std::string(what) + " " + std::to_string(value) + " does not fit a 16-bit number");
    }
    return static_cast<std::int16_t>(value);
}

std::int32_t to_int32(std::int64_t value, const char* what) {
    if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max()) {
        throw data::DbError(std::string(what) + " " + std::to_string(value) + " does not fit a 32-bit number");
    }
    return static_cast<std::int32_t>(value);
}

long day_of(double serial) { return static_cast<long>(std::floor(serial)); }

// A document belongs to the year of its day, not to the year the service started in:
// a line of 31 December imported on 2 January is filed under the old year.
int year_of(long day) { return platform::from_serial(static_cast<double>(day)).year; }

// The sales document being filled for the register.
struct Document {
    bool open = false;
    long day = 0;
    int anno = 0;
    std::int16_t numero = 0;
    std::int64_t rows = 0;          // last row number used
    std::int64_t header_rowid = 0;
};

// The waiting lines of one register as the transfer engine walks them: one run.
class ReceiptImport : public data::TransferRows {
public:
    ReceiptImport(core::StepContext& ctx, int n, long today, const std::string& register_path,
                  const ImportTuning& tuning, ImportFigures& figures)
        : ctx_(ctx), n_(n), today_(today), register_path_(register_path), tuning_(tuning),
          figures_(figures), central_(ctx.databases.central()), ledger_(central_) {}

    void run();

    std::size_t read(const std::vector<std::int64_t>& skip, std::size_t limit) override;
    void after_read() override;
    bool at_end() const override { return next_ >= lines_.size(); }
    void next() override { ++next_; }
    std::int64_t key() const override { return line().id; }
    std::int64_t digest() const override { return line().identity; }
    std::string name() const override { return kMsgHeldReceipt + std::to_string(line().bnumer); }
    std::string where() const override {
        return "receipt line " + std::to_string(line().id) + " (receipt " + std::to_string(line().bnumer) + ")";
    }
    std::string refused() const override { return line().refused; }
    void apply() override;
    void forget() override;
    void begin_batch() override;
    void end_batch() override;
    void mark(const std::vector<data::TransferLedger::Entry>& taken) override;
    bool can_check() const override { return true; }
    bool still_as_read(const std::vector<data::TransferLedger::Entry>& taken) override;
    void abandon_batch() override;

private:
    template <typename F>
    decltype(auto) hold_register(F&& f) {
        const auto started = Clock::now();
        decltype(auto) result = f();
        const auto held = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started);
        if (held > figures_.longest_register_hold) figures_.longest_register_hold = held;
        figures_.register_time += held;
        return result;
    }
    const ReceiptLine& line() const { return lines_[next_]; }
    bool continue_document_of(long day);
    void open_document(const ReceiptLine& line);
    void import_line(const ReceiptLine& line, RowResolver& resolver, StockTables& stock, data::RecordSet& venmo);
    void add_engine_figures(const data::TransferFigures& f);
    void log_done();

    core::StepContext& ctx_;
    int n_;
    long today_;
    const std::string& register_path_;
    const ImportTuning& tuning_;
    ImportFigures& figures_;
    data::Database& central_;
    data::Database* reg_ = nullptr;
    std::int64_t last_key_ = 0;
    data::TransferLedger ledger_;
    data::Channel scontrini_{"scontrini"};
    data::Channel vente_{"vente"};
    data::Channel vendite_{"vendite"};
    data::Channel still_waiting_{"trattenute"};
    data::Channel recheck_{"ricontrollo"};
    data::RecordSet* new_headers_ = nullptr;
    data::RecordSet* venmo_ = nullptr;
    std::unique_ptr<StockTables> stock_;
    std::unique_ptr<RowResolver> resolver_;
    data::RecordSet* read_ = nullptr;  // the last read, until after_read() unpacks it
    std::vector<ReceiptLine> lines_;
    std::size_t next_ = 0;
    bool started_ = false;  // a waiting line was read
    Document doc_;
    Document doc_before_;  // as it was before the current line
    Document doc_at_batch_;  // as it was before the batch
    std::vector<std::int64_t> batch_documents_;  // header rowids that received rows
    std::size_t documents_before_ = 0;
};

std::size_t ReceiptImport::read(const std::vector<std::int64_t>& skip, std::size_t limit) {
    // One short read: the register's file is held only while the rows are fetched.
    read_ = &scontrini_.query(*reg_, kWaitingLines,
                              {data::text(core::kLineActive), data::text(core::kLineWaiting), data::Value(last_key_),
                               data::key_set(skip), data::Value(static_cast<std::int64_t>(limit))});
    return read_->size();
}

void ReceiptImport::after_read() {
    auto& rs = *read_;
    lines_.clear();
    lines_.reserve(rs.size());
    for (rs.move_first(); !rs.eof(); rs.move_next()) lines_.push_back(ReceiptLine::from(rs));
    next_ = 0;
    if (!lines_.empty() && !started_) {
        started_ = true;
        ctx_.log.write(kMsgStart + std::to_string(n_));
    }
}

// Lines of a day go on in the register's latest document of that day that still waits
// for registration, when there is one. A line out of order (a register clock set years
// ahead, a line without a date) must not make every later day start a document of its
// own, one per run: each one uses up a number of the year. A registered document is never
// continued: its totals and VAT summary are final, and a late line of its day (a register
// that was off at closing time) opens a document of its own that waits like any other.
bool ReceiptImport::continue_document_of(long day) {
    const int anno = year_of(day);
    data::Channel vente("vente");
    auto& h = vente.select(central_, "vente", kWaitingDayDocuments,
                           {data::Value(std::int64_t{anno}), data::Value(std::int64_t{n_}),
                            data::Value(std::int64_t{day}), data::Value(std::int64_t{day} + 1),
                            data::text(kRegisteredMark)},
                           kLatestFirst);
    h.move_first();
    if (h.eof()) return false;
    doc_.open = true;
    doc_.day = day;
    doc_.anno = anno;
    doc_.numero = to_int16(static_cast<double>(data::to_int_or(h.field("numero"), 0)), "document number");
    doc_.header_rowid = h.rowid();
    doc_.rows = 0;
    data::Channel vendite("vendite");
    auto& last = vendite.query(central_, kLastRow,
                               {data::Value(std::int64_t{anno}), data::Value(std::int64_t{doc_.numero})});
    if (!last.eof()) doc_.rows = data::to_int_or(last.field("bns"), 0);
    return true;
}

void ReceiptImport::open_document(const ReceiptLine& line) {
    doc_.day = day_of(line.bdator);
    doc_.anno = year_of(doc_.day);
    doc_.numero = Prossimo_Numero(central_, ctx_.settings, doc_.anno);
    doc_.rows = 0;
    doc_.open = true;
    auto& h = *new_headers_;
    h.add_new();
    h.set("codutente", data::Value(std::int64_t{ctx_.settings.Codice_Utente}));
    h.set("anno", data::Value(std::int64_t{doc_.anno}));
    h.set("numero", data::Value(std::int64_t{doc_.numero}));
    h.set("dataor", data::Value(line.bdator));
    h.set("cliente", data::Value(std::int64_t{0}));
    h.set("dsccliente", data::text("Vendita Casse"));
    h.set("codsede", data::Value(std::int64_t{0}));
    h.set("dscsede", data::text("desedew"));
    h.set("commesso", data::Value(std::int64_t{0}));
    h.set("annofa", data::Value(std::int64_t{0}));
    h.set("numfa", data::Value(std::int64_t{0}));
    h.set("causa", data::text("Vendita"));
    h.set("spese", data::Value(0.0));
    h.set("bolli", data::Value(0.0));
    h.set("agente", data::Value(std::int64_t{n_}));
    h.set("tipodoc", data::text("VENDITE"));
    h.set("colli", data::Value(std::int64_t{0}));
    h.set("peso", data::Value(0.0));
    h.set("omaggio", data::Value(std::int64_t{0}));
    ctx_.log.progress(kMsgNewDocument + platform::short_date_of_serial(line.bdator));
    h.update();
    doc_.header_rowid = central_.last_insert_rowid();
}

void ReceiptImport::import_line(const ReceiptLine& line, RowResolver& resolver, StockTables& stock,
                                data::RecordSet& venmo) {
    // A new receipt day goes on in that day's document or opens one; a full document is
    // followed by a new one.
    const long day = day_of(line.bdator);
    if ((!doc_.open || day != doc_.day) && !continue_document_of(day)) open_document(line);
    if (doc_.rows >= kLastRowNumber) open_document(line);
    if (batch_documents_.empty() || batch_documents_.back() != doc_.header_rowid) {
        batch_documents_.push_back(doc_.header_rowid);
    }
    ++doc_.rows;

    venmo.add_new();
    stock.begin_line();
    const LineResolution r = resolver.resolve(line);
    resolver.fill(venmo, line, r, doc_.anno, doc_.numero, static_cast<std::int16_t>(doc_.rows));

    const std::string ean = fixed_width(venmo.text("eanrig"), kBarcodeWidth);
    ctx_.log.progress(kMsgLineRegister + std::to_string(n_) + kMsgLineReceipt + std::to_string(line.bnumer) +
                      kMsgLineBarcode + ean);

    const double quantita = venmo.number("quantita");
    const std::int32_t articolo = to_int32(venmo.integer("articoli"), "article code");
    StockMovement movement;
    movement.Articolo_Corrente = articolo;
    movement.Ean_Corrente = ean;
    movement.Segni_Movimento[kSalesEntry] = '+';
    movement.Quantita_Movimento[kSalesEntry] = to_currency(quantita);
    Aggiorna_Giacenza(stock, movement);
    Aggiorna_Ultima_Vendita(stock, articolo, venmo.field("bdator"), quantita);
    stock.end_line();

    venmo.set("bflag1", data::text(kStockApplied));

    if (!data::is_null(line.tessera) &&
        (line.tiporecord == loyalty::kPointsEarned || line.tiporecord == loyalty::kPointsRedeemed)) {
        const std::string card = fixed_width(data::to_text(line.tessera), loyalty::kCardWidth);
        loyalty::Aggiorna_Punti(central_, ctx_.paths, card, static_cast<std::int16_t>(line.tiporecord),
                                to_int16(round_half_even(quantita, 0), "points"), venmo.field("bdator"),
                                venmo.field("ora"), static_cast<std::int16_t>(n_),
                                to_int32(venmo.integer("numsco"), "receipt number"));
    }
    venmo.update();
}

void ReceiptImport::apply() {
    doc_before_ = doc_;
    documents_before_ = batch_documents_.size();
    import_line(line(), *resolver_, *stock_, *venmo_);
}

void ReceiptImport::forget() {
    // What the line left in memory goes with what it wrote.
    doc_ = doc_before_;
    batch_documents_.resize(documents_before_);
    stock_->abandon_line();
    venmo_->cancel_update();
    new_headers_->cancel_update();
}

void ReceiptImport::begin_batch() {
    if (!venmo_) {
        new_headers_ = &vente_.select(central_, "vente", {}, {}, {}, data::Fetch::append);
        stock_ = std::make_unique<StockTables>(central_);
        resolver_ = std::make_unique<RowResolver>(central_, *stock_, ctx_.settings, today_);
        venmo_ = &vendite_.select(central_, "venmo", {}, {}, {}, data::Fetch::append);
    }
    batch_documents_.clear();
    doc_at_batch_ = doc_;
}

void ReceiptImport::abandon_batch() {
    doc_ = doc_at_batch_;
    batch_documents_.clear();
    // The cursors and record sets may hold rows as the undone batch left them: the next
    // batch starts them afresh.
    venmo_ = nullptr;
    new_headers_ = nullptr;
    resolver_.reset();
    stock_.reset();
}

bool ReceiptImport::still_as_read(const std::vector<data::TransferLedger::Entry>& taken) {
    if (taken.empty()) return true;
    std::vector<std::int64_t> keys;
    keys.reserve(taken.size());
    for (const auto& entry : taken) keys.push_back(entry.key);
    auto& rs = recheck_.query(*reg_, kWaitingByKey,
                              {data::text(core::kLineActive), data::text(core::kLineWaiting), data::key_set(keys)});
    return data::TransferLedger::unchanged(taken, rs, line_key_and_identity).size() == taken.size();
}

void ReceiptImport::end_batch() {
    // Every document that received rows waits for registration.
    for (auto rowid : batch_documents_) {
        central_.execute(kAwaitingRegistration, {data::text(kRegisBlank), data::Value(rowid)});
    }
}

void ReceiptImport::mark(const std::vector<data::TransferLedger::Entry>& taken) {
    std::vector<std::int64_t> keys;
    keys.reserve(taken.size());
    for (const auto& entry : taken) keys.push_back(entry.key);
    data::TransferLedger::mark_at_register(*reg_, kMarkImported, keys);
}

void ReceiptImport::log_done() {
    ctx_.log.progress(kMsgDoneRegister + std::to_string(n_) + kMsgDoneSuccess);
    ctx_.log.write(kMsgEnd + std::to_string(n_));
}

void ReceiptImport::run() {
    ctx_.log.progress(kMsgCheckingRegister + std::to_string(n_) + kMsgPleaseWait);
    data::Database& reg = ctx_.databases.open(register_path_, data::FileRole::register_share);
    reg_ = &reg;

    // Lines a crash left committed centrally but unmarked at the register are marked now.
    // A line whose key now names another line (the register's database written anew) is
    // not marked: it is read below and imported.
    figures_.settled += hold_register([&] {
        return ledger_.settle_unchanged(
            reg, n_, kLedgerTable, kMarkImported,
            [&](data::Channel& channel, const data::Value& keys) -> data::RecordSet& {
                return channel.query(reg, kLinesByKey, {keys});
            },
            line_key_and_identity);
    });
    last_key_ = hold_register([&] { return data::to_int_or(reg.scalar(kLastLineKey), 0); });

    data::TransferPlan plan;
    plan.cassa = n_;
    plan.table = kLedgerTable;
    plan.step = kStep;
    plan.batch_rows = tuning_.batch_lines;
    plan.batch_time = tuning_.batch_time;
    plan.on_failure = data::RowFailure::hold;
    core::use_turns(ctx_, plan);
    plan.after_central_commit = tuning_.after_central_commit;
    plan.now = [this] { return platform::date_time_serial(ctx_.clock.now()); };
    plan.log = [this](const std::string& line) { ctx_.log.progress(line); };
    data::TransferEngine engine(central_, std::move(plan));
    engine.forget_vanished([&](const std::vector<std::int64_t>& held) {
        auto& rs = hold_register([&]() -> data::RecordSet& {
            return still_waiting_.query(reg, kStillWaiting,
                                        {data::text(core::kLineActive), data::text(core::kLineWaiting), data::key_set(held)});
        });
        std::vector<std::int64_t> waiting;
        for (rs.move_first(); !rs.eof(); rs.move_next()) waiting.push_back(rs.integer("id"));
        return waiting;
    });
    try {
        engine.run(*this);
    } catch (...) {
        add_engine_figures(engine.figures());
        throw;
    }
    add_engine_figures(engine.figures());
    if (!started_) {
        ctx_.log.progress(kMsgNothingWaiting);
        log_done();
    } else if (figures_.cut_short) {
        ctx_.log.progress(kMsgDoneRegister + std::to_string(n_) + kMsgCutShort);
        ctx_.log.write(kMsgEnd + std::to_string(n_));
    } else {
        log_done();
    }
}

void ReceiptImport::add_engine_figures(const data::TransferFigures& f) {
    figures_.lines += f.rows;
    figures_.batches += f.batches;
    figures_.cut_short = figures_.cut_short || f.cut_short;
    figures_.longest_register_hold = std::max(figures_.longest_register_hold, f.longest_register_hold);
    figures_.register_time += f.register_time;
    figures_.central_commit_time += f.central_commit_time;
}

}  // namespace

ImportFigures Travaso_Scontrini(core::StepContext& ctx, int n, const ImportTuning& requested) {
    ImportFigures figures;
    ImportTuning tuning = requested;
    if (tuning.batch_lines == 0) tuning.batch_lines = 1;
    // Percorso_Fidel: the loyalty journal is reached through the central connection.
    ctx.databases.attach_if_present(data::kLoyaltySchema, core::kLoyaltyPath);
    ctx.databases.attach_if_present(data::kSalesSchema, ctx.settings.Percorso_Vendite);
    const platform::LocalTime now = ctx.clock.now();
    const long today = platform::day_serial(now.year, now.month, now.day);
    figures.day = today;
    ctx.log.progress(kMsgLooking);
    const std::string register_path = registers::Percorso_Cassa_Int(ctx.databases, ctx.settings, n);
    if (!registers::Verifica_Cassa(ctx.pinger, ctx.Percorsi_Casse.at(static_cast<std::size_t>(n)))) {
        ctx.log.progress(kMsgNotConnected);
    } else {
        std::exception_ptr failure;
        try {
            ReceiptImport(ctx, n, today, register_path, tuning, figures).run();
        } catch (const data::DbError&) {
            failure = std::current_exception();
        }
        if (failure) {
            // The next run opens the register's file afresh.
            ctx.databases.forget(register_path);
            try {
                std::rethrow_exception(failure);
            } catch (const data::DbError& e) {
                throw data::DbError("receipt import from register " + std::to_string(n) + " (" + register_path +
                                        "): " + e.what(),
                                    e.code());
            }
        }
    }
    ctx.board.set_held(n, static_cast<int>(data::HeldRows(ctx.databases.central()).count(n)));
    ctx.board.set_status_text("");
    return figures;
}

ImportTuning tuning_from_environment() {
    ImportTuning tuning;
    if (const char* lines = std::getenv(kBatchLinesVariable); lines && std::atoi(lines) > 0) {
        tuning.batch_lines = static_cast<std::size_t>(std::atoi(lines));
    }
    const char* odds = std::getenv(kKillAfterCommitVariable);
    const int one_in = odds ? std::atoi(odds) : 0;
    if (one_in > 0) {
        // The kill soak's way to land a SIGKILL in the one window a wall-clock kill
        // rarely hits. Unset in a shop's service, where the hook stays empty.
        tuning.after_central_commit = [one_in] {
            std::random_device draw;
            if (draw() % static_cast<unsigned>(one_in) == 0) std::raise(SIGKILL);
        };
    }
    return tuning;
}

ImportFigures Travaso_Scontrini(core::StepContext& ctx, int n) { return Travaso_Scontrini(ctx, n, tuning_from_environment()); }

}  // namespace cassasync::sales
