#include <gtest/gtest.h>

#include "loyalty/card_fixture.h"
#include "loyalty/card_transmission.h"

namespace cassasync::loyalty {
namespace {

using testing::count_rows;

constexpr const char* kControllo = "-  CONTROLLO SE CI SONO TESSERE DA TRASMETTERE ALLA CASSA";
constexpr const char* kInizio = "-  INIZIO TRASMISSIONE ALLA CASSA";
constexpr const char* kNessuna = "-  NON CI SONO TESSERE DA TRASMETTERE";
constexpr const char* kErrore = "-  Trasmissione tessere cassa Nr. 1: ";

class CardTransmissionTest : public CardTest {
protected:
    void SetUp() override {
        add_register(1);
        add_register(2);
        ready();
        mark_log();
    }

    // The register record of a card, by its register card number.
    Value record(int n, const std::string& tessera, const std::string& column) {
        return field(register_db(n), "tessere", column, "tessera = ?", {text(tessera)});
    }
    std::string record_text(int n, const std::string& tessera, const std::string& column) {
        return data::to_text(record(n, tessera, column));
    }
    void existing_record(int n, std::int64_t progressivo, const std::string& tessera) {
        insert_row(register_db(n), "tessere",
               {{"progressivo", integer(progressivo)}, {"flag", text("1")}, {"tessera", text(tessera)}});
    }
};

TEST_F(CardTransmissionTest, QueuedCardsBecomeNumberedRegisterRecordsByTheMap) {
    // A full holder, with texts longer than the register fields.
    add_holder("123456789012345", {{"codcliente", integer(11)},
                                   {"dsccliente", text("Bianchi Verdi Rossi Gialli Neri Azzurri")},
                                   {"nome", text("Maria Giovanna Elisabetta Antonietta")},
                                   {"sconto", data::real(5.5)},
                                   {"fprivacy", text("   ")},
                                   {"indirizzo", text("Via delle Rimembranze Antiche e Moderne, 1234567")},
                                   {"cap", text("20100")},
                                   {"citta", text("San Giovanni in Persiceto")},
                                   {"provincia", text("Roma")},
                                   {"codfis", text("BNCMRA80A01H501Z")},
                                   {"piva", text("01234567890")},
                                   {"telefono1", text("+39 02 1234 5678 90")},
                                   {"telefono2", text("333 1234567")},
                                   {"fax", text("+39 02 1234 5678 interno 42")},
                                   {"email", text("maria@example.com")},
                                   {"stato", text("A")},
                                   {"codLis", integer(3)},
                                   {"puntisal", integer(150)}});
    add_holder("B", {{"codcliente", integer(12)}, {"fprivacy", text("Y")}, {"stato", text("S")},
                     {"provincia", text("MI")}, {"puntisal", integer(0)}});
    add_holder("C", {{"codcliente", integer(13)}});  // no consent given, no state
    queue("123456789012345", 1);
    queue("B", 1);
    queue("C", 1);
    queue("B", 2);  // another register's queue
    clock_.set({2026, 12, 7, 17, 5, 0});

    transmit(1);

    EXPECT_EQ(new_log(), (std::vector<std::string>{kControllo, kInizio,
                                                   "-  Aggiorno TESSERA 123456789012345 cassa Nr. 1 150",
                                                   "-  Aggiorno TESSERA B cassa Nr. 1 0",
                                                   "-  Aggiorno TESSERA C cassa Nr. 1 0"}));
    ASSERT_EQ(count_rows(register_db(1), "tessere"), 3);
    const std::string a = "1234567890123";  // the register keeps 13 characters
    EXPECT_EQ(data::to_int(record(1, a, "progressivo")), 1);
    EXPECT_EQ(data::to_int(record(1, "B", "progressivo")), 2);
    EXPECT_EQ(data::to_int(record(1, "C", "progressivo")), 3);

    EXPECT_EQ(record_text(1, a, "flag"), "1");
    EXPECT_DOUBLE_EQ(data::to_double(record(1, a, "bdat_scr")),
                     platform::date_time_serial({2026, 12, 7, 17, 5, 0}));
    EXPECT_EQ(record_text(1, a, "azione"), "I");
    EXPECT_EQ(data::to_int(record(1, a, "codcliente")), 11);
    EXPECT_EQ(record_text(1, a, "cognome"), "Bianchi Verdi Rossi Gialli Ner");
    EXPECT_EQ(record_text(1, a, "nome"), "Maria Giovanna Elisabetta Anto");
    EXPECT_DOUBLE_EQ(data::to_double(record(1, a, "sconto")), 5.5);
    EXPECT_EQ(record_text(1, a, "sel"), "N") << "a blank consent";
    EXPECT_EQ(record_text(1, a, "indirizzo"), "Via delle Rimembranze Antiche e Moderne, 1234");
    EXPECT_EQ(record_text(1, a, "cap"), "20100");
    EXPECT_EQ(record_text(1, a, "citta"), "San Giovanni in Pers");
    EXPECT_EQ(record_text(1, a, "provincia"), "Ro");
    EXPECT_EQ(record_text(1, a, "codfis"), "BNCMRA80A01H501Z");
    EXPECT_EQ(record_text(1, a, "piva"), "01234567890");
    EXPECT_EQ(record_text(1, a, "telefono1"), "+39 02 1234 5678");
    EXPECT_EQ(record_text(1, a, "telefono2"), "333 1234567");
    EXPECT_EQ(record_text(1, a, "fax"), "+39 02 1234 5678 interno ");
    EXPECT_EQ(record_text(1, a, "email"), "");
    EXPECT_FALSE(data::is_null(record(1, a, "email")));
    EXPECT_EQ(record_text(1, a, "stato"), "A");
    EXPECT_EQ(data::to_int(record(1, a, "puntiaccum")), 150);
    EXPECT_EQ(data::to_int(record(1, a, "puntiutil")), 0);
    EXPECT_EQ(data::to_int(record(1, a, "punticalc")), 0);
    EXPECT_EQ(data::to_int(record(1, a, "puntisal")), 150);
    EXPECT_EQ(data::to_int(record(1, a, "codLis")), 3);

    EXPECT_EQ(record_text(1, "B", "azione"), "C") << "any state but A";
    EXPECT_EQ(record_text(1, "B", "sel"), "Y");
    EXPECT_EQ(record_text(1, "B", "provincia"), "MI");
    EXPECT_EQ(record_text(1, "C", "azione"), "C") << "no state";
    EXPECT_TRUE(data::is_null(record(1, "C", "sel"))) << "no consent recorded";
    EXPECT_TRUE(data::is_null(record(1, "C", "cognome")));

    EXPECT_EQ(count_rows(main_db(), "cartetx", "cassa = 1"), 0);
    EXPECT_EQ(count_rows(main_db(), "cartetx", "cassa = 2"), 1);
    EXPECT_EQ(count_rows(register_db(2), "tessere"), 0);
    EXPECT_TRUE(ctx_->Casse_Elaborate[1]);
}

TEST_F(CardTransmissionTest, NumbersContinueFromTheRegistersLastRecord) {
    existing_record(1, 7, "X");
    existing_record(1, 41, "Y");
    existing_record(1, 12, "Z");
    add_holder("D");
    queue("D", 1);
    transmit(1);
    EXPECT_EQ(data::to_int(record(1, "D", "progressivo")), 42);
}

TEST_F(CardTransmissionTest, AnEmptyQueueAnUnreachableRegisterAndTheSwitch) {
    transmit(2);
    EXPECT_EQ(new_log(), (std::vector<std::string>{kControllo, kNessuna}));
    EXPECT_TRUE(ctx_->Casse_Elaborate[2]);

    add_holder("E");
    queue("E", 2);
    pinger_.set_up("127.0.0.2", false);
    ctx_->Casse_Elaborate[2] = false;
    mark_log();
    transmit(2);
    EXPECT_EQ(new_log(), (std::vector<std::string>{kControllo}));
    EXPECT_EQ(count_rows(main_db(), "cartetx"), 1);
    EXPECT_FALSE(ctx_->Casse_Elaborate[2]);

    pinger_.set_up("127.0.0.2", true);
    ctx_->settings.escludocaselle = "1";
    mark_log();
    transmit(2);
    EXPECT_TRUE(new_log().empty());
    EXPECT_EQ(count_rows(main_db(), "cartetx"), 1);
    EXPECT_EQ(count_rows(register_db(2), "tessere"), 0);

    ctx_->settings.escludocaselle = "";
    transmit(2);
    EXPECT_EQ(count_rows(register_db(2), "tessere"), 1);
}

TEST_F(CardTransmissionTest, HoldersWithoutCustomerCodeAreDroppedAndCardsWithoutHolderWait) {
    add_holder("NOCODE", {{"codcliente", data::kNull}});
    queue("NOCODE", 1);
    queue("NOHOLDER", 1);
    transmit(1);
    EXPECT_EQ(count_rows(register_db(1), "tessere"), 0);
    EXPECT_EQ(count_rows(main_db(), "cartetx", "tessera = 'NOCODE'"), 0);
    EXPECT_EQ(count_rows(main_db(), "cartetx", "tessera = 'NOHOLDER'"), 1);
    EXPECT_EQ(new_log(), (std::vector<std::string>{kControllo, kInizio}));
    EXPECT_TRUE(ctx_->Casse_Elaborate[1]);
}

TEST_F(CardTransmissionTest, ASequenceNumberPast32767IsLoggedAndTheCardWaits) {
    existing_record(1, 32767, "OLD");
    add_holder("NOCODE", {{"codcliente", data::kNull}});
    add_holder("F", {{"puntisal", integer(9)}});
    add_holder("G");
    queue("NOCODE", 1);
    queue("F", 1);
    queue("G", 1);
    transmit(1);
    EXPECT_EQ(new_log(),
              (std::vector<std::string>{kControllo, kInizio,
                                        "-  TESSERA F cassa Nr. 1: numero progressivo oltre 32767, tessera non "
                                        "trasmessa"}));
    EXPECT_EQ(count_rows(register_db(1), "tessere"), 1) << "nothing written";
    EXPECT_EQ(count_rows(main_db(), "cartetx", "tessera IN ('F', 'G') AND progressivo_inviato IS NULL"), 2);
    EXPECT_EQ(count_rows(main_db(), "cartetx", "tessera = 'NOCODE'"), 0);
    EXPECT_FALSE(ctx_->Casse_Elaborate[1]);
}

TEST_F(CardTransmissionTest, ALastNumberOutsideTheWholeNumberRangeIsLoggedAndTheCardWaits) {
    insert_row(register_db(1), "tessere",
           {{"progressivo", data::real(1e19)}, {"flag", text("1")}, {"tessera", text("OLD")}});
    add_holder("F");
    queue("F", 1);
    for (int call = 1; call <= 2; ++call) {
        SCOPED_TRACE("call " + std::to_string(call));
        mark_log();
        transmit(1);
        EXPECT_EQ(new_log(), (std::vector<std::string>{
                                 kControllo, std::string(kErrore) + "cannot convert 1e+19 to a whole number: "
                                                                    "outside the 64-bit range"}));
        EXPECT_EQ(count_rows(register_db(1), "tessere"), 1) << "no record with a wrapped number";
        EXPECT_EQ(count_rows(main_db(), "cartetx", "tessera = 'F' AND progressivo_inviato IS NULL"), 1);
        EXPECT_FALSE(ctx_->Casse_Elaborate[1]);
    }
}

TEST_F(CardTransmissionTest, ASendCutShortIsFinishedWithoutSendingTheCardTwice) {
    add_holder("H");
    add_holder("J");
    add_holder("K");
    // H: the register already holds record 5 for it (the queue row survived a crash),
    // its card padded with blanks.
    existing_record(1, 5, "H            ");
    queue("H", 1, integer(5));
    // J: number 6 was noted but the record never reached the register. Its queue row
    // names the card in lower case: the same holder.
    queue("j", 1, integer(6));
    // K: number 5 was noted for it, but record 5 is another card's.
    queue("K", 1, integer(5));

    transmit(1);

    EXPECT_EQ(count_rows(register_db(1), "tessere", "tessera = 'H            '"), 1);
    EXPECT_EQ(count_rows(register_db(1), "tessere", "tessera = 'H'"), 0) << "not sent a second time";
    EXPECT_EQ(data::to_int(record(1, "J", "progressivo")), 6);
    EXPECT_EQ(data::to_int(record(1, "K", "progressivo")), 7);
    EXPECT_EQ(count_rows(register_db(1), "tessere"), 3);
    EXPECT_EQ(count_rows(main_db(), "cartetx"), 0);
    EXPECT_EQ(new_log(), (std::vector<std::string>{kControllo, kInizio, "-  Aggiorno TESSERA J cassa Nr. 1 0",
                                                   "-  Aggiorno TESSERA K cassa Nr. 1 0"}));
}

TEST_F(CardTransmissionTest, AFailureAtEitherCommitNeverSendsACardTwice) {
    add_holder("L");
    queue("L", 1);

    // The register refuses the record: the number stays noted, the card queued.
    register_db(1).exec("CREATE TRIGGER refuse BEFORE INSERT ON tessere BEGIN SELECT RAISE(ABORT, 'locked'); END");
    transmit(1);
    auto errors = new_lines_starting(kErrore);
    ASSERT_EQ(errors.size(), 1u) << "one line per failing call";
    EXPECT_NE(errors[0].find("locked"), std::string::npos) << errors[0];
    EXPECT_EQ(count_rows(register_db(1), "tessere"), 0);
    EXPECT_EQ(data::to_int(field(main_db(), "cartetx", "progressivo_inviato", "tessera = 'L'")), 1);
    EXPECT_FALSE(ctx_->Casse_Elaborate[1]);
    register_db(1).exec("DROP TRIGGER refuse");

    // The queue row cannot be deleted once the record is written.
    main_db().exec("CREATE TRIGGER keep BEFORE DELETE ON cartetx BEGIN SELECT RAISE(ABORT, 'locked'); END");
    mark_log();
    transmit(1);
    EXPECT_EQ(new_lines_starting(kErrore).size(), 1u);
    EXPECT_EQ(count_rows(register_db(1), "tessere"), 1);
    EXPECT_EQ(count_rows(main_db(), "cartetx"), 1);
    main_db().exec("DROP TRIGGER keep");

    mark_log();
    transmit(1);
    EXPECT_TRUE(new_lines_starting(kErrore).empty());
    EXPECT_EQ(count_rows(register_db(1), "tessere"), 1) << "sent once";
    EXPECT_EQ(data::to_int(record(1, "L", "progressivo")), 1);
    EXPECT_EQ(count_rows(main_db(), "cartetx"), 0);
    EXPECT_TRUE(ctx_->Casse_Elaborate[1]);
    int updates = 0;
    for (const auto& line : log_messages()) updates += line == "-  Aggiorno TESSERA L cassa Nr. 1 0";
    EXPECT_EQ(updates, 1);
}

}  // namespace
}  // namespace cassasync::loyalty
