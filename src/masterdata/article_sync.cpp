#include "masterdata/article_sync.h"

#include <cstdint>
#include <limits>
#include <string>

#include "data/key_set.h"
#include "data/record_set.h"
#include "data/transfer_engine.h"
#include "data/value_checks.h"
#include "base/text.h"
#include "masterdata/article_maps.h"
#include "masterdata/loader_launch.h"
#include "masterdata/register_intake.h"
#include "registers/reachability.h"
#include "registers/register_directory.h"

namespace cassasync::masterdata {

namespace {

constexpr const char* kLogChecking = "Controllo se ci sono articoli modificati dalla casse";
constexpr const char* kLogReading = "Leggo ARTICOLI  cassa ";
constexpr const char* kLogNewArticleRegister = "Cassa Nr.";
constexpr const char* kLogNewArticleCode = "Articolo ";

constexpr const char* kCreatedByRegister = "A";  // central aggi: barcode created here

const IntakeTable kBarcodes{"codean",
                            "UPDATE codean SET flagagg='T' WHERE " + data::in_key_set("id"),
                            "articoli"};
constexpr const char* kLogHeldName = "codice ";

// What a barcode the register created must hold before it enters the price list: a sale
// of the article finds its department and VAT code there, so an empty or unreadable one
// would stall the import of every register that sells it.
constexpr data::FieldCheck kRegisterArticle[] = {
    {"codrep", data::FieldKind::code},
    {"ivart", data::FieldKind::code},
    {"przpub", data::FieldKind::amount},
};
constexpr const char* kEmptyBarcode = "eanare vuoto";

bool is_created_by_register(const data::RecordSet& barcode) {
    return !barcode.is_null("aggi") && barcode.text("aggi") == kCreatedByRegister;
}

class ArticleIntake {
public:
    ArticleIntake(core::OperationLog& log, platform::Clock& clock, int n, data::Database& central)
        : log_(log), n_(n), central_(central),
          barcodes_(codean_.select(central, "codean", {}, {}, "rowid", data::Fetch::on_demand)) {
        const auto now = clock.now();
        day_.today = static_cast<double>(platform::day_serial(now.year, now.month, now.day));
        day_.year = now.year;
    }

    bool changed() const { return changed_; }

    void take(data::RecordSet& reg) {
        const std::string ean = reg.text("eanare");
        if (base::trim_blanks(ean).empty()) throw data::RowRefused(kEmptyBarcode);
        barcodes_.find_first({{"eanare", data::text(ean), data::Compare::key}});
        log_.progress(kLogReading + std::to_string(n_) + " " + ean);
        const bool copied = barcodes_.no_match() || is_created_by_register(barcodes_);
        if (copied) {
            if (auto why = data::refusal_of(reg, kRegisterArticle)) throw data::RowRefused(*why);
        }
        if (barcodes_.no_match()) {
            add_article(reg);
        } else if (is_created_by_register(barcodes_)) {
            update_article(reg);
        }
        // A barcode the back office created itself stays as the back office keeps it.
        // Its article's price-list row is left alone too: the register's price,
        // VAT and department do not override the central price list of an article
        // the register did not create.
    }

private:
    // The highest article code plus 1; an empty price list starts at 1, since the
    // rule presupposes at least one article.
    std::int32_t next_article_code() {
        auto& top = listi01_.query(central_, "SELECT max(codart) AS codart FROM listi01");
        if (top.eof() || top.is_null("codart")) return 1;
        const std::int64_t highest = top.integer("codart");
        if (highest >= std::numeric_limits<std::int32_t>::max()) {
            throw data::DbError("register " + std::to_string(n_) + ": no article code left after " +
                                std::to_string(highest) + " in listi01");
        }
        return static_cast<std::int32_t>(highest + 1);
    }

    void add_article(const data::RecordSet& reg) {
        const std::int32_t code = next_article_code();
        auto& article = listi01_.select(central_, "listi01", "codart = ?", {data::integer(code)});
        if (article.eof()) {
            log_.progress(kLogNewArticleRegister + std::to_string(n_) + kLogNewArticleCode +
                              std::to_string(code));
            article.add_new();
            fill_new_article(article, reg, code, day_);
            article.update();
        }
        barcodes_.add_new();
        fill_new_barcode(barcodes_, reg, code);
        barcodes_.update();
        changed_ = true;
    }

    void update_article(const data::RecordSet& reg) {
        changed_ = true;
        barcodes_.edit();
        update_register_barcode(barcodes_, reg);
        barcodes_.update();
        // A barcode without an article code has no price-list row to follow it.
        if (barcodes_.is_null("codare")) return;
        auto& article = listi01_.select(central_, "listi01", "codart = ?", {barcodes_.field("codare")});
        if (article.eof()) return;
        article.edit();
        update_article_price(article, reg, day_);
        article.update();
    }

    core::OperationLog& log_;
    int n_;
    data::Database& central_;
    data::Channel codean_{"codean"};
    data::Channel listi01_{"listi01"};
    data::RecordSet& barcodes_;
    IntakeDay day_;
    bool changed_ = false;
};

}  // namespace

void Aggiorna_Articoli(core::StepContext& ctx, int n) {
    const std::string& entry = ctx.register_entry(n);
    if (!core::switch_off(ctx.settings.aaa)) {
        const std::string path = registers::Percorso_Cassa_Int(ctx.databases, ctx.settings, n);
        data::Database& central = ctx.databases.central();
        ArticleIntake intake(ctx.log, ctx.clock, n, central);
        ctx.log.progress(kLogChecking);
        if (registers::Verifica_Cassa(ctx.pinger, entry)) {
            data::Database& reg = ctx.databases.open(path, data::FileRole::register_share);
            // Rows taken by a run that failed before marking them: that run did not start
            // the loader for them.
            const bool settled = settle_intake(central, reg, n, kBarcodes) > 0;
            data::Channel codean2("codean2");
            try {
                take_changed_rows(central, reg, n, kBarcodes, codean2, [&](data::RecordSet& row) { intake.take(row); },
                                  hooks_of(ctx, [](const data::RecordSet& row) { return kLogHeldName + row.text("eanare"); }));
            } catch (...) {
                // The rows before the failing one are taken: they go out all the same.
                if (settled || intake.changed()) start_qvo(ctx.paths, ctx.starter);
                throw;
            }
            ctx.Casse_Elaborate[static_cast<std::size_t>(n)] = true;
            // Once per run, after the walk: the loader carries the new data out to
            // every register.
            if (settled || intake.changed()) start_qvo(ctx.paths, ctx.starter);
        }
    }
}

}  // namespace cassasync::masterdata
