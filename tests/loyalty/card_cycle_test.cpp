#include <gtest/gtest.h>

#include <algorithm>

#include "frame/cycle.h"
#include "loyalty/card_fixture.h"

namespace cassasync::loyalty {
namespace {

using testing::count_rows;

class CardCycleTest : public CardTest {
protected:
    void SetUp() override {
        for (int n = 1; n <= 7; ++n) add_register(n);
        ready();
    }
};

TEST_F(CardCycleTest, ACardReadAtOneRegisterReachesRegistersOneToFiveInOneCycle) {
    add_holder("2000000000017", {{"stato", text("A")}, {"puntisal", integer(40)}});
    const auto cancelled = add_holder("2000000000024", {{"stato", text("C")}, {"stat_t", text("R")}});
    add_reading(2, 1, "2000000000017", integer(12));
    ASSERT_EQ(ctx_->served_registers(), 7);

    frame::ProcessingCycle(*ctx_).Elabora_Casse();

    auto& m = main_db();
    EXPECT_EQ(count_rows(m, "cartetxrx", "tessera = '2000000000017' AND cassa = 2 AND dcum = 12"), 1);
    EXPECT_EQ(count_rows(register_db(2), "cartetxrx"), 0);
    for (int n = 1; n <= 7; ++n) {
        SCOPED_TRACE("register " + std::to_string(n));
        const bool card_pass = n <= 5;
        EXPECT_EQ(count_rows(m, "cartetx", "tessera = '2000000000017' AND cassa = ?", {integer(n)}),
                  card_pass ? 0 : 1)
            << "queued for every register, sent to the first five";
        EXPECT_EQ(count_rows(register_db(n), "tessere", "tessera = '2000000000017' AND progressivo = 1 AND "
                                                        "azione = 'I' AND puntisal = 40"),
                  card_pass ? 1 : 0);
    }
    EXPECT_EQ(count_rows(m, "cartetx"), 2);
    // The end of the cycle closes the holder marked by the reading and removes the
    // cancelled customer received in it.
    EXPECT_EQ(data::to_text(field(m, "clienti", "stat_t", "tessera = '2000000000017'")), "T");
    EXPECT_EQ(count_rows(m, "clienti", "rowid = ?", {integer(cancelled)}), 0);
    EXPECT_EQ(counters(2).num, "1");

    const auto log = log_messages();
    auto has = [&log](const std::string& line) { return std::find(log.begin(), log.end(), line) != log.end(); };
    EXPECT_TRUE(has("-  Lettura TESSERA 2000000000017 cassa Nr. 2 12"));
    for (int n = 1; n <= 5; ++n) EXPECT_TRUE(has("-  Aggiorno TESSERA 2000000000017 cassa Nr. " + std::to_string(n) + " 40"));
    EXPECT_FALSE(has("-  Aggiorno TESSERA 2000000000017 cassa Nr. 6 40"));
}

}  // namespace
}  // namespace cassasync::loyalty
