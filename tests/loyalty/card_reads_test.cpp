#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "data/transfer_ledger.h"
#include "frame/register_steps.h"
#include "loyalty/card_fixture.h"
#include "loyalty/card_reads.h"

namespace cassasync::loyalty {
namespace {

using testing::count_rows;

constexpr const char* kCard = "2000000000017";

class CardReadsTest : public CardTest {
protected:
    void SetUp() override {
        for (int n = 1; n <= 4; ++n) add_register(n);
        ready();
        // The steps the card reads end in stay quiet unless a test wants them.
        ctx_->settings.aaa = "0";
        ctx_->settings.bbb = "1";
        mark_log();
    }

    void with_articles() { ctx_->settings.aaa = "1"; }

    // The card reads as the cycle runs them: followed by the register's intake unless
    // they stopped on an error.
    void read_cards(int n) { frame::run_card_reads(*ctx_, n, frame::CycleSteps::standard()); }

    std::vector<std::string> card_lines() const {
        std::vector<std::string> out;
        for (auto& line : new_log())
            if (line.find("TESSERA") != std::string::npos) out.push_back(line);
        return out;
    }

    // A barcode changed at the register: the article synchronisation marks it "T".
    void barcode_changed_at(int n) {
        insert_row(register_db(n), "codean", {{"eanare", text("8001234567890")}, {"codare", integer(0)},
                                          {"desart", text("ARTICOLO")}, {"flagagg", text("A")}});
    }
    std::string barcode_mark(int n) { return data::to_text(field(register_db(n), "codean", "flagagg", "1=1")); }

    double journal_number(const char* column, int row) {
        return data::to_double(main_db().scalar(std::string("SELECT ") + column +
                                                " FROM cartetxrx ORDER BY rowid LIMIT 1 OFFSET ?",
                                                {integer(row)}));
    }
};

TEST_F(CardReadsTest, ThreeReadingsOfOneCardAreJournalledQueuedForEveryRegisterAndRemoved) {
    add_holder(kCard, {{"stat_t", text("T")}});
    // Inserted out of order: the readings are taken in `progressivo` order.
    add_reading(2, 3, kCard, integer(5), "07/12/2026 11:30:00");
    add_reading(2, 1, kCard, integer(20), "06/12/202618:45:10");
    add_reading(2, 2, kCard, integer(10), "07/12/202609:15:30");
    add_reading(2, 9, kCard, integer(99), "07/12/202609:15:30", 2);  // already taken
    add_reading(2, 8, kCard, integer(99), "07/12/202609:15:30", 0);  // not yet complete
    // A queue row for register 3 exists from an earlier reading, with a send cut short.
    queue(kCard, 3, integer(7));
    clock_.set({2026, 12, 7, 16, 20, 45});

    read_cards(2);

    EXPECT_EQ(new_log(), (std::vector<std::string>{
                             "-  Cassa Nr.2TESSERA = 2000000000017",
                             "-  Lettura TESSERA 2000000000017 cassa Nr. 2 20",
                             "-  Cassa Nr.2TESSERA = 2000000000017",
                             "-  Lettura TESSERA 2000000000017 cassa Nr. 2 10",
                             "-  Cassa Nr.2TESSERA = 2000000000017",
                             "-  Lettura TESSERA 2000000000017 cassa Nr. 2 5",
                         }));

    auto& m = main_db();
    ASSERT_EQ(count_rows(m, "cartetxrx"), 3);
    EXPECT_EQ(count_rows(m, "cartetxrx", "tessera = ? AND cassa = 2 AND puntovendita = 1 AND stato = 'A'",
                         {text(kCard)}),
              3);
    EXPECT_EQ(journal_number("dcum", 0), 20);
    EXPECT_EQ(journal_number("dutil", 0), 100);
    EXPECT_EQ(journal_number("dcum", 2), 5);
    // Date and time come from the reading, not from the moment it was taken.
    EXPECT_EQ(journal_number("data", 0), platform::day_serial(2026, 12, 6));
    EXPECT_DOUBLE_EQ(journal_number("ora", 0), (18 * 3600 + 45 * 60 + 10) / 86400.0);
    EXPECT_EQ(journal_number("data", 2), platform::day_serial(2026, 12, 7));
    EXPECT_DOUBLE_EQ(journal_number("ora", 2), (11 * 3600 + 30 * 60) / 86400.0);

    EXPECT_EQ(count_rows(m, "cartetx"), 4) << "one queue row per register, never one per reading";
    for (int r = 1; r <= 4; ++r) {
        SCOPED_TRACE("register " + std::to_string(r));
        EXPECT_EQ(count_rows(m, "cartetx", "tessera = ? AND cassa = ?", {text(kCard), integer(r)}), 1);
        EXPECT_EQ(data::to_double(field(m, "cartetx", "data", "cassa = ?", {integer(r)})), today());
        EXPECT_DOUBLE_EQ(data::to_double(field(m, "cartetx", "ora", "cassa = ?", {integer(r)})), time_now());
        EXPECT_TRUE(data::is_null(field(m, "cartetx", "progressivo_inviato", "cassa = ?", {integer(r)})))
            << "a new reading sends the card afresh";
    }

    EXPECT_EQ(data::to_text(field(m, "clienti", "stat_t", "tessera = ?", {text(kCard)})), "R");

    auto& reg = register_db(2);
    EXPECT_EQ(count_rows(reg, "cartetxrx", "flag = 1"), 0);
    EXPECT_EQ(count_rows(reg, "cartetxrx"), 2) << "only pending readings are taken";
    EXPECT_EQ(count_rows(m, "registro_trasferimenti"), 0) << "nothing left half-done";

    EXPECT_EQ(counters(2).pun, "35");
    EXPECT_EQ(counters(2).num, "3");
    EXPECT_EQ(counters(1).num, "0000000") << "other registers' counters untouched";
    EXPECT_TRUE(ctx_->Casse_Elaborate[2]);
}

TEST_F(CardReadsTest, ACardFindsItsHolderAndQueueRowsWhateverItsCaseAndTrailingBlanks) {
    add_holder("abc1", {{"stat_t", text("T")}});
    queue("Abc1         ", 3, integer(7));
    add_reading(2, 1, "ABC1         ", integer(5));

    read_cards(2);

    auto& m = main_db();
    EXPECT_EQ(data::to_text(field(m, "clienti", "stat_t", "tessera = 'abc1'")), "R");
    EXPECT_EQ(count_rows(m, "cartetx"), 4) << "the queue row of register 3 is the card's";
    EXPECT_TRUE(data::is_null(field(m, "cartetx", "progressivo_inviato", "cassa = 3")));
    EXPECT_EQ(count_rows(m, "cartetx", "tessera = 'ABC1         '"), 3);
}

TEST_F(CardReadsTest, CountersShowEachCallsOwnTotalsAndAnEmptyTextForZero) {
    add_reading(2, 1, kCard, integer(7));
    add_reading(2, 2, "2000000000024", integer(-7));
    read_cards(2);
    EXPECT_EQ(counters(2).pun, "") << "points summing to 0";
    EXPECT_EQ(counters(2).num, "2");
    EXPECT_EQ(new_log().back(), "-  Lettura TESSERA 2000000000024 cassa Nr. 2 -7");

    // A card without a central holder is journalled and queued all the same.
    EXPECT_EQ(count_rows(main_db(), "cartetxrx"), 2);
    EXPECT_EQ(count_rows(main_db(), "cartetx"), 8);
    EXPECT_EQ(count_rows(main_db(), "clienti"), 0);

    // A later call starts from zero; a call that takes nothing leaves the labels alone.
    add_reading(2, 3, kCard, data::real(2.6));
    read_cards(2);
    EXPECT_EQ(counters(2).pun, "3");
    EXPECT_EQ(counters(2).num, "1");
    EXPECT_EQ(new_log().back(), "-  Lettura TESSERA 2000000000017 cassa Nr. 2 2.6");
    mark_log();
    ctx_->Casse_Elaborate[2] = false;
    read_cards(2);
    EXPECT_EQ(counters(2).pun, "3");
    EXPECT_EQ(counters(2).num, "1");
    EXPECT_TRUE(new_log().empty());
    EXPECT_TRUE(ctx_->Casse_Elaborate[2]) << "a register with nothing pending has been dealt with";
}

TEST_F(CardReadsTest, OnlyTheNumberOneSwitchesTheCardReadsOffAndTheArticlesRunEitherWay) {
    struct Case {
        const char* value;
        bool reads;
    };
    with_articles();
    int reading = 0;
    for (const Case& c : {Case{"1", false}, Case{" 1", false}, Case{"", true}, Case{"2", true}, Case{"10", true},
                          Case{"x", true}}) {
        SCOPED_TRACE(std::string("escludocaselle \"") + c.value + "\"");
        ctx_->settings.escludocaselle = c.value;
        main_db().execute("DELETE FROM cartetxrx");
        register_db(1).execute("DELETE FROM cartetxrx");
        register_db(1).execute("DELETE FROM codean");
        add_reading(1, ++reading, kCard, integer(1));
        barcode_changed_at(1);
        mark_log();

        read_cards(1);

        EXPECT_EQ(count_rows(main_db(), "cartetxrx"), c.reads ? 1 : 0);
        EXPECT_EQ(count_rows(register_db(1), "cartetxrx"), c.reads ? 0 : 1);
        EXPECT_EQ(barcode_mark(1), "T") << "the article synchronisation runs";
        EXPECT_EQ(card_lines().size(), c.reads ? 2u : 0u);
    }
}

TEST_F(CardReadsTest, AnArticleErrorIsTheArticleStepsOwnLineWhetherTheCardReadsRunOrNot) {
    with_articles();
    register_db(3).exec("DROP TABLE codean");  // the article synchronisation fails on it
    add_reading(3, 1, kCard, integer(4));
    const auto article_errors = [this] {
        int found = 0;
        for (const auto& line : new_log()) {
            if (line.find("Aggiornamento articoli cassa Nr. 3: ") != std::string::npos) ++found;
            EXPECT_EQ(line.find("Lettura tessere"), std::string::npos) << line;
        }
        return found;
    };

    ctx_->settings.escludocaselle = "1";
    mark_log();
    EXPECT_NO_THROW(read_cards(3));
    EXPECT_EQ(article_errors(), 1);
    EXPECT_EQ(count_rows(register_db(3), "cartetxrx"), 1);

    ctx_->settings.escludocaselle = "0";
    mark_log();
    EXPECT_NO_THROW(read_cards(3));
    EXPECT_EQ(article_errors(), 1);
    EXPECT_EQ(count_rows(main_db(), "cartetxrx"), 1) << "the readings are taken before the articles";
    EXPECT_EQ(count_rows(register_db(3), "cartetxrx"), 0);
}

TEST_F(CardReadsTest, AnUnreachableRegisterIsLeftAlone) {
    pinger_.set_up("127.0.0.4", false);
    add_reading(4, 1, kCard, integer(4));
    read_cards(4);
    EXPECT_EQ(count_rows(register_db(4), "cartetxrx"), 1);
    EXPECT_EQ(count_rows(main_db(), "cartetxrx"), 0);
    EXPECT_FALSE(ctx_->Casse_Elaborate[4]);
    EXPECT_TRUE(new_log().empty());
}

TEST_F(CardReadsTest, AReadingIsNeverJournalledTwiceNorLost) {
    add_holder(kCard);
    // A reading whose central side committed before the register could delete it.
    const auto held = add_reading(2, 1, kCard, integer(8));
    {
        data::TransferLedger ledger(main_db());
        ledger.record(2, "cartetxrx", held);
    }
    read_cards(2);
    EXPECT_EQ(count_rows(register_db(2), "cartetxrx"), 0) << "deleted";
    EXPECT_EQ(count_rows(main_db(), "cartetxrx"), 0) << "not journalled again";
    EXPECT_EQ(count_rows(main_db(), "registro_trasferimenti"), 0);
    EXPECT_TRUE(new_log().empty());

    // The register refuses the delete: the reading is journalled once and removed later.
    with_articles();
    ctx_->Casse_Elaborate[2] = false;
    register_db(2).exec(
        "CREATE TRIGGER refuse BEFORE DELETE ON cartetxrx BEGIN SELECT RAISE(ABORT, 'locked'); END");
    add_reading(2, 2, kCard, integer(6));
    barcode_changed_at(2);
    read_cards(2);
    EXPECT_EQ(count_rows(main_db(), "cartetxrx"), 1);
    EXPECT_EQ(count_rows(register_db(2), "cartetxrx", "flag = 1"), 1) << "the register side rolled back";
    EXPECT_EQ(count_rows(main_db(), "registro_trasferimenti"), 1);
    EXPECT_FALSE(ctx_->Casse_Elaborate[2]);
    EXPECT_EQ(barcode_mark(2), "A") << "an error ends the step before the articles";
    EXPECT_EQ(card_lines().size(), 2u) << "the reading was taken centrally";

    register_db(2).exec("DROP TRIGGER refuse");
    mark_log();
    read_cards(2);
    EXPECT_EQ(count_rows(register_db(2), "cartetxrx"), 0);
    EXPECT_EQ(count_rows(main_db(), "cartetxrx"), 1);
    EXPECT_EQ(count_rows(main_db(), "registro_trasferimenti"), 0);
    EXPECT_TRUE(card_lines().empty());
    EXPECT_TRUE(ctx_->Casse_Elaborate[2]);
    EXPECT_EQ(barcode_mark(2), "T");

    // Cut short again, and then the register's database is made anew: its new reading
    // under the old key is a reading of its own, journalled, never deleted unseen.
    register_db(2).exec(
        "CREATE TRIGGER refuse BEFORE DELETE ON cartetxrx BEGIN SELECT RAISE(ABORT, 'locked'); END");
    const auto cut = add_reading(2, 3, kCard, integer(4));
    read_cards(2);
    EXPECT_EQ(count_rows(main_db(), "cartetxrx"), 2);
    EXPECT_EQ(count_rows(main_db(), "registro_trasferimenti"), 1);
    register_db(2).exec("DROP TRIGGER refuse");
    register_db(2).exec("DELETE FROM cartetxrx");
    register_db(2).execute("INSERT INTO cartetxrx (id, progressivo, tessera, dcum, bdat_scr, flag)"
                           " VALUES (?, 1, ?, 9, '08/12/202610:00:00', 1)",
                           {integer(cut), text(kCard)});
    read_cards(2);
    EXPECT_EQ(count_rows(main_db(), "cartetxrx"), 3) << "the new reading is journalled";
    EXPECT_EQ(count_rows(main_db(), "cartetxrx", "dcum = 9"), 1);
    EXPECT_EQ(count_rows(register_db(2), "cartetxrx"), 0) << "and then removed";
    EXPECT_EQ(count_rows(main_db(), "registro_trasferimenti"), 0);
}

TEST_F(CardReadsTest, AFailingReadingIsHeldAloneAndTheOnesBeforeAndAfterItAreTaken) {
    add_holder("BAD");
    add_reading(2, 1, kCard, integer(1));
    const auto bad = add_reading(2, 2, "BAD", integer(2));
    add_reading(2, 3, kCard, integer(3));
    main_db().exec(
        "CREATE TRIGGER refuse BEFORE INSERT ON cartetxrx WHEN NEW.tessera = 'BAD' "
        "BEGIN SELECT RAISE(ABORT, 'refused'); END");

    read_cards(2);

    EXPECT_EQ(count_rows(main_db(), "cartetxrx"), 2);
    EXPECT_EQ(count_rows(register_db(2), "cartetxrx", "flag = 1"), 1);
    EXPECT_EQ(count_rows(register_db(2), "cartetxrx", "progressivo = 2"), 1) << "the held reading waits untouched";
    EXPECT_TRUE(data::is_null(field(main_db(), "clienti", "stat_t", "tessera = 'BAD'")))
        << "nothing of the failing reading is kept";
    EXPECT_EQ(count_rows(main_db(), "cartetx", "tessera = 'BAD'"), 0);
    EXPECT_EQ(count_rows(main_db(), "righe_trattenute", "cassa = 2 AND passo = 'tessere' AND chiave = ?",
                         {integer(bad)}),
              1);
    const auto log = new_log();
    const std::string held = "-  Cassa 2, tessere: riga " + std::to_string(bad) + " (tessera BAD) trattenuta: ";
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [&](const std::string& l) {
                                return l.starts_with(held) && l.find("refused") != std::string::npos;
                            }),
              1);
    EXPECT_EQ(card_lines().size(), 4u) << "two lines for each reading taken";
    EXPECT_EQ(counters(2).num, "2");
    EXPECT_TRUE(ctx_->Casse_Elaborate[2]) << "the held reading does not stop the register";
    EXPECT_EQ(count_rows(main_db(), "registro_trasferimenti"), 0);

    // Mended centrally: the next call takes it, once.
    main_db().exec("DROP TRIGGER refuse");
    read_cards_alone(2);
    EXPECT_EQ(count_rows(main_db(), "cartetxrx", "tessera = 'BAD'"), 1);
    EXPECT_EQ(count_rows(register_db(2), "cartetxrx"), 0);
    EXPECT_EQ(count_rows(main_db(), "righe_trattenute"), 0);
}

TEST_F(CardReadsTest, AnUnreadablePointCountIsHeldNamedOncePerDayAndLeavesWhenTheRegisterDropsIt) {
    add_holder(kCard, {{"stat_t", text("T")}});
    const auto bad = add_reading(2, 1, kCard, text("abc"));  // a point count that is no number
    add_reading(2, 2, kCard, integer(5));
    const std::string held = "-  Cassa 2, tessere: riga " + std::to_string(bad) + " (tessera " + kCard +
                             ") trattenuta: dcum non e' un numero: 'abc'";
    for (int call = 1; call <= 2; ++call) {
        SCOPED_TRACE("call " + std::to_string(call));
        mark_log();
        EXPECT_NO_THROW(read_cards_alone(2));
        const auto log = new_log();
        EXPECT_EQ(std::count(log.begin(), log.end(), held), call == 1 ? 1 : 0) << "once per day, not once per call";
        EXPECT_EQ(count_rows(register_db(2), "cartetxrx", "flag = 1"), 1);
        EXPECT_EQ(count_rows(main_db(), "cartetxrx"), 1) << "the reading after it is taken";
        EXPECT_EQ(count_rows(main_db(), "cartetxrx", "dcum = 5"), 1);
        EXPECT_EQ(count_rows(main_db(), "registro_trasferimenti"), 0);
        EXPECT_EQ(data::to_int(main_db().scalar("SELECT tentativi FROM righe_trattenute WHERE chiave = ?",
                                                {integer(bad)})),
                  call);
        EXPECT_TRUE(ctx_->Casse_Elaborate[2]);
    }

    // The register's software drops the bad reading: nothing of it is left to take.
    register_db(2).execute("DELETE FROM cartetxrx WHERE progressivo = 1");
    mark_log();
    read_cards_alone(2);
    EXPECT_EQ(new_log(), (std::vector<std::string>{"-  Cassa 2, tessere: riga " + std::to_string(bad) +
                                                   " non piu' in attesa alla cassa: tolta dalle righe trattenute"}));
    EXPECT_EQ(count_rows(main_db(), "righe_trattenute"), 0);
    EXPECT_EQ(count_rows(main_db(), "cartetxrx"), 1);
}

// Hostile readings a register can really hold, each between two good ones: each is held
// with a cause naming the field, or taken soundly, and the readings after it flow.
TEST_F(CardReadsTest, HostileReadingsAreHeldWithTheirCauseOrTakenSoundly) {
    struct Case {
        const char* what;
        Value tessera;
        Value dcum;
        std::string bdat_scr;
        const char* held;  // a piece of the cause, or nullptr: taken
    };
    const std::vector<Case> cases = {
        {"points as text", text("T1"), text("molti"), "01/02/2024 10:00:00", "dcum non e' un numero"},
        {"points past 32 bits", text("T2"), integer(4294967296), "01/02/2024 10:00:00", "dcum fuori dal campo"},
        {"points infinite", text("T3"), Value(1e300 * 1e300), "01/02/2024 10:00:00", "dcum non e' un numero finito"},
        {"a date long past", text("T4"), integer(1), "01/01/1700 10:00:00", "bdat_scr fuori dalle date ammesse"},
        {"a date far ahead", text("T5"), integer(1), "31/12/9999 10:00:00", "bdat_scr fuori dalle date ammesse"},
        {"a 10,000-character card", text(std::string(10000, '7')), integer(1), "01/02/2024 10:00:00",
         "tessera piu' lunga di 13 caratteri"},
        {"quotes and SQL in the card", text("'; DROP TABLE"), integer(1), "01/02/2024 10:00:00", nullptr},
        {"bytes that are not UTF-8", text("\xff\xfe\x80"), integer(1), "01/02/2024 10:00:00", nullptr},
        {"a text where the date belongs", text("T6"), integer(1), "ieri", nullptr},
        {"points as a number in text", text("T7"), text("12"), "01/02/2024 10:00:00", nullptr},
        {"null points", text("T8"), data::kNull, "01/02/2024 10:00:00", nullptr},
    };
    std::int64_t progressivo = 1;
    std::vector<std::int64_t> keys;
    add_reading(1, progressivo++, kCard, integer(1));
    for (const auto& c : cases) {
        keys.push_back(add_reading(1, progressivo++, data::to_text(c.tessera), c.dcum, c.bdat_scr));
        add_reading(1, progressivo++, kCard, integer(1));
    }
    // Every column NULL but the row key and the pending mark.
    testing::insert_row(register_db(1), "cartetxrx", {{"flag", integer(1)}, {"progressivo", data::kNull}, {"tessera", data::kNull},
                                         {"dcum", data::kNull}, {"dutil", data::kNull}, {"bdat_scr", data::kNull}});
    add_reading(1, progressivo++, kCard, integer(1));

    EXPECT_NO_THROW(read_cards_alone(1));

    std::int64_t held_cases = 0;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].what);
        const Value cause = main_db().scalar(
            "SELECT causa FROM righe_trattenute WHERE cassa = 1 AND passo = 'tessere' AND chiave = ?", {integer(keys[i])});
        const auto waiting = count_rows(register_db(1), "cartetxrx", "id = ?", {integer(keys[i])});
        if (cases[i].held) {
            ++held_cases;
            EXPECT_NE(data::to_text(cause).find(cases[i].held), std::string::npos) << data::describe(cause);
            EXPECT_EQ(waiting, 1) << "held, it waits untouched";
        } else {
            EXPECT_TRUE(data::is_null(cause)) << data::describe(cause);
            EXPECT_EQ(waiting, 0) << "taken, it leaves the register";
            EXPECT_EQ(count_rows(main_db(), "cartetxrx", "tessera = ?", {cases[i].tessera}), 1);
        }
    }
    EXPECT_EQ(count_rows(main_db(), "cartetxrx", "tessera = ?", {text(kCard)}),
              static_cast<std::int64_t>(cases.size()) + 2)
        << "every good reading flows";
    EXPECT_EQ(count_rows(main_db(), "righe_trattenute"), held_cases);
    EXPECT_EQ(count_rows(register_db(1), "cartetxrx"), held_cases) << "the row of NULLs is taken as no card";
    EXPECT_EQ(count_rows(main_db(), "registro_trasferimenti"), 0);
}

TEST_F(CardReadsTest, ReadingsWithoutACardNumberAreTakenButNeitherMarkNorQueueAnything) {
    const auto blank_holder = add_holder("   ", {{"stat_t", text("T")}});
    auto no_card = [this](int n, Value tessera) {
        insert_row(register_db(n), "cartetxrx",
               {{"progressivo", integer(1)}, {"tessera", std::move(tessera)}, {"dcum", integer(5)},
                {"bdat_scr", text("07/12/202609:15:30")}, {"flag", integer(1)}});
    };
    no_card(1, data::kNull);
    no_card(2, text("   "));
    no_card(3, text(""));
    add_reading(3, 2, kCard, integer(7));

    for (int n = 1; n <= 3; ++n) read_cards(n);

    auto& m = main_db();
    EXPECT_EQ(count_rows(m, "cartetx", "tessera IS NULL OR trim(tessera) = ''"), 0);
    EXPECT_EQ(count_rows(m, "cartetx"), 4) << "only the card read at register 3, for each register";
    EXPECT_EQ(count_rows(m, "cartetxrx", "tessera IS NULL OR trim(tessera) = ''"), 3) << "journalled all the same";
    EXPECT_EQ(data::to_text(field(m, "clienti", "stat_t", "rowid = ?", {integer(blank_holder)})), "T");
    for (int n = 1; n <= 3; ++n) {
        SCOPED_TRACE("register " + std::to_string(n));
        EXPECT_EQ(count_rows(register_db(n), "cartetxrx"), 0) << "taken";
        EXPECT_TRUE(ctx_->Casse_Elaborate[static_cast<std::size_t>(n)]);
    }
    EXPECT_EQ(counters(3).num, "2");
    EXPECT_EQ(new_log(), (std::vector<std::string>{
                             "-  Cassa Nr.1: lettura senza numero di tessera",
                             "-  Lettura TESSERA  cassa Nr. 1 5",
                             "-  Cassa Nr.2: lettura senza numero di tessera",
                             "-  Lettura TESSERA " + std::string("   ") + " cassa Nr. 2 5",
                             "-  Cassa Nr.3: lettura senza numero di tessera",
                             "-  Lettura TESSERA  cassa Nr. 3 5",
                             "-  Cassa Nr.3TESSERA = 2000000000017",
                             "-  Lettura TESSERA 2000000000017 cassa Nr. 3 7",
                         }));
}

TEST_F(CardReadsTest, ReadingTimesThatAreNotADateAndTimeAreKeptAsWritten) {
    add_reading(1, 1, kCard, integer(1), "ieri      sera");
    add_reading(1, 2, kCard, integer(1), "");
    read_cards(1);
    EXPECT_EQ(data::to_text(field(main_db(), "cartetxrx", "data", "1=1")), "ieri      ");
    EXPECT_EQ(data::to_text(field(main_db(), "cartetxrx", "ora", "1=1")), "sera");
    EXPECT_TRUE(data::is_null(field(main_db(), "cartetxrx", "data", "rowid = 2")));
    EXPECT_TRUE(data::is_null(field(main_db(), "cartetxrx", "ora", "rowid = 2")));
}

// The back office's disk fills up half-way through a batch of readings: SQLite then
// rolls the whole batch back. The log says the disk is full, nothing is journalled or
// removed, and once there is room again every reading is taken exactly once.
TEST_F(CardReadsTest, AFullDiskIsLoggedAsSuchAndTheReadingsAreTakenOnceWhenThereIsRoomAgain) {
    for (int i = 0; i < 300; ++i) add_reading(1, i + 1, kCard, integer(1));
    // The central file may not grow past its size now: a write that needs a new page fails
    // as on a full disk.
    auto& central = ctx_->databases.central();
    central.exec("PRAGMA main.max_page_count=" + data::to_text(central.scalar("PRAGMA main.page_count")));

    read_cards(1);
    const auto log = new_log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().rfind("-  Lettura tessere cassa Nr. 1: ", 0), 0u) << log.back();
    EXPECT_NE(log.back().find("database or disk is full"), std::string::npos) << log.back();
    EXPECT_EQ(log.back().find("savepoint"), std::string::npos) << log.back();
    EXPECT_EQ(count_rows(main_db(), "cartetxrx"), 0);
    EXPECT_EQ(count_rows(register_db(1), "cartetxrx"), 300);
    EXPECT_EQ(count_rows(main_db(), "registro_trasferimenti"), 0);

    central.exec("PRAGMA main.max_page_count=1073741823");
    read_cards(1);
    EXPECT_EQ(count_rows(main_db(), "cartetxrx"), 300);
    EXPECT_EQ(count_rows(register_db(1), "cartetxrx"), 0);
    EXPECT_EQ(count_rows(main_db(), "registro_trasferimenti"), 0);
}

}  // namespace
}  // namespace cassasync::loyalty
