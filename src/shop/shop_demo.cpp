// The demo shop: a catalogue, departments, customers with loyalty cards and three
// registers on loopback addresses, built with the same code the administration program
// uses, so that the service, the register stand-in and the benchmarks have a shop to
// work on.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "data/database.h"
#include "platform/clock.h"
#include "shop/shop_admin.h"

namespace cassasync::shop {

namespace {

using data::Value;

struct Department {
    int code;
    const char* name;
    int vat;
    const char* fmarg;  // "S": unlisted articles costed below the price by `marg`
    double marg;
};
constexpr Department kDepartments[] = {
    {1, "ALIMENTARI", 10, nullptr, 0},
    {2, "DROGHERIA", 22, nullptr, 0},
    {3, "ORTOFRUTTA", 4, nullptr, 0},
    {4, "GASTRONOMIA", 10, "S", 30},
};

// The first articles show the cases the sales import treats specially.
constexpr std::int64_t kMultipackArticle = 1;  // a unit barcode and a carton of six
constexpr std::int64_t kWeightArticle = 2;     // barcode carrying the price in its last digits
constexpr std::int64_t kOfferArticle = 3;      // offer cost valid around today
constexpr std::int64_t kLooseArticle = 4;      // colore 5: quantity from the amount
constexpr const char* kWeightBarcode = "2123456000008";
constexpr int kMultipackPieces = 6;

constexpr int kCustomers = 50;
// Registers get a copy of the catalogue's barcodes up to this many articles, enough for
// the register stand-in to ring up; a benchmark catalogue of a million articles would
// otherwise be copied three times for nothing.
constexpr std::int64_t kRegisterCatalogueLimit = 20000;

const char* const kRegisterPaths[] = {
    "\\\\127.0.0.1\\cassa\\dati.mdb",
    "\\\\127.0.0.2\\cassa\\dati.mdb",
    "\\\\127.0.0.3\\cassa\\dati.mdb",
};

const char* const kSurnames[] = {"ROSSI", "BIANCHI", "RUSSO", "FERRARI", "ESPOSITO",
                                 "ROMANO", "COLOMBO", "RICCI", "MARINO", "GRECO"};
const char* const kNames[] = {"MARIO", "GIULIA", "LUCA", "FRANCESCA", "MARCO",
                              "CHIARA", "ANDREA", "SARA", "PAOLO", "ELENA"};

// A 13-digit code from its first twelve digits and the EAN check digit.
std::string ean13(std::int64_t first_twelve) {
    std::string digits = std::to_string(first_twelve);
    digits.insert(0, 12 - std::min<std::size_t>(12, digits.size()), '0');
    int sum = 0;
    for (std::size_t i = 0; i < 12; ++i) sum += (digits[i] - '0') * (i % 2 == 0 ? 1 : 3);
    return digits + static_cast<char>('0' + (10 - sum % 10) % 10);
}

constexpr std::int64_t kArticleBarcodeBase = 800000000000;    // "80" + article code
constexpr std::int64_t kCartonBarcodeBase = 809000000000;     // "809" + article code
constexpr std::int64_t kCardBase = 980000000000;              // loyalty cards "98..."

double round2(double v) { return std::round(v * 100.0) / 100.0; }

struct Barcode {
    std::string eanare;
    int pezzix;              // pieces one unit rung up stands for
    const char* primasecon;
};

struct Article {
    std::int64_t code;
    std::string desart;
    const char* umart;
    double przpub;
    double cofart;
    const Department* department;
    int colore = 0;
    double cosoff = 0;
    bool offer = false;
    std::vector<Barcode> barcodes;
};

Article article(std::int64_t code) {
    Article a;
    a.code = code;
    a.umart = "PZ";
    a.department = &kDepartments[static_cast<std::size_t>(code % 3)];
    a.przpub = round2(0.49 + static_cast<double>((code * 37) % 1000) / 100.0);
    a.desart = "ARTICOLO DEMO " + std::to_string(code);
    switch (code) {
        case kMultipackArticle:
            a.desart = "ACQUA NATURALE 1,5L";
            a.przpub = 0.39;
            a.department = &kDepartments[0];
            break;
        case kWeightArticle:
            a.desart = "PROSCIUTTO COTTO AL TAGLIO";
            a.umart = "KG";
            a.przpub = 10.00;
            a.department = &kDepartments[3];
            break;
        case kOfferArticle:
            a.desart = "OLIO EXTRAVERGINE 1L";
            a.przpub = 7.90;
            a.department = &kDepartments[0];
            a.offer = true;
            break;
        case kLooseArticle:
            a.desart = "MELE GOLDEN SFUSE";
            a.umart = "KG";
            a.przpub = 2.99;
            a.department = &kDepartments[2];
            a.colore = 5;
            break;
        default:
            break;
    }
    a.cofart = round2(a.przpub * 0.55);
    if (a.offer) a.cosoff = round2(a.cofart * 0.8);
    if (code == kWeightArticle) {
        a.barcodes.push_back({kWeightBarcode, 1, "P"});
    } else {
        a.barcodes.push_back({ean13(kArticleBarcodeBase + code), 1, "P"});
    }
    if (code == kMultipackArticle) {
        a.barcodes.push_back({ean13(kCartonBarcodeBase + code), kMultipackPieces, "S"});
    }
    return a;
}

Value opt_text(const char* s) { return s ? Value(std::string(s)) : Value(); }

void insert_departments(data::Database& main) {
    for (const auto& d : kDepartments) {
        main.execute("INSERT INTO reparti (reparto, descrizione, iva, fmarg, marg) VALUES (?,?,?,?,?)",
                     {data::integer(d.code), data::text(d.name), data::integer(d.vat), opt_text(d.fmarg),
                      data::real(d.marg)});
    }
}

void insert_catalogue(data::Database& main, std::int64_t articles, const platform::LocalTime& today) {
    const double today_serial = static_cast<double>(platform::day_serial(today.year, today.month, today.day));
    const std::string listi01 =
        "INSERT INTO listi01 (codart, desart, umart, przpub, imbart, ivart, cofart, cosmp, fl1art, desfor, desgru, "
        "dessot, tipart, annoco, qgia, datreg, colore, codafo, cosoff, data1, data2, numpro, desrep, descas, codrep, "
        "quaco, codgru, codfor, datagg, stapro, sel, note, flag_peso, umquaco) "
        "VALUES (?,?,?,?,1,?,?,?,'0','FORNITORE DEMO','GRUPPO DEMO','.','1',?,?,?,?,'F001',?,?,?,?,?,?,?,1,1,1,?,'','',"
        "'',?,?)";
    const std::string codean =
        "INSERT INTO codean (eanare, codare, desart, flagean, neti, codafo, pezzix, prezzo, prezzox, stato, unita, "
        "soglia, omaggio, puntif, scoval, codpro, mix, sconto, primasecon) "
        "VALUES (?,?,?,'S','1','F001',?,?,?,'',?,'0','0','0','0','0','0','0',?)";
    for (std::int64_t code = 1; code <= articles; ++code) {
        const Article a = article(code);
        const Department& d = *a.department;
        main.execute(listi01,
                     {data::integer(a.code), data::text(a.desart), data::text(a.umart), data::real(a.przpub),
                      data::integer(d.vat), data::real(a.cofart), data::real(a.cofart), data::integer(today.year),
                      data::real(static_cast<double>(50 + code % 100)), data::real(today_serial),
                      data::integer(a.colore), a.offer ? data::real(a.cosoff) : Value(),
                      a.offer ? data::real(today_serial - 7) : Value(), a.offer ? data::real(today_serial + 7) : Value(),
                      data::integer(a.offer ? 1 : 0), data::text(d.name), data::text(a.desart.substr(0, 20)),
                      data::integer(d.code), data::real(today_serial), data::text(a.colore == 5 ? "S" : "N"),
                      data::text(a.umart)});
        for (const auto& b : a.barcodes) {
            main.execute(codean, {data::text(b.eanare), data::integer(a.code),
                                  data::text(b.pezzix > 1 ? a.desart + " X" + std::to_string(b.pezzix) : a.desart),
                                  data::integer(b.pezzix), data::real(a.przpub), data::real(round2(a.przpub * b.pezzix)),
                                  data::text(a.umart), data::text(b.primasecon)});
        }
    }
    // The opening stock is an inventory quantity: a sale recomputes qgia from qinv,
    // qacq, qres and qven, so a stock held only in qgia would turn negative.
    main.execute("UPDATE listi01 SET qinv = qgia, valgia = qgia * cofart");
}

struct Customer {
    std::int64_t code;
    std::string cognome, nome, tessera;
    std::int64_t punticum, puntisca;
};

Customer customer(std::int64_t code) {
    const auto i = static_cast<std::size_t>(code - 1);
    Customer c{code, kSurnames[i % 10], kNames[(i / 10 + i) % 10], ean13(kCardBase + code), 0, 0};
    c.punticum = (code * 53) % 500;
    c.puntisca = c.punticum / 5;
    return c;
}

void insert_customers(data::Database& main) {
    for (std::int64_t code = 1; code <= kCustomers; ++code) {
        const Customer c = customer(code);
        main.execute(
            "INSERT INTO clienti (codcliente, cognome, nome, dsccliente, indirizzo, cap, citta, provincia, stato, "
            "tessera, fprivacy, punticum, puntisca, puntisal) VALUES (?,?,?,?,?,'00100','ROMA','RM','A',?,'S',?,?,?)",
            {data::integer(c.code), data::text(c.cognome), data::text(c.nome), data::text(c.cognome + " " + c.nome),
             data::text("VIA ROMA " + std::to_string(code)), data::text(c.tessera), data::integer(c.punticum),
             data::integer(c.puntisca), data::integer(c.punticum - c.puntisca)});
    }
}

// A register's own copy of the barcodes and of the customers, all taken ("T").
void fill_register(const platform::PathMap& paths, const std::string& path, std::int64_t articles) {
    data::Database reg(paths.to_local(path));
    data::Transaction tx(reg);
    const std::int64_t copied = std::min(articles, kRegisterCatalogueLimit);
    for (std::int64_t code = 1; code <= copied; ++code) {
        const Article a = article(code);
        for (const auto& b : a.barcodes) {
            reg.execute(
                "INSERT INTO codean (eanare, codare, desart, przpub, ivart, codrep, tipart, flagagg) "
                "VALUES (?,?,?,?,?,?,'1','T')",
                {data::text(b.eanare), data::integer(a.code), data::text(a.desart), data::real(round2(a.przpub * b.pezzix)),
                 data::integer(a.department->vat), data::integer(a.department->code)});
        }
    }
    for (std::int64_t code = 1; code <= kCustomers; ++code) {
        const Customer c = customer(code);
        reg.execute(
            "INSERT INTO clienti (codcliente, cognome, nome, indirizzo, cap, citta, provincia, stato, tessera, "
            "flagagg) VALUES (?,?,?,?,'00100','ROMA','RM','A',?,'T')",
            {data::integer(c.code), data::text(c.cognome), data::text(c.nome),
             data::text("VIA ROMA " + std::to_string(code)), data::text(c.tessera)});
    }
    tx.commit();
}

}  // namespace

Status build_demo_shop(const platform::PathMap& paths, int articles) {
    if (articles < 1) return Status::error("the demo catalogue needs at least one article");
    if (Status st = init_shop(paths); !st) return st;
    try {
        const platform::LocalTime today = platform::SystemClock().now();
        data::Database main(paths.to_local(kDefaultMainPath));
        if (data::to_int(main.scalar("SELECT count(*) FROM listi01")) > 0) {
            return Status::error("the shop under " + paths.to_local(kDefaultMainPath).parent_path().string() +
                                 " already has a catalogue: build the demo in an empty folder");
        }
        {
            // One transaction for the whole catalogue: a million articles stay feasible.
            data::Transaction tx(main);
            insert_departments(main);
            insert_catalogue(main, articles, today);
            insert_customers(main);
            tx.commit();
        }
        for (int n = 1; n <= 3; ++n) {
            const std::string path = kRegisterPaths[n - 1];
            if (Status st = add_register(paths, n, path); !st) return st;
            fill_register(paths, path, articles);
        }
        return Status::ok();
    } catch (const std::exception& e) {
        return Status::error(std::string("cannot build the demo shop: ") + e.what());
    }
}

}  // namespace cassasync::shop
