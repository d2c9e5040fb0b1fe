#include "masterdata/customer_import.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "frame/register_steps.h"
#include "support/shop_fixture.h"

namespace cassasync::masterdata {
namespace {

using data::Value;

Value txt(const std::string& s) { return Value(s); }
Value num(std::int64_t v) { return Value(v); }

class CustomerImportTest : public testing::ShopTest {
protected:
    void SetUp() override {
        add_register(1);
        ready();
    }
    Value central(std::int64_t code, const std::string& field) {
        return main_db().scalar("SELECT " + field + " FROM clienti WHERE codcliente = ?", {num(code)});
    }
    std::int64_t register_marked(const std::string& flag) {
        return testing::count_rows(register_db(1), "clienti", "flagagg = ?", {txt(flag)});
    }
    std::int64_t ledger_entries() {
        return testing::count_rows(main_db(), "registro_trasferimenti", "cassa = 1 AND tabella = 'clienti'");
    }
    // The customer import as the cycle runs it (articles off): followed by the invoice
    // recovery and the receipt import.
    void import_and_hand_over() {
        ctx_->settings.aaa = "0";
        ctx_->settings.bbb = "0";
        frame::run_intake(*ctx_, 1, frame::CycleSteps::standard());
    }
};

TEST_F(CustomerImportTest, NewAndKnownCustomersAreTakenByTheMap) {
    main_db().execute(
        "INSERT INTO clienti (codcliente, cognome, dsccliente, nome, telefono1, note, sconto, punticum, totcard, "
        "stat_t, email) VALUES (7, 'Rossi', 'Vecchio', 'Mario', '0612345', 'nota', 3, 50, 12.5, NULL, 'm@x.it')");
    const std::string long_name = "Della Rovere Montefeltro di Urbino e Gub";  // 40 characters
    ASSERT_EQ(long_name.size(), 40u);
    // Known customer 7: empty values at the register overwrite the central ones.
    register_db(1).execute(
        "INSERT INTO clienti (codcliente, cognome, nome, sconto, sel, indirizzo, cap, citta, provincia, codfis, "
        "piva, telefono1, telefono2, fax, note, stato, tessera, codLis, totcard, flagagg) "
        "VALUES (7, ?, NULL, 5, 'X', 'Via Roma 1', '00100', 'Roma', 'RM', 'RSSMRA', '0123', NULL, '333', '', "
        "NULL, 'S', 'T7', 2, 99, 'A')",
        {txt(long_name)});
    register_db(1).execute(
        "INSERT INTO clienti (codcliente, cognome, nome, tessera, flagagg) VALUES (8, 'D''Amico', 'Anna', 'T8', 'A')");
    register_db(1).execute("INSERT INTO clienti (codcliente, cognome, flagagg) VALUES (9, 'Preso', 'T')");

    import_and_hand_over();

    auto log = log_messages();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + 4),
              (std::vector<std::string>{"-  Aggiorno Clienti alla casse", "-  Cassa 1 Cliente " + long_name,
                                        "-  Cassa 1 Cliente D'Amico", "-  Recupero fatture dalle  casse"}));

    EXPECT_EQ(data::to_text(central(7, "dsccliente")), long_name.substr(0, 30));
    EXPECT_EQ(data::to_text(central(7, "cognome")), "Rossi") << "the central surname is not written";
    EXPECT_TRUE(data::is_null(central(7, "nome")));
    EXPECT_TRUE(data::is_null(central(7, "telefono1")));
    EXPECT_TRUE(data::is_null(central(7, "note")));
    EXPECT_EQ(data::to_text(central(7, "fax")), "");
    EXPECT_DOUBLE_EQ(data::to_double(central(7, "sconto")), 5);
    EXPECT_EQ(data::to_text(central(7, "sel")), "X");
    EXPECT_EQ(data::to_text(central(7, "indirizzo")), "Via Roma 1");
    EXPECT_EQ(data::to_text(central(7, "cap")), "00100");
    EXPECT_EQ(data::to_text(central(7, "citta")), "Roma");
    EXPECT_EQ(data::to_text(central(7, "provincia")), "RM");
    EXPECT_EQ(data::to_text(central(7, "codfis")), "RSSMRA");
    EXPECT_EQ(data::to_text(central(7, "piva")), "0123");
    EXPECT_EQ(data::to_text(central(7, "telefono2")), "333");
    EXPECT_EQ(data::to_text(central(7, "stato")), "S");
    EXPECT_EQ(data::to_text(central(7, "tessera")), "T7");
    EXPECT_EQ(data::to_int(central(7, "codLis")), 2);
    EXPECT_EQ(data::to_text(central(7, "stat_t")), "R");
    EXPECT_EQ(data::to_int(central(7, "punticum")), 50) << "points stay";
    EXPECT_DOUBLE_EQ(data::to_double(central(7, "totcard")), 12.5) << "card totals stay";
    EXPECT_EQ(data::to_text(central(7, "email")), "m@x.it");

    EXPECT_EQ(testing::count_rows(main_db(), "clienti", "codcliente = 8"), 1);
    EXPECT_EQ(data::to_text(central(8, "dsccliente")), "D'Amico");
    EXPECT_EQ(data::to_text(central(8, "nome")), "Anna");
    EXPECT_EQ(data::to_text(central(8, "stat_t")), "R");
    EXPECT_TRUE(data::is_null(central(8, "cognome")));
    EXPECT_EQ(data::to_int(central(8, "punticum")), 0) << "the table's default";
    EXPECT_EQ(testing::count_rows(main_db(), "clienti", "codcliente = 9"), 0);
    EXPECT_EQ(testing::count_rows(main_db(), "clienti"), 2);

    EXPECT_EQ(register_marked("A"), 0);
    EXPECT_EQ(register_marked("T"), 3);
    EXPECT_EQ(ledger_entries(), 0);
}

TEST_F(CustomerImportTest, NoChangedCustomerOrNoAnswerStillHandsOverToInvoiceRecovery) {
    import_and_hand_over();
    auto log = log_messages();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0], "-  Aggiorno Clienti alla casse");
    EXPECT_EQ(log[1], "-  Recupero fatture dalle  casse");

    register_db(1).execute("INSERT INTO clienti (codcliente, cognome, flagagg) VALUES (8, 'Bianchi', 'A')");
    pinger_.set_up("127.0.0.1", false);
    const auto before = log_messages().size();
    import_and_hand_over();
    log = log_messages();
    ASSERT_GE(log.size(), before + 2);
    EXPECT_EQ(std::vector<std::string>(log.begin() + static_cast<long>(before), log.begin() + static_cast<long>(before) + 2),
              (std::vector<std::string>{"-  Aggiorno Clienti alla casse", "-  Recupero fatture dalle  casse"}));
    EXPECT_EQ(register_marked("A"), 1);
    EXPECT_EQ(testing::count_rows(main_db(), "clienti"), 0);
}

TEST_F(CustomerImportTest, ACrashBetweenTheTwoCommitsAddsNoSecondCustomer) {
    register_db(1).execute("INSERT INTO clienti (codcliente, cognome, flagagg) VALUES (8, 'Bianchi', 'A')");
    register_db(1).exec(
        "CREATE TRIGGER lost_mark BEFORE UPDATE OF flagagg ON clienti "
        "BEGIN SELECT RAISE(ABORT, 'register unreachable'); END");
    EXPECT_THROW(Aggiorna_Clienti(*ctx_, 1), data::DbError);
    EXPECT_EQ(testing::count_rows(main_db(), "clienti", "codcliente = 8"), 1);
    EXPECT_EQ(ledger_entries(), 1);
    EXPECT_EQ(register_marked("A"), 1);
    auto log = log_messages();
    EXPECT_EQ(log.back(), "-  Cassa 1 Cliente Bianchi") << "the invoice recovery does not follow an error";

    register_db(1).exec("DROP TRIGGER lost_mark");
    // Meanwhile the back office changed the customer: the settled row must not undo it.
    main_db().execute("UPDATE clienti SET nome = 'Cambiato in sede' WHERE codcliente = 8");
    Aggiorna_Clienti(*ctx_, 1);
    EXPECT_EQ(register_marked("A"), 0);
    EXPECT_EQ(ledger_entries(), 0);
    EXPECT_EQ(testing::count_rows(main_db(), "clienti", "codcliente = 8"), 1);
    EXPECT_EQ(data::to_text(central(8, "nome")), "Cambiato in sede");
}

TEST_F(CustomerImportTest, ACustomerCodeBeyond32BitsIsAnErrorNamingTheRegister) {
    // Held, naming the register and the row; the customers before and after it are taken,
    // the invoice recovery still runs, and once mended at the register it is taken once.
    register_db(1).execute("INSERT INTO clienti (codcliente, cognome, flagagg) VALUES (5, 'Prima', 'A')");
    register_db(1).execute("INSERT INTO clienti (codcliente, cognome, flagagg) VALUES (4294967296, 'Troppo', 'A')");
    register_db(1).execute("INSERT INTO clienti (codcliente, cognome, flagagg) VALUES (6, 'Dopo', 'A')");
    EXPECT_NO_THROW(import_and_hand_over());
    EXPECT_EQ(testing::count_rows(main_db(), "clienti"), 2);
    EXPECT_EQ(data::to_text(central(5, "dsccliente")), "Prima");
    EXPECT_EQ(data::to_text(central(6, "dsccliente")), "Dopo");
    EXPECT_EQ(register_marked("A"), 1);
    EXPECT_EQ(ledger_entries(), 0);
    auto log = log_messages();
    const auto held_at = std::find(log.begin(), log.end(),
                                   "-  Cassa 1, clienti: riga 2 (cliente 4294967296) trattenuta: codcliente fuori dal "
                                   "campo: 4294967296");
    ASSERT_NE(held_at, log.end());
    EXPECT_NE(std::find(held_at, log.end(), "-  Recupero fatture dalle  casse"), log.end())
        << "the held customer does not stop the register's later steps";

    register_db(1).execute("UPDATE clienti SET codcliente = 7 WHERE cognome = 'Troppo'");
    Aggiorna_Clienti(*ctx_, 1);
    EXPECT_EQ(data::to_text(central(7, "dsccliente")), "Troppo");
    EXPECT_EQ(testing::count_rows(main_db(), "clienti"), 3);
    EXPECT_EQ(testing::count_rows(main_db(), "righe_trattenute"), 0);
    EXPECT_EQ(register_marked("A"), 0);
}

// Hostile rows a register can really hold, each between two good customers: each is held
// with a cause naming the field, or taken soundly, and the customers after it flow.
TEST_F(CustomerImportTest, HostileCustomersAreHeldWithTheirCauseOrTakenSoundly) {
    const std::string long_text(10000, 'x');
    const std::string long_digits(10000, '9');
    const std::string quoted = "O'Brien\"); DROP TABLE clienti; --";
    const std::string not_utf8 = "Caf\xe9 \xff\xfe";
    struct Case {
        const char* what;
        Value code;
        Value surname;
        const char* held;  // a piece of the cause, or nullptr: taken under `taken_as`
        std::int64_t taken_as;
    };
    const std::vector<Case> cases = {
        {"null code", data::kNull, txt("Nullo"), "codcliente vuoto", 0},
        {"empty code", txt(""), txt("Vuoto"), "codcliente vuoto", 0},
        {"blank code", txt("   "), txt("Spazi"), "codcliente vuoto", 0},
        {"text code", txt("abc"), txt("Testo"), "codcliente non e' un numero", 0},
        {"10,000 digits", txt(long_digits), txt("Cifre"), "codcliente non e' un numero", 0},
        {"past 32 bits", num(4294967296), txt("Grande"), "codcliente fuori dal campo", 0},
        {"below 32 bits", num(-4294967296), txt("Piccolo"), "codcliente fuori dal campo", 0},
        {"not whole", Value(12.5), txt("Mezzo"), "codcliente non e' un numero intero", 0},
        {"infinite", Value(1e300 * 1e300), txt("Infinito"), "codcliente non e' un numero finito", 0},
        {"SQL in the code", txt("1; DROP TABLE clienti"), txt("Sql"), "codcliente non e' un numero", 0},
        {"a number as text", txt("42"), txt("Testuale"), nullptr, 42},
        {"10,000-character surname", num(43), txt(long_text), nullptr, 43},
        {"quotes and SQL in the surname", num(44), txt(quoted), nullptr, 44},
        {"bytes that are not UTF-8", num(45), txt(not_utf8), nullptr, 45},
        {"null surname", num(46), data::kNull, nullptr, 46},
    };
    std::int64_t good = 1000;
    register_db(1).execute("INSERT INTO clienti (codcliente, cognome, flagagg) VALUES (?, 'Buono', 'A')", {num(good++)});
    for (const auto& c : cases) {
        register_db(1).execute("INSERT INTO clienti (codcliente, cognome, flagagg) VALUES (?, ?, 'A')", {c.code, c.surname});
        register_db(1).execute("INSERT INTO clienti (codcliente, cognome, flagagg) VALUES (?, 'Buono', 'A')",
                               {num(good++)});
    }
    // Every column NULL but the row key and the change mark.
    register_db(1).execute("INSERT INTO clienti (flagagg) VALUES ('A')");
    {
        std::vector<std::string> columns;
        data::Statement& info = register_db(1).prepare("PRAGMA table_info(clienti)");
        while (info.step()) columns.push_back(data::to_text(info.column(1)));
        info.reset();
        for (const auto& column : columns) {
            if (column == "id" || column == "flagagg") continue;
            register_db(1).execute("UPDATE clienti SET " + column + " = NULL WHERE id = (SELECT max(id) FROM clienti)");
        }
    }
    register_db(1).execute("INSERT INTO clienti (codcliente, cognome, flagagg) VALUES (?, 'Buono', 'A')", {num(good++)});

    EXPECT_NO_THROW(Aggiorna_Clienti(*ctx_, 1));

    for (std::int64_t code = 1000; code < good; ++code) {
        EXPECT_EQ(data::to_text(central(code, "dsccliente")), "Buono") << "good customer " << code;
    }
    std::size_t held_cases = 1;  // the row of NULLs
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Value key = register_db(1).scalar(
            "SELECT id FROM clienti WHERE cognome IS ? AND codcliente IS ?", {c.surname, c.code});
        const Value cause = main_db().scalar(
            "SELECT causa FROM righe_trattenute WHERE cassa = 1 AND passo = 'clienti' AND chiave = ?", {key});
        if (c.held) {
            ++held_cases;
            EXPECT_NE(data::to_text(cause).find(c.held), std::string::npos) << data::describe(cause);
        } else {
            EXPECT_TRUE(data::is_null(cause)) << data::describe(cause);
            EXPECT_EQ(data::to_text(central(c.taken_as, "dsccliente")),
                      data::is_null(c.surname) ? std::string() : data::to_text(c.surname).substr(0, 30));
        }
    }
    EXPECT_EQ(testing::count_rows(main_db(), "righe_trattenute", "passo = 'clienti'"),
              static_cast<std::int64_t>(held_cases));
    EXPECT_EQ(register_marked("A"), static_cast<std::int64_t>(held_cases)) << "held rows wait untouched";
    EXPECT_EQ(testing::count_rows(main_db(), "clienti"),
              (good - 1000) + static_cast<std::int64_t>(cases.size() + 1 - held_cases));
    EXPECT_EQ(ledger_entries(), 0);
}

// The back office's disk fills up half-way through the customers: SQLite rolls the
// batch back. The error says the disk is full, no customer is marked taken, and once
// there is room again each is taken exactly once.
TEST_F(CustomerImportTest, AFullDiskIsReportedAsSuchAndTheCustomersAreTakenOnceWhenThereIsRoomAgain) {
    const std::string address(200, 'V');
    for (int code = 1; code <= 200; ++code) {
        register_db(1).execute("INSERT INTO clienti (codcliente, cognome, indirizzo, flagagg) VALUES (?, ?, ?, 'A')",
                               {num(code), txt("Cliente " + std::to_string(code)), txt(address)});
    }
    // The central file may not grow past its size now: a write that needs a new page fails
    // as on a full disk.
    auto& central = ctx_->databases.central();
    central.exec("PRAGMA main.max_page_count=" + data::to_text(central.scalar("PRAGMA main.page_count")));

    try {
        Aggiorna_Clienti(*ctx_, 1);
        ADD_FAILURE() << "the import should fail on the full disk";
    } catch (const data::DbError& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find("database or disk is full"), std::string::npos) << what;
        EXPECT_EQ(what.find("savepoint"), std::string::npos) << what;
    }
    EXPECT_EQ(testing::count_rows(main_db(), "clienti"), 0);
    EXPECT_EQ(register_marked("A"), 200);
    EXPECT_EQ(ledger_entries(), 0);

    central.exec("PRAGMA main.max_page_count=1073741823");
    Aggiorna_Clienti(*ctx_, 1);
    EXPECT_EQ(testing::count_rows(main_db(), "clienti"), 200);
    EXPECT_EQ(testing::count_rows(main_db(), "clienti", "codcliente = 200 AND indirizzo = ?", {txt(address)}), 1);
    EXPECT_EQ(register_marked("T"), 200);
    EXPECT_EQ(ledger_entries(), 0);
}

}  // namespace
}  // namespace cassasync::masterdata
