#include "loyalty/card_totals.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "data/record_set.h"
#include "data/text_match.h"
#include "loyalty/card_exchange.h"
#include "registers/reachability.h"
#include "registers/register_directory.h"

namespace cassasync::loyalty {

namespace {

constexpr const char* kCustomers = "clienti";
constexpr const char* kDaInviare = "X";      // central total to send to the registers
constexpr const char* kRicevuto = "R";       // received from a register in this cycle
constexpr const char* kTrattato = "T";       // dealt with
constexpr const char* kDaCancellare = "C";   // customer to remove
constexpr const char* kStatoRinviato = "Stato clienti rinviato al prossimo ciclo: ";

// Central selections; the marks compare without regard to letter case.
const std::string kMarkedToSend = "totcard <> ? AND " + data::same_text("sel");
const std::string kReceived = data::same_text("stat_t");

// The rows of the end-of-cycle pass left for the next cycle, and why the first was.
struct PutOff {
    std::size_t rows = 0;
    std::string first_cause;

    void note(const std::exception& e) {
        if (first_cause.empty()) first_cause = e.what();
    }
    std::string line() const {
        return kStatoRinviato + std::to_string(rows) + (rows == 1 ? " riga: " : " righe: ") + first_cause;
    }
};

// Register writes go in short transactions of this many rows.
constexpr std::size_t kRegisterBatch = 500;

void receive_totals(core::StepContext& ctx, int n) {
    data::Database& central = ctx.databases.central();
    data::Channel clienti2("clienti2");
    auto& central_rows = clienti2.select(central, kCustomers, {}, {}, "rowid", data::Fetch::on_demand);
    if (!registers::Verifica_Cassa(ctx.pinger, card_register_path(ctx, n))) return;

    data::Database& reg = ctx.databases.open(registers::Percorso_Cassa_Int(ctx.databases, ctx.settings, n),
                                             data::FileRole::register_share);
    data::Channel caselle("caselle");
    auto& register_rows = caselle.select(reg, kCustomers, "totcard <> ?", {data::integer(0)}, "id");
    data::Transaction tx(central);
    try {
        for (; !register_rows.eof(); register_rows.move_next()) {
            if (!central_rows.find_first({{"tessera", register_rows.field("tessera"), data::Compare::key}})) continue;
            const data::Value& totcard = register_rows.field("totcard");
            if (data::values_equal(central_rows.field("totcard"), totcard)) continue;  // nothing to write
            central_rows.edit();
            central_rows.set("totcard", totcard);
            central_rows.update();
        }
    } catch (const std::exception&) {
        tx.commit();  // the totals copied before the failure stay copied
        throw;
    }
    tx.commit();
}

void send_totals(core::StepContext& ctx, int n) {
    data::Database& central = ctx.databases.central();
    data::Channel clienti2("clienti2");
    auto& marked = clienti2.select(central, kCustomers, kMarkedToSend, {data::integer(0), data::text(kDaInviare)}, "rowid");
    if (!registers::Verifica_Cassa(ctx.pinger, card_register_path(ctx, n))) return;

    data::Database& reg = ctx.databases.open(registers::Percorso_Cassa_Int(ctx.databases, ctx.settings, n),
                                             data::FileRole::register_share);
    data::Channel caselle("caselle");
    auto& register_rows = caselle.select(reg, kCustomers, {}, {}, "id", data::Fetch::on_demand);
    while (!marked.eof()) {
        // The totals reach the register before their marks are cleared: a failure in
        // between sends the same totals again, which changes nothing.
        std::vector<std::int64_t> sent;
        {
            data::Transaction tx(reg);
            for (; !marked.eof() && sent.size() < kRegisterBatch; marked.move_next()) {
                if (register_rows.find_first({{"tessera", marked.field("tessera"), data::Compare::key}})) {
                    register_rows.edit();
                    register_rows.set("totcard", marked.field("totcard"));
                    register_rows.update();
                }
                sent.push_back(marked.rowid());  // found or not, the mark goes
            }
            tx.commit();
        }
        data::Transaction tx(central);
        for (auto row : sent) {
            central.execute("UPDATE clienti SET sel = ? WHERE rowid = ?", {data::text(""), data::integer(row)});
        }
        tx.commit();
    }
}

}  // namespace

// After a failure totals are copied again in the next cycle.
void Ricevi_Totali_Tessere(core::StepContext& ctx, int n) { receive_totals(ctx, n); }

// After a failure marks not cleared are sent in the next cycle.
void Invia_Totali_Tessere(core::StepContext& ctx, int n) { send_totals(ctx, n); }

void Consolida_Stato_Clienti(core::StepContext& ctx) {
    data::Database& central = ctx.databases.central();
    data::Channel data1("Data1");
    auto& received = data1.select(central, kCustomers, kReceived, {data::text(kRicevuto)}, "rowid");
    if (received.empty()) return;

    // One transaction for the pass; a statement that fails is skipped and the pass goes
    // on (SQLite undoes just that statement). A failure that ends the transaction
    // itself undoes the rows done in it and starts a new one for the rows after it. A
    // transaction that cannot start (another program holds the write lock past the busy
    // timeout) ends the pass: each further row would wait as long again. The rows put off
    // keep their "R" for the next cycle and are counted in one line at the end.
    PutOff put_off;
    std::size_t in_transaction = 0;  // rows done in the transaction under way
    std::optional<data::Transaction> tx;
    for (received.move_first(); !received.eof(); received.move_next()) {
        if (!central.in_transaction()) {
            try {
                tx.emplace(central);
            } catch (const std::exception& e) {
                put_off.note(e);
                for (; !received.eof(); received.move_next()) ++put_off.rows;
                break;
            }
        }
        try {
            if (!received.is_null("stato") && received.text("stato") == kDaCancellare) {
                received.remove();
            } else {
                received.edit();
                received.set("stat_t", data::text(kTrattato));
                received.update();
            }
            ++in_transaction;
        } catch (const std::exception& e) {
            put_off.note(e);
            ++put_off.rows;
            if (!central.in_transaction()) put_off.rows += std::exchange(in_transaction, 0);
        }
    }
    try {
        if (tx && central.in_transaction()) tx->commit();
    } catch (const std::exception& e) {
        put_off.note(e);
        put_off.rows += in_transaction;
    }
    if (put_off.rows > 0) ctx.log.progress(put_off.line());
}

}  // namespace cassasync::loyalty
