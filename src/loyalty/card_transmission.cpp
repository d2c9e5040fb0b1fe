#include "loyalty/card_transmission.h"

#include <chrono>
#include <cstdint>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "core/register_vocabulary.h"
#include "data/record_set.h"
#include "data/text_match.h"
#include "loyalty/card_exchange.h"
#include "platform/clock.h"
#include "registers/reachability.h"

namespace cassasync::loyalty {

namespace {

constexpr const char* kControllo = "CONTROLLO SE CI SONO TESSERE DA TRASMETTERE ALLA CASSA";
constexpr const char* kNessunaTessera = "NON CI SONO TESSERE DA TRASMETTERE";
constexpr const char* kInizio = "INIZIO TRASMISSIONE ALLA CASSA";
constexpr const char* kAggiorno = "Aggiorno TESSERA ";
constexpr const char* kCassaNr = " cassa Nr. ";
constexpr const char* kTessera = "TESSERA ";
constexpr const char* kOltreLimite = ": numero progressivo oltre 32767, tessera non trasmessa";

// Only the last record's number is needed of "SELECT * FROM tessere order by [progressivo]".
constexpr const char* kLastProgressivo = "SELECT progressivo FROM tessere ORDER BY progressivo DESC LIMIT 1";
const std::string kRecordPresent = "SELECT 1 FROM tessere WHERE progressivo = ? AND " +
                                   data::same_text("tessera", data::FileRole::register_share) + " LIMIT 1";
const std::string kHolder = data::same_text("tessera");

// Card sequence numbers are 16-bit at the register.
constexpr std::int64_t kMaxProgressivo = core::kMaxSequence;
constexpr std::size_t kTesseraLength = core::kCardNumberLength;

constexpr std::size_t kBatchCards = 1000;
constexpr auto kBatchTime = std::chrono::seconds(2);

struct Field {
    const char* name;
    data::Value value;
};

// One card going to the register.
struct Send {
    std::int64_t queue_row = 0;
    std::int64_t progressivo = 0;
    std::vector<Field> record;
    std::string line;
};

// The queue rows of one batch: cards to send, rows to drop without sending, and
// whether the batch stopped at the sequence number limit.
struct Batch {
    std::vector<Send> sends;
    std::vector<std::int64_t> drops;
    std::string overflow_line;
};

// First `count` characters of a text field; a null stays null.
data::Value left(const data::RecordSet& rs, const char* field, std::size_t count) {
    if (rs.is_null(field)) return data::kNull;
    return data::text(mid_characters(rs.text(field), 1, count));
}

// `sel` at the register: "N" for a blank privacy consent, the consent otherwise.
data::Value sel_of(const data::RecordSet& holder) {
    if (holder.is_null("fprivacy")) return data::kNull;
    const std::string consent = holder.text("fprivacy");
    if (consent.find_first_not_of(' ') == std::string::npos) return data::text("N");
    return data::text(consent);
}

// The register `tessere` record of a central card holder.
std::vector<Field> record_of(const data::RecordSet& c, std::int64_t progressivo, double now) {
    const bool attivo = !c.is_null("stato") && c.text("stato") == "A";
    return {
        {"progressivo", data::integer(progressivo)},
        {"flag", data::text("1")},
        {"bdat_scr", data::real(now)},
        {"azione", data::text(attivo ? "I" : "C")},
        {"codcliente", c.field("codcliente")},
        {"cognome", left(c, "dsccliente", 30)},
        {"nome", left(c, "nome", 30)},
        {"sconto", c.field("sconto")},
        {"sel", sel_of(c)},
        {"indirizzo", left(c, "indirizzo", 45)},
        {"cap", c.field("cap")},
        {"citta", left(c, "citta", 20)},
        {"provincia", left(c, "provincia", 2)},
        {"codfis", c.field("codfis")},
        {"piva", c.field("piva")},
        {"telefono1", left(c, "telefono1", 16)},
        {"telefono2", left(c, "telefono2", 16)},
        {"fax", left(c, "fax", 25)},
        {"email", data::text("")},
        {"stato", c.field("stato")},
        {"tessera", left(c, "tessera", kTesseraLength)},
        {"puntiaccum", c.field("puntisal")},
        {"puntiutil", data::integer(0)},
        {"punticalc", data::integer(0)},
        {"puntisal", c.field("puntisal")},
        {"codLis", c.field("codlis")},
    };
}

class CardSender {
public:
    CardSender(core::OperationLog& log, platform::Clock& clock, int n, data::Database& central, data::Database& reg)
        : log_(log), clock_(clock), n_(n), central_(central), reg_(reg) {}

    // Sends the register's queue; false when it stopped at the sequence number limit.
    bool send_queue(data::RecordSet& queue, std::int64_t last) {
        last_ = last;
        records_ = &caselle_.select(reg_, "tessere", {}, {}, {}, data::Fetch::on_demand);
        while (!queue.eof()) {
            Batch batch = plan(queue);
            note(batch);
            write(batch);
            drop(batch);
            if (!batch.overflow_line.empty()) {
                log_.progress(batch.overflow_line);
                return false;
            }
        }
        return true;
    }

private:
    // Decides what each queue row of the batch needs, reading only.
    Batch plan(data::RecordSet& queue) {
        Batch batch;
        std::int64_t last = last_;
        const auto started = std::chrono::steady_clock::now();
        for (; !queue.eof() && batch.sends.size() < kBatchCards &&
               std::chrono::steady_clock::now() - started < kBatchTime;
             queue.move_next()) {
            const data::Value tessera = queue.field("tessera");
            data::RecordSet* found = nullptr;
            if (!data::find_key(tessera, [&](const data::Value& form) {
                    found = &data1_.select(central_, "clienti", kHolder, {form}, "rowid");
                    return !found->eof();
                })) {
                continue;  // no holder yet: the card stays queued
            }
            auto& holder = *found;
            if (holder.is_null("codcliente") || already_sent(queue)) {
                batch.drops.push_back(queue.rowid());
                continue;
            }
            if (last >= kMaxProgressivo) {
                batch.overflow_line = std::string(kTessera) + data::to_text(tessera) + kCassaNr +
                                      std::to_string(n_) + kOltreLimite;
                break;
            }
            Send send;
            send.queue_row = queue.rowid();
            send.progressivo = ++last;
            send.record = record_of(holder, send.progressivo, platform::date_time_serial(clock_.now()));
            send.line = std::string(kAggiorno) + holder.text("tessera") + kCassaNr + std::to_string(n_) + " " +
                        log_number(holder.field("puntisal"));
            batch.sends.push_back(std::move(send));
        }
        return batch;
    }

    // A row whose send was cut short: done when the register holds its record.
    bool already_sent(const data::RecordSet& queue) {
        if (queue.is_null("progressivo_inviato")) return false;
        const data::Value tessera = data::text(mid_characters(queue.text("tessera"), 1, kTesseraLength));
        return data::find_key(tessera, [&](const data::Value& form) {
            return !data::is_null(reg_.scalar(kRecordPresent, {queue.field("progressivo_inviato"), form}));
        });
    }

    // First commit: each card's sequence number noted on its queue row, so that a
    // crash before the queue row goes cannot send the card a second time.
    void note(const Batch& batch) {
        if (batch.sends.empty()) return;
        data::Transaction tx(central_);
        for (const auto& s : batch.sends) {
            central_.execute("UPDATE cartetx SET progressivo_inviato = ? WHERE rowid = ?",
                             {data::integer(s.progressivo), data::integer(s.queue_row)});
        }
        tx.commit();
    }

    // Second commit: the records in one short register transaction.
    void write(const Batch& batch) {
        if (batch.sends.empty()) return;
        {
            data::Transaction tx(reg_);
            for (const auto& s : batch.sends) {
                records_->add_new();
                for (const auto& f : s.record) records_->set(f.name, f.value);
                records_->update();
            }
            tx.commit();
        }
        last_ = batch.sends.back().progressivo;
        for (const auto& s : batch.sends) log_.progress(s.line);
    }

    // Third commit: the queue rows sent or not to be sent.
    void drop(const Batch& batch) {
        if (batch.sends.empty() && batch.drops.empty()) return;
        data::Transaction tx(central_);
        for (const auto& s : batch.sends) {
            central_.execute("DELETE FROM cartetx WHERE rowid = ?", {data::integer(s.queue_row)});
        }
        for (auto row : batch.drops) central_.execute("DELETE FROM cartetx WHERE rowid = ?", {data::integer(row)});
        tx.commit();
    }

    core::OperationLog& log_;
    platform::Clock& clock_;
    int n_;
    data::Database& central_;
    data::Database& reg_;
    data::Channel data1_{"Data1"}, caselle_{"caselle"};
    data::RecordSet* records_ = nullptr;
    std::int64_t last_ = 0;
};

void transmit(core::StepContext& ctx, int n) {
    ctx.log.progress(kControllo);
    const std::string path = card_register_path(ctx, n);
    if (!registers::Verifica_Cassa(ctx.pinger, path)) return;
    data::Database& reg = ctx.databases.open(path, data::FileRole::register_share);
    data::Database& central = ctx.databases.central();

    const std::int64_t last = data::to_int_or(reg.scalar(kLastProgressivo), 0);
    data::Channel carte_tx("carteTX");
    auto& queue = carte_tx.select(central, "cartetx", "cassa = ?", {data::integer(n)}, "rowid");
    if (queue.empty()) {
        ctx.log.progress(kNessunaTessera);
        mark_register_done(ctx, n);
        return;
    }
    ctx.log.progress(kInizio);
    CardSender sender(ctx.log, ctx.clock, n, central, reg);
    if (sender.send_queue(queue, last)) mark_register_done(ctx, n);
}

}  // namespace

void Trasmetti_Tessere(core::StepContext& ctx, int n) {
    // After a failure what is still queued goes in a later cycle.
    if (card_exchange_on(ctx.settings)) transmit(ctx, n);
    // The window runs on its own thread: there is no message loop to yield to.
}

}  // namespace cassasync::loyalty
