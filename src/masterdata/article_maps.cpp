#include "masterdata/article_maps.h"

#include "masterdata/text_fields.h"

namespace cassasync::masterdata {

namespace {

using data::integer;
using data::kNull;
using data::text;
using data::Value;

constexpr std::size_t kArticleDescription = 50;  // listi01.desart
constexpr std::size_t kTillDescription = 20;     // listi01.descas

// A price times a piece count; an empty factor leaves the product empty.
Value product(const Value& pieces, const Value& price) {
    if (data::is_null(pieces) || data::is_null(price)) return kNull;
    return data::real(data::to_double(pieces) * data::to_double(price));
}

}  // namespace

void fill_new_barcode(data::RecordSet& barcode, const data::RecordSet& reg, std::int32_t code) {
    const Value pieces = integer(1);
    barcode.set("eanare", reg.field("eanare"));
    barcode.set("codare", integer(code));
    barcode.set("colare", kNull);
    barcode.set("tagliare", kNull);
    for (const char* f : {"einv", "eacq", "eres", "even", "egia"}) barcode.set(f, integer(0));
    barcode.set("codlis", kNull);
    barcode.set("desart", reg.field("desart"));
    barcode.set("desfor", kNull);
    barcode.set("flagean", text("S"));
    barcode.set("neti", text("1"));
    barcode.set("codafo", text("."));
    barcode.set("qtaord", integer(0));
    barcode.set("pezzix", pieces);
    barcode.set("prezzo", reg.field("przpub"));
    barcode.set("prezzox", product(pieces, reg.field("przpub")));
    barcode.set("stato", text("R"));
    barcode.set("aggi", text("A"));
    barcode.set("unita", kNull);
    for (const char* f : {"soglia", "omaggio", "puntif", "scoval", "codpro", "mix", "sconto"}) {
        barcode.set(f, text("0"));
    }
}

void update_register_barcode(data::RecordSet& barcode, const data::RecordSet& reg) {
    const Value pieces = barcode.field("pezzix");
    barcode.set("flagean", text("S"));
    barcode.set("prezzo", reg.field("przpub"));
    barcode.set("prezzox", product(pieces, reg.field("przpub")));
    barcode.set("desart", reg.field("desart"));
    barcode.set("stato", text("R"));
}

void fill_new_article(data::RecordSet& a, const data::RecordSet& reg, std::int32_t code,
                      const IntakeDay& day) {
    const Value today = data::real(day.today);
    a.set("codart", integer(code));
    a.set("desart", left_chars(reg.field("desart"), kArticleDescription));
    a.set("umart", text("PZ"));
    a.set("ricart", integer(0));
    a.set("przart", integer(0));
    a.set("przpub", reg.field("przpub"));
    a.set("imbart", integer(1));
    a.set("ivart", reg.field("ivart"));
    a.set("cobart", integer(0));
    for (const char* f : {"sc1art", "sc2art", "sc3art"}) a.set(f, integer(0));
    a.set("cofart", integer(0));
    a.set("cosiva", integer(0));
    a.set("fl1art", text("0"));
    a.set("fl2art", kNull);
    a.set("fl3art", kNull);
    a.set("desfor", kNull);
    a.set("desgru", integer(0));
    a.set("dessot", text("."));
    a.set("data1", kNull);
    a.set("data2", kNull);
    a.set("colli", text("0"));
    a.set("tipges", kNull);
    a.set("tipart", text("1"));
    a.set("annoco", integer(day.year));
    for (const char* f : {"qinv", "qacq", "qres", "qven", "qgia"}) a.set(f, integer(0));
    a.set("datreg", today);
    a.set("colore", text("0"));
    a.set("codafo", kNull);
    a.set("cosmp", integer(0));
    a.set("scopro", kNull);
    a.set("przpro", kNull);
    a.set("scosal", text("0"));
    a.set("przsal", text("0"));
    a.set("valgia", text("0"));
    for (const char* f : {"q1", "sq1", "q2", "sq2"}) a.set(f, text("0"));
    a.set("scomi", text("0"));
    a.set("prztot", kNull);
    a.set("desrep", text("."));
    a.set("descas", left_chars(reg.field("desart"), kTillDescription));
    a.set("codrep", reg.field("codrep"));
    a.set("dultord", kNull);
    a.set("qultord", integer(0));
    a.set("dultven", kNull);
    a.set("qultven", integer(0));
    a.set("dultora", kNull);
    a.set("dultcar", kNull);
    a.set("qultcar", integer(0));
    a.set("scomag", kNull);
    a.set("marg", integer(0));
    a.set("cosoff", kNull);
    a.set("margof", kNull);
    a.set("quaco", integer(1));
    a.set("codgru", integer(1));
    a.set("codfor", kNull);
    a.set("datagg", today);
    a.set("taglia", kNull);
    a.set("codpro", text("0"));
    a.set("numpro", text("0"));
    for (const char* f : {"stapro", "sel", "note"}) a.set(f, text(""));
    a.set("flag_peso", reg.field("tipart"));
    a.set("umquaco", text("PZ"));
    a.set("datasca", kNull);
}

void update_article_price(data::RecordSet& article, const data::RecordSet& reg, const IntakeDay& day) {
    article.set("przpub", reg.field("przpub"));
    article.set("ivart", reg.field("ivart"));
    article.set("codrep", reg.field("codrep"));
    article.set("datagg", data::real(day.today));
}

}  // namespace cassasync::masterdata
