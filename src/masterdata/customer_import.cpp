#include "masterdata/customer_import.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "data/key_set.h"
#include "data/record_set.h"
#include "data/transfer_engine.h"
#include "data/value_checks.h"
#include "masterdata/register_intake.h"
#include "masterdata/text_fields.h"
#include "registers/reachability.h"
#include "registers/register_directory.h"

namespace cassasync::masterdata {

namespace {

constexpr const char* kLogImporting = "Aggiorno Clienti alla casse";
constexpr const char* kLogCustomerRegister = "Cassa ";
constexpr const char* kLogCustomerName = " Cliente ";

constexpr const char* kReceivedFromRegister = "R";  // central stat_t
constexpr std::size_t kNameLength = 30;          // central dsccliente

const IntakeTable kCustomers{"clienti",
                             "UPDATE clienti SET flagagg='T' WHERE " + data::in_key_set("id"),
                             "clienti"};
constexpr const char* kLogHeldName = "cliente ";
constexpr const char* kNotWhole = " non e' un numero intero: ";

// Register fields copied as they are, empty values included, onto the central row.
constexpr const char* kCopied[] = {"nome",     "sconto",    "sel",       "indirizzo", "cap",
                                   "citta",    "provincia", "codfis",    "piva",      "telefono1",
                                   "telefono2", "fax",      "note",      "stato",     "tessera",
                                   "codLis"};

// The register's customer code, refused (so the customer is held with the cause) when it
// is empty, not a number or past 32 bits: the central row is found by it.
std::int32_t customer_code(const data::RecordSet& reg) {
    static constexpr data::FieldCheck kCode{"codcliente", data::FieldKind::code};
    const data::Value value = reg.field(kCode.name);
    if (auto why = data::refusal(kCode, value)) throw data::RowRefused(*why);
    const double code = data::to_double(value);
    if (code != std::floor(code)) throw data::RowRefused(std::string(kCode.name) + kNotWhole + data::shown(value));
    return static_cast<std::int32_t>(code);
}

}  // namespace

void Aggiorna_Clienti(core::StepContext& ctx, int n) {
    const std::string& entry = ctx.register_entry(n);
    const std::string path = registers::Percorso_Cassa_Int(ctx.databases, ctx.settings, n);
    ctx.log.progress(kLogImporting);
    if (registers::Verifica_Cassa(ctx.pinger, entry)) {
        data::Database& central = ctx.databases.central();
        data::Database& reg = ctx.databases.open(path, data::FileRole::register_share);
        settle_intake(central, reg, n, kCustomers);
        data::Channel data1("Data1");
        data::Channel data2("Data2");
        take_changed_rows(central, reg, n, kCustomers, data1, [&](data::RecordSet& customer) {
            const std::int32_t code = customer_code(customer);
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
        }, hooks_of(ctx, [](const data::RecordSet& customer) { return kLogHeldName + customer.text("codcliente"); }));
    }
}

}  // namespace cassasync::masterdata
