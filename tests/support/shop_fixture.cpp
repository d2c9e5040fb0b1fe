#include "support/shop_fixture.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "core/back_office_paths.h"
#include "core/operation_log.h"
#include "frame/register_steps.h"
#include "frame/startup.h"
#include "registers/register_directory.h"
#include "shop/shop_admin.h"
#include "support/log_text.h"

namespace cassasync::testing {

TempDir::TempDir() : TempDir(std::filesystem::temp_directory_path()) {}

TempDir::TempDir(const std::filesystem::path& base) {
    std::string tmpl = (base / "cassasync-test-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("cannot create a temporary folder");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::uint32_t address_of(const std::string& dotted) {
    std::uint32_t out = 0;
    int shift = 0;
    std::size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        auto dot = dotted.find('.', start);
        auto part = dotted.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        out |= (static_cast<std::uint32_t>(std::stoul(part)) & 0xFFu) << shift;
        shift += 8;
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    return out;
}

std::string register_path(int n) { return "\\\\127.0.0." + std::to_string(n) + "\\cassa\\dati.mdb"; }

std::uint32_t FakePinger::echo(std::uint32_t address) {
    ++calls_;
    return up_.count(address) ? platform::kEchoSuccess : platform::kEchoFailed;
}

void FakePinger::set_up(const std::string& dotted, bool answers) {
    if (answers)
        up_.insert(address_of(dotted));
    else
        up_.erase(address_of(dotted));
}

ShopTest::ShopTest()
    : paths_(root_.path()), clock_(platform::LocalTime{2026, 12, 7, 10, 0, 0}) {
    auto st = shop::init_shop(paths_);
    if (!st) throw std::runtime_error(st.message());
    ctx_ = std::make_unique<frame::Context>(paths_, clock_, pinger_, starter_);
}

ShopTest::~ShopTest() {
    if (ctx_) {
        ctx_->databases.close_all();
        ctx_->log.close();
    }
}

void ShopTest::add_register(int n, bool answers) {
    auto st = shop::add_register(paths_, n, register_path(n));
    ASSERT_TRUE(st) << st.message();
    pinger_.set_up("127.0.0." + std::to_string(n), answers);
}

void ShopTest::start(bool expect_complete) {
    auto result = frame::run_startup(*ctx_);
    if (expect_complete) {
        ASSERT_EQ(result.outcome, frame::StartupOutcome::complete) << result.message;
    }
}

void ShopTest::ready() {
    auto& s = ctx_->settings;
    s.Percorso_Societa = "C:\\vurk\\tarvi.mdb";
    s.Cartella_Dati = "C:\\tarvi\\";
    s.Percorso_Dati = "C:\\tarvi\\dati.mdb";
    s.Percorso_Vendite = "C:\\tarvi\\vendite.mdb";
    s.Numero_Casse = static_cast<int>(data::to_int_or(main_db().scalar("SELECT nrpos FROM utenti WHERE codutente=1"), 0));
    s.aaa = "1";
    s.bbb = "0";
    s.escludocaselle = "0";
    s.Punto_Vendita = 1;
    auto st = ctx_->log.open(paths_.to_local(std::string(core::kLogFolder) + core::log_file_name(clock_.now())));
    ASSERT_TRUE(st) << st.message();
    ctx_->databases.open_central(s.Percorso_Dati, s.Percorso_Vendite, core::kLoyaltyPath);
    registers::fill_register_paths(*ctx_, ctx_->databases, ctx_->settings);
    ctx_->Contatore_Cicli = 1;
}

data::Database& ShopTest::db(const std::string& windows_path) {
    for (std::size_t i = 0; i < open_names_.size(); ++i) {
        if (open_names_[i] == windows_path) return *open_[i];
    }
    open_.push_back(std::make_unique<data::Database>(paths_.to_local(windows_path)));
    open_names_.push_back(windows_path);
    return *open_.back();
}

std::vector<std::string> ShopTest::log_lines() const {
    const auto file = paths_.to_local(std::string(core::kLogFolder) + core::log_file_name(clock_.now()));
    return split_lines(read_text_file(file));
}

sales::ImportFigures ShopTest::import_and_close(int n) {
    return import_and_close(n, sales::tuning_from_environment());
}

sales::ImportFigures ShopTest::import_and_close(int n, const sales::ImportTuning& tuning) {
    sales::ImportFigures figures;
    frame::CycleSteps steps = frame::CycleSteps::standard();
    steps.Travaso_Scontrini = [&](frame::Context& ctx, int r) { return figures = sales::Travaso_Scontrini(ctx, r, tuning); };
    frame::run_receipts(*ctx_, n, steps);
    return figures;
}

std::vector<std::string> ShopTest::log_messages() const { return without_stamps(log_lines()); }

std::string read_text_file(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void use_case_sensitive_indexes(data::Database& db, bool loyalty) {
    if (loyalty) {
        db.exec("DROP INDEX movtessere_chiave;"
                "CREATE INDEX movtessere_chiave ON movtessere (tessera, data, numsco, numcassa, tipo)");
        return;
    }
    db.exec("DROP INDEX clienti_tessera; CREATE INDEX clienti_tessera ON clienti (tessera);"
            "DROP INDEX clienti_stat_t; CREATE INDEX clienti_stat_t ON clienti (stat_t);"
            "DROP INDEX cartetx_tessera_cassa;"
            "CREATE UNIQUE INDEX cartetx_tessera_cassa ON cartetx (tessera, cassa);"
            "DROP INDEX keyean; CREATE INDEX keyean ON codean (eanare);"
            "DROP INDEX codean_eanare7; CREATE INDEX codean_eanare7 ON codean (substr(eanare, 1, 7));"
            "DROP INDEX codean_eanare12; CREATE INDEX codean_eanare12 ON codean (substr(eanare, 1, 12));"
            "DROP INDEX codean_desart25; CREATE INDEX codean_desart25 ON codean (trim(substr(desart, 1, 25)));"
            "DROP INDEX codali; CREATE UNIQUE INDEX codali ON aliquote (codali)");
}

std::string query_plan(data::Database& db, const std::string& sql, const std::vector<data::Value>& params) {
    std::string plan;
    data::Statement& st = db.prepare("EXPLAIN QUERY PLAN " + sql, params);
    while (st.step()) plan += (plan.empty() ? "" : "; ") + data::to_text(st.column(3));
    st.reset();
    return plan;
}

std::int64_t insert_row(data::Database& db, const std::string& table, const Row& row) {
    std::string cols, marks;
    std::vector<data::Value> params;
    for (const auto& [name, value] : row) {
        if (!cols.empty()) {
            cols += ",";
            marks += ",";
        }
        cols += "\"" + name + "\"";
        marks += "?";
        params.push_back(value);
    }
    db.execute("INSERT INTO \"" + table + "\" (" + cols + ") VALUES (" + marks + ")", params);
    return db.last_insert_rowid();
}

std::int64_t count_rows(data::Database& db, const std::string& table, const std::string& where,
                        const std::vector<data::Value>& params) {
    std::string sql = "SELECT count(*) FROM \"" + table + "\"";
    if (!where.empty()) sql += " WHERE " + where;
    return data::to_int(db.scalar(sql, params));
}

}  // namespace cassasync::testing
