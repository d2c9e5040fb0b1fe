// The Semafori row shared with a register's own software: the test, take and release
// on real register files.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>

#include "data/database.h"
#include "registers/semaphores.h"
#include "support/shop_fixture.h"

namespace cassasync::registers {
namespace {

class SemaphoresTest : public testing::ShopTest {
protected:
    void SetUp() override {
        add_register(1);
        add_register(2);
        ready();
    }
    void set_flag(const data::Value& v) { register_db(1).execute("UPDATE Semafori SET Flag1 = ?", {v}); }
    data::Value flag_of_row(int row) {
        return register_db(1).scalar("SELECT Flag1 FROM Semafori ORDER BY rowid LIMIT 1 OFFSET ?",
                                     {data::integer(row)});
    }
    std::string flag() { return data::describe(flag_of_row(0)); }
    void damage(int n) {
        std::ofstream out(local(testing::register_path(n)), std::ios::binary | std::ios::trunc);
        out << "this is not a database, only some text that fills the first page of the file";
    }
};

TEST_F(SemaphoresTest, TestTakeAndReleaseFollowTheValueConvention) {
    struct Case {
        const char* name;
        data::Value start;
        int busy;
        const char* after_take;
        const char* after_release;
    };
    const Case cases[] = {
        {"free", data::integer(0), 0, "2", "0"},
        {"held by the register", data::integer(1), 1, "1", "1"},
        {"left over by the service", data::integer(2), 0, "2", "0"},
        {"a foreign value", data::integer(5), 1, "5", "5"},
        {"null", data::kNull, 1, "NULL", "NULL"},
    };
    for (const auto& c : cases) {
        set_flag(c.start);
        EXPECT_EQ(Leggi_Semaforo(*ctx_, 1), c.busy) << c.name;
        EXPECT_EQ(flag(), data::describe(c.start)) << c.name << ": the test writes nothing";
        Prendi_Semaforo(*ctx_, 1);
        EXPECT_EQ(flag(), c.after_take) << c.name;
        set_flag(c.start);
        Rilascia_Semaforo(*ctx_, 1);
        EXPECT_EQ(flag(), c.after_release) << c.name;
    }
    // The full round of a free register.
    set_flag(data::integer(0));
    Prendi_Semaforo(*ctx_, 1);
    EXPECT_EQ(flag(), "2");
    Rilascia_Semaforo(*ctx_, 1);
    EXPECT_EQ(flag(), "0");
    EXPECT_TRUE(log_messages().empty());
}

TEST_F(SemaphoresTest, OnlyTheFirstRowCounts) {
    register_db(1).execute("INSERT INTO Semafori (Flag1) VALUES (1)");
    set_flag(data::integer(0));
    register_db(1).execute("UPDATE Semafori SET Flag1 = 1 WHERE rowid = (SELECT max(rowid) FROM Semafori)");

    EXPECT_EQ(Leggi_Semaforo(*ctx_, 1), 0);
    Prendi_Semaforo(*ctx_, 1);
    EXPECT_EQ(data::describe(flag_of_row(0)), "2");
    EXPECT_EQ(data::describe(flag_of_row(1)), "1");
    Rilascia_Semaforo(*ctx_, 1);
    EXPECT_EQ(data::describe(flag_of_row(0)), "0");
    EXPECT_EQ(data::describe(flag_of_row(1)), "1");

    // First row held by the register, second free: busy, and nothing changes.
    register_db(1).execute("UPDATE Semafori SET Flag1 = 1 WHERE rowid = (SELECT min(rowid) FROM Semafori)");
    register_db(1).execute("UPDATE Semafori SET Flag1 = 0 WHERE rowid = (SELECT max(rowid) FROM Semafori)");
    EXPECT_EQ(Leggi_Semaforo(*ctx_, 1), 1);
    Prendi_Semaforo(*ctx_, 1);
    EXPECT_EQ(data::describe(flag_of_row(0)), "1");
    EXPECT_EQ(data::describe(flag_of_row(1)), "0");
}

TEST_F(SemaphoresTest, AnEmptyTableIsLoggedOncePerOperationAndCountsAsFree) {
    register_db(1).execute("DELETE FROM Semafori");
    EXPECT_EQ(Leggi_Semaforo(*ctx_, 1), 0);
    Prendi_Semaforo(*ctx_, 1);
    Rilascia_Semaforo(*ctx_, 1);
    const std::string line = "-  Semaforo cassa 1 non inizializzato!";
    EXPECT_EQ(log_messages(), (std::vector<std::string>{line, line, line}));
    EXPECT_EQ(testing::count_rows(register_db(1), "Semafori"), 0) << "no row is made up";
}

TEST_F(SemaphoresTest, ReleaseSwallowsErrorsWhereTestAndTakeRaiseThem) {
    damage(2);
    EXPECT_THROW(Leggi_Semaforo(*ctx_, 2), data::DbError);
    EXPECT_THROW(Prendi_Semaforo(*ctx_, 2), data::DbError);
    EXPECT_NO_THROW(Rilascia_Semaforo(*ctx_, 2));

    ctx_->Percorsi_Casse[3] = "\\\\127.0.0.3\\cassa\\dati.mdb";  // no such file
    EXPECT_THROW(Leggi_Semaforo(*ctx_, 3), data::DbError);
    EXPECT_THROW(Prendi_Semaforo(*ctx_, 3), data::DbError);
    EXPECT_NO_THROW(Rilascia_Semaforo(*ctx_, 3));
    EXPECT_FALSE(std::filesystem::exists(local(ctx_->Percorsi_Casse[3]))) << "a missing register file is not created";
    EXPECT_TRUE(log_messages().empty());
}

}  // namespace
}  // namespace cassasync::registers
