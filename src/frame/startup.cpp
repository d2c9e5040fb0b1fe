#include "frame/startup.h"

#include "base/text.h"
#include "core/back_office_paths.h"
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <optional>
#include <vector>

#include "data/record_set.h"
#include "data/super_journals.h"
#include "platform/file_system.h"
#include "registers/reachability.h"
#include "registers/register_directory.h"

namespace cassasync::frame {

namespace {

// Log texts, as the service has always written them.
constexpr const char* kAvvioProgramma = "- Avvio programma";
constexpr const char* kCompanyMissingRow = "1 - ERRORE : SOCIETA CON CODICE 1 NON ESISTE ";
constexpr const char* kAproDb = "- Apro DB  ";
constexpr const char* kAttendere = ">>>>> ATTENDERE PREGO...  <<<<<";
constexpr const char* kStaEffettuando = "IL PROGRAMMA STA EFFETTUANDO ";
constexpr const char* kIlControllo = "IL CONTROLLO ";
constexpr const char* kControlloDatabase = "CONTROLLO IL DATABASE TARVI";
constexpr const char* kSecondCheckFailed = " 2 ERRORE : SOCIETA CON CODICE  ";
constexpr const char* kThirdCheckFailed = "3 ERRORE : SOCIETA CON CODICE  ";
constexpr const char* kNonEsiste = " NON ESISTE ";
constexpr const char* kDbNonEsiste = "ERRORE : DB NON ESISTE ";
constexpr const char* kDbOk = "DB OK  ";
constexpr const char* kControlloDbOk = "CONTROLLO DB TARVI OK";
constexpr const char* kControlloCasse = "CONTROLLO COLLEGAMENTO CASSE";
// A super-journal left by a crash, which no journal needs any more, removed.
constexpr const char* kGiornaleOrfanoRimosso = "Giornale di transazione orfano rimosso: ";

// Message-box texts.
constexpr const char* kFileErrorHead = "ERRORE : FILE ";
constexpr const char* kErroreCodiceUtente = "ERRORE CODICE UTENTE";

// File names.
constexpr const char* kCompanyFile = ":\\vurk\\tarvi.mdb";
constexpr const char* kDefaultDataFolder = ":\\tarvi\\";
constexpr const char* kMainFile = "dati.mdb";
constexpr const char* kSalesFile = "vendite.mdb";

// What mends a failed start-up, after the reason itself.
constexpr const char* kMendWithInit =
    "; 'cassasync-shop init --root ROOT' creates the missing shop files, tables and settings rows "
    "without touching existing ones";
constexpr const char* kMendDamaged =
    "; restore a damaged file from a backup, or correct the company record";

// Windows upper-cases a path for display only; the path map still finds the file.
// ASCII only, so that UTF-8 names stay intact.
std::string upper_ascii(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

// A failed check beyond the named ones (a damaged file, a missing table, a company
// `database` value that names no main database). Start-up stops there, as it does
// after a failed company check.
class StartupFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "select * from società where codute = " + Codice_Utente: the row's `database`, or
// nullopt when the company has no row.
std::optional<data::Value> company_database(Context& ctx, data::Channel& var) {
    auto& db = ctx.databases.open(ctx.settings.Percorso_Societa);
    auto& rs = var.select(db, "società", "codute = ?", {data::integer(ctx.settings.Codice_Utente)}, "rowid");
    if (rs.eof()) return std::nullopt;
    return rs.field("database");
}

// The first row of a settings table selected by one value, or nullptr.
data::RecordSet* settings_row(Context& ctx, data::Channel& var, const char* table, const char* where,
                              data::Value key) {
    auto& rs = var.select(ctx.databases.central(), table, where, {std::move(key)}, "rowid");
    return rs.eof() ? nullptr : &rs;
}

// The settings and the register check, once the main database has passed its check.
void load_settings_and_check_registers(Context& ctx, data::Channel& var) {
    auto& s = ctx.settings;
    ctx.databases.open_central(s.Percorso_Dati, s.Percorso_Vendite, core::kLoyaltyPath);
    // Opening the central files has rolled back their hot journals, nothing has written
    // across them yet, and the root's lock keeps every other service away: what a crash
    // left of a commit across the files can be judged now.
    for (const auto& file : data::remove_orphan_super_journals(ctx.databases.paths().to_local(s.Percorso_Dati))) {
        ctx.log.progress(kGiornaleOrfanoRimosso + file.string());
    }
    const data::Value user = data::integer(s.Codice_Utente);

    s.aaa = "0";
    s.bbb = "0";
    if (auto* row = settings_row(ctx, var, "automa", "codice = ?", user)) {
        if (!row->is_null("aaa")) s.aaa = base::leading_number_text(row->text("aaa"));
        if (!row->is_null("bbb")) s.bbb = base::leading_number_text(row->text("bbb"));
    }

    s.Numero_Casse = 0;
    if (auto* row = settings_row(ctx, var, "utenti", "codutente = ?", user)) {
        if (!row->is_null("nrpos")) s.Numero_Casse = static_cast<int>(row->integer("nrpos"));
    }

    s.escludocaselle.clear();
    if (auto* row = settings_row(ctx, var, "automa", "codice = ?", data::integer(1))) {
        if (!row->is_null("escludocaselle")) s.escludocaselle = row->text("escludocaselle");
    }
    ctx.log.progress(kControlloDbOk);

    s.Punto_Vendita = 0;
    if (auto* row = settings_row(ctx, var, "pv", "proprio = ?", data::text("1"))) {
        s.Punto_Vendita = static_cast<int>(data::to_int_or(row->field("codice"), 0));
    }

    ctx.log.progress(kControlloCasse);
    ctx.Contatore_Cicli = 1;
    std::fill(ctx.Casse_Elaborate.begin(), ctx.Casse_Elaborate.end(), false);

    if (s.Numero_Casse > core::kMaxRegisters) {
        // The lamps, the path table and the cycle stop at ten registers.
        ctx.log.progress("ATTENZIONE: configurate " + std::to_string(s.Numero_Casse) + " casse, servite le prime " +
                         std::to_string(core::kMaxRegisters));
    }
    registers::fill_register_paths(ctx, ctx.databases, ctx.settings);
    registers::check_registers_at_startup(ctx);
}

// From the company record to the register check. Returns the outcome; a failed check
// has already been logged.
StartupResult locate_and_check(Context& ctx) {
    auto& s = ctx.settings;
    data::Channel var("var");
    const std::string code = std::to_string(s.Codice_Utente);

    // First company check.
    const std::string company_file =
        s.Percorso_Societa + " (" + ctx.paths.to_local(s.Percorso_Societa).string() + ")";
    const std::string no_company_row = "the company database " + company_file + " has no record with codute " +
                                       code + kMendWithInit;
    auto database = company_database(ctx, var);
    if (!database) {
        ctx.log.write(kCompanyMissingRow + s.Percorso_Societa);
        return {StartupOutcome::no_company, kErroreCodiceUtente, no_company_row};
    }

    // Where the main and sales databases are.
    if (data::is_null(*database)) {
        throw StartupFailure("company record " + code + " in " + s.Percorso_Societa +
                             " has no database path: enter the path of the main database (dati.mdb)");
    }
    const std::string value = data::to_text(*database);
    const auto folder = core::cartella_dati_of(value);
    if (!folder) {
        throw StartupFailure("company record " + code + " in " + s.Percorso_Societa + ": the database path '" +
                             value + "' names no dati.mdb file");
    }
    s.Cartella_Dati = folder->empty() ? std::string(1, s.Lettera_Unita) + kDefaultDataFolder : *folder;
    s.Percorso_Dati = s.Cartella_Dati + kMainFile;
    s.Percorso_Vendite = s.Cartella_Dati + kSalesFile;

    ctx.log.write(kAproDb + s.Percorso_Dati);
    ctx.log.write(kAproDb + s.Percorso_Vendite);
    ctx.log.progress(kAttendere);
    ctx.log.progress(kStaEffettuando);
    ctx.log.progress(kIlControllo);
    ctx.log.progress(kControlloDatabase);

    // Second and third company checks.
    if (!company_database(ctx, var)) {
        ctx.log.progress(kSecondCheckFailed + code + kNonEsiste + s.Percorso_Societa);
        return {StartupOutcome::company_checks, {}, no_company_row};
    }
    ctx.log.write(kAproDb + s.Percorso_Societa);
    database = company_database(ctx, var);
    if (!database) {
        ctx.log.progress(kThirdCheckFailed + code + kNonEsiste + s.Percorso_Societa);
        return {StartupOutcome::company_checks, {}, no_company_row};
    }
    s.Percorso_Dati = upper_ascii(data::to_text(*database));

    // The main database.
    if (!platform::file_exists(ctx.paths.to_local(s.Percorso_Dati))) {
        ctx.log.progress(kDbNonEsiste);
        return {StartupOutcome::company_checks, {},
                "the main database " + s.Percorso_Dati + " named by the company record (società.database in " +
                    company_file + ") is not at " + ctx.paths.to_local(s.Percorso_Dati).string() +
                    ": restore it there, or correct the record"};
    }
    ctx.log.progress(kDbOk);

    load_settings_and_check_registers(ctx, var);
    return {StartupOutcome::complete, {}, {}};
}

}  // namespace

StartupResult run_startup(Context& ctx, char current_drive) {
    auto& s = ctx.settings;
    ctx.Contatore_Cicli = 0;

    const auto today = ctx.clock.now();
    const std::string log_name = std::string(core::kLogFolder) + core::log_file_name(today);
    const auto log_file = ctx.paths.to_local(log_name);
    core::delete_last_months_logs(log_file.parent_path(), today);

    if (Status st = ctx.log.open(log_file); !st) {
        return {StartupOutcome::log_unavailable,
                "cannot open the operation log " + log_name + ": " + st.message() +
                    " (the log folder must exist and be writable)",
                {}};
    }

    s.Codice_Utente = 1;
    s.Lettera_Unita = static_cast<char>(std::toupper(static_cast<unsigned char>(current_drive)));
    ctx.log.write(kAvvioProgramma);

    s.Percorso_Societa = std::string(1, s.Lettera_Unita) + kCompanyFile;
    if (!platform::file_exists(ctx.paths.to_local(s.Percorso_Societa))) {
        // Nothing more is logged and the register count is left blank.
        return {StartupOutcome::no_company, kFileErrorHead + s.Percorso_Societa + kNonEsiste,
                "the company database " + s.Percorso_Societa + " is not at " +
                    ctx.paths.to_local(s.Percorso_Societa).string() +
                    ": give the --root and --drive the shop lives under" + kMendWithInit};
    }

    StartupResult result;
    try {
        result = locate_and_check(ctx);
    } catch (const std::exception& e) {
        ctx.log.progress(e.what());
        result = {s.Percorso_Dati.empty() ? StartupOutcome::no_company : StartupOutcome::company_checks, {},
                  e.what() + std::string(kMendDamaged) + kMendWithInit};
    }
    if (result.outcome != StartupOutcome::complete) {
        s.Numero_Casse = 0;
        ctx.Contatore_Cicli = 0;
    }
    ctx.board.set_register_count(s.Numero_Casse);
    return result;
}

}  // namespace cassasync::frame
