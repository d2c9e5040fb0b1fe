#include "masterdata/customer_import.h"

#include <cstdint>
#include <limits>
#include <string>

#include "data/record_set.h"
#include "masterdata/register_intake.h"
#include "masterdata/text_fields.h"
#include "registers/reachability.h"
#include "registers/register_directory.h"

namespace cassasync::masterdata {

namespace {

constexpr const char* kLogImporting = "Aggiorno Clienti alla casse";
constexpr const char* kLogCustomerRegister = "Cassa ";
constexpr const char* kLogCustomerName = " Cliente ";

constexpr const char* kChangedAtRegister = "A";  // flagagg: changed at the register
constexpr const char* kReceivedFromRegister = "R";  // central stat_t
constexpr std::size_t kNameLength = 30;          // central dsccliente

const IntakeTable kCustomers{"clienti",
                               "UPDATE clienti SET flagagg='T' WHERE id IN (SELECT value FROM json_each(?))"};

// Register fields copied as they are, empty values included, onto the central row.
constexpr const char* kCopied[] = {"nome",     "sconto",    "sel",       "indirizzo", "cap",
                                   "citta",    "provincia", "codfis",    "piva",      "telefono1",
                                   "telefono2", "fax",      "note",      "stato",     "tessera",
                                   "codLis"};

std::int32_t customer_code(const data::RecordSet& reg, int n) {
    const std::int64_t code = reg.integer("codcliente");
    if (code < std::numeric_limits<std::int32_t>::min() || code > std::numeric_limits<std::int32_t>::max()) {
        throw data::DbError::refused_row("register " + std::to_string(n) + ": customer code " +
                                         std::to_string(code) + " does not fit a 32-bit code");
    }
    return static_cast<std::int32_t>(code);
}

}  // namespace

void Aggiorna_Clienti(core::StepContext& ctx, int n) {
    const std::string& entry = ctx.register_entry(n);
    const std::string path = registers::Percorso_Cassa_Int(ctx, n);
    ctx.log.progress(kLogImporting);
    if (registers::Verifica_Cassa(ctx, entry, n)) {
        data::Database& central = ctx.databases.central();
        data::Database& reg = ctx.databases.open(path, data::FileRole::register_share);
        settle_intake(central, reg, n, kCustomers);
        data::Channel data1("Data1");
        data::Channel data2("Data2");
        auto& changed = data1.select(reg, "clienti", "flagagg = ?", {data::text(kChangedAtRegister)}, "id");
        take_rows(central, reg, n, kCustomers, changed, [&](data::RecordSet& customer) {
            const std::int32_t code = customer_code(customer, n);
            auto& row = data2.select(central, "clienti", "codcliente = ?", {data::integer(code)}, "rowid");
            if (row.eof()) {
                row.add_new();
                row.set("codcliente", data::integer(code));
            } else {
                row.edit();
            }
            ctx.log.progress(kLogCustomerRegister + std::to_string(n) + kLogCustomerName +
                             customer.text("cognome"));
            // The central surname is the back office's own; the register's name goes
            // into the description only.
            row.set("dsccliente", left_chars(customer.field("cognome"), kNameLength));
            for (const char* field : kCopied) row.set(field, customer.field(field));
            row.set("stat_t", data::text(kReceivedFromRegister));
            row.update();
        });
    }
}

}  // namespace cassasync::masterdata
