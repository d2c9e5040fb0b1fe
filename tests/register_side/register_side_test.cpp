// The register side in-process, on a shop made by the shop's own code: how a register
// finds itself, honours its semaphore, numbers its card readings and leaves its close
// request, in the values the service reads (core/register_vocabulary.h).
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "core/register_vocabulary.h"
#include "register_side/register_side.h"
#include "shop/shop_admin.h"
#include "support/shop_fixture.h"

namespace cassasync::register_side {
namespace {

using data::Value;
using namespace std::chrono_literals;

const std::string kCard = "2900000000017";

// A waiter that counts its waits and says stop after `stop_after` of them.
class CountingWaiter : public Waiter {
public:
    explicit CountingWaiter(int stop_after) : stop_after_(stop_after) {}
    bool wait(std::chrono::milliseconds) override { return ++waits_ >= stop_after_; }
    bool stopped() const override { return waits_ >= stop_after_; }
    int waits() const { return waits_; }

private:
    int stop_after_;
    int waits_ = 0;
};

class RegisterSideTest : public testing::ShopTest {
protected:
    void SetUp() override {
        add_register(1);
        main_db().execute("INSERT INTO clienti (codcliente, dsccliente, tessera, stato) VALUES (1, 'ROSSI', ?, 'A')",
                          {Value(kCard)});
    }

    RegisterOptions options(int number, const std::string& path = {}, int lock_wait_ms = 10000) const {
        RegisterOptions o;
        o.number = number;
        o.path = path;
        o.lock_wait_ms = lock_wait_ms;
        o.seed = 7;
        o.company_path = shop::kCompanyPath;
        o.default_main_path = shop::kDefaultMainPath;
        return o;
    }
    std::int64_t flag1() { return data::to_int(register_db(1).scalar("SELECT Flag1 FROM Semafori ORDER BY rowid LIMIT 1")); }
    void set_flag1(core::Semaforo s) {
        register_db(1).execute("UPDATE Semafori SET Flag1 = ?", {Value(static_cast<std::int64_t>(s))});
    }
};

TEST_F(RegisterSideTest, FindsItselfByNumberOrByPathWhateverTheLetterCase) {
    Register by_number(options(1), paths_);
    EXPECT_EQ(by_number.path(), testing::register_path(1));

    std::string shouted = testing::register_path(1);
    for (auto& c : shouted) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    Register by_path(options(0, shouted), paths_);
    EXPECT_EQ(by_path.number(), 1);

    EXPECT_THROW(Register(options(2), paths_), data::DbError) << "register 2 has no database";
}

TEST_F(RegisterSideTest, SemaphoreIsTakenOnlyWhenFreeAndGivenBackOnlyWhenStillOurs) {
    Register reg(options(1, {}, 60000), paths_);
    Tally tally;

    // The service holds the register: never overwritten; the waiter ends the wait.
    set_flag1(core::Semaforo::Servizio);
    CountingWaiter waiter(3);
    EXPECT_FALSE(reg.take(tally, &waiter).has_value());
    EXPECT_EQ(waiter.waits(), 3);
    EXPECT_EQ(flag1(), static_cast<int>(core::Semaforo::Servizio));
    EXPECT_EQ(tally.semaphore_waits, 1);
    EXPECT_EQ(tally.gave_up, 1);

    // Free: taken while held, free again after.
    set_flag1(core::Semaforo::Libero);
    {
        auto hold = reg.take(tally, nullptr);
        ASSERT_TRUE(hold.has_value());
        EXPECT_EQ(flag1(), static_cast<int>(core::Semaforo::Cassa));
    }
    EXPECT_EQ(flag1(), static_cast<int>(core::Semaforo::Libero));

    // Someone else's value written meanwhile is left alone on release.
    {
        auto hold = reg.take(tally, nullptr);
        ASSERT_TRUE(hold.has_value());
        set_flag1(core::Semaforo::Servizio);
    }
    EXPECT_EQ(flag1(), static_cast<int>(core::Semaforo::Servizio));
    EXPECT_EQ(tally.gave_up, 1) << "only the first try gave up";
}

TEST_F(RegisterSideTest, CardReadingsArePendingAndTheirNumbersWrapPastTheLimit) {
    Register reg(options(1), paths_);
    Tally tally;
    auto& db = register_db(1);
    db.execute("INSERT INTO cartetxrx (progressivo, tessera, dcum, dutil, flag) VALUES (?, ?, 1, 0, ?)",
               {Value(core::kMaxSequence - 1), Value(kCard), Value(core::kReadingTaken)});

    ASSERT_TRUE(reg.card(tally, nullptr));
    EXPECT_EQ(data::to_int(db.scalar("SELECT max(progressivo) FROM cartetxrx")), core::kMaxSequence);
    ASSERT_TRUE(reg.card(tally, nullptr));
    const auto wrapped = "SELECT count(*) FROM cartetxrx WHERE progressivo = 1 AND flag = ? AND tessera = ?";
    EXPECT_EQ(data::to_int(db.scalar(wrapped, {Value(core::kReadingPending), Value(kCard)})), 1);
    EXPECT_EQ(testing::count_rows(db, "cartetxrx", "flag = ?", {Value(core::kReadingPending)}), 2);
    EXPECT_EQ(tally.cards_read, 2);
    EXPECT_EQ(tally.cards, (std::vector<std::string>{kCard, kCard}));
    EXPECT_EQ(flag1(), static_cast<int>(core::Semaforo::Libero));
}

TEST_F(RegisterSideTest, CloseRequestIsLeftOnTheRegistersHostInTheFileTheServiceLooksFor) {
    Register reg(options(1), paths_);
    const std::string request = reg.close_request();
    EXPECT_EQ(request, std::string("\\\\127.0.0.1") + core::kCloseRequestFolder + core::kCloseRequestFile);
    const std::string text = testing::read_text_file(local(request));
    EXPECT_EQ(text.rfind("chiusura cassa 1 ", 0), 0u) << text;
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
}

}  // namespace
}  // namespace cassasync::register_side
