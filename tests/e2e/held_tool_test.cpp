// `cassasync-shop held` through the real program: the held rows of a shop listed with
// cause, age and tries, one register's alone, and --retry making their failures be
// logged again; no row is removed.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "data/database.h"
#include "support/child_process.h"
#include "support/programs.h"
#include "support/shop_fixture.h"

namespace cassasync::testing {
namespace {

namespace fs = std::filesystem;
using data::Value;


TEST(HeldTool, ListsHeldRowsAndAsksForTheirRetryWithoutRemovingThem) {
    TempDir work;
    const fs::path root = work.path() / "shop";
    const auto shop = [&](const std::vector<std::string>& args, const std::string& out) {
        return run_program(shop_args(root, args), work.path() / out, std::chrono::minutes(1));
    };
    ASSERT_EQ(shop({"init"}, "init.txt"), 0) << read_text_file(work.path() / "init.txt");
    ASSERT_EQ(shop({"held"}, "none.txt"), 0) << read_text_file(work.path() / "none.txt");
    EXPECT_NE(read_text_file(work.path() / "none.txt").find("no held rows"), std::string::npos);

    {
        data::Database main(root / "C" / "tarvi" / "dati.mdb");
        const char* hold =
            "INSERT INTO righe_trattenute (cassa, passo, chiave, impronta, causa, primo, ultimo, tentativi, giorno_log)"
            " VALUES (?, 'scontrini', ?, 1, ?, julianday('now', 'localtime') - 2415018.5 - 3, julianday('now', 'localtime') - 2415018.5, ?, 1)";
        main.execute(hold, {Value(std::int64_t{1}), Value(std::int64_t{123}), data::text("quantita non e' un numero: 'tre'"),
                            Value(std::int64_t{7})});
        main.execute(hold, {Value(std::int64_t{2}), Value(std::int64_t{9}), data::text("codrep"), Value(std::int64_t{1})});
    }
    ASSERT_EQ(shop({"held"}, "all.txt"), 0);
    const std::string all = read_text_file(work.path() / "all.txt");
    EXPECT_NE(all.find("1  scontrini  123  7  3 d"), std::string::npos) << all;
    EXPECT_NE(all.find("0 h ago"), std::string::npos) << all;
    EXPECT_NE(all.find("quantita non e' un numero: 'tre'"), std::string::npos) << all;
    EXPECT_NE(all.find("2  scontrini  9  1"), std::string::npos) << all;

    ASSERT_EQ(shop({"held", "--register", "2"}, "two.txt"), 0);
    const std::string two = read_text_file(work.path() / "two.txt");
    EXPECT_EQ(two.find("123"), std::string::npos) << two;
    EXPECT_NE(two.find("2  scontrini  9"), std::string::npos) << two;

    ASSERT_EQ(shop({"held", "--retry"}, "retry.txt"), 0);
    EXPECT_NE(read_text_file(work.path() / "retry.txt").find("2 held rows"), std::string::npos);
    data::Database main(root / "C" / "tarvi" / "dati.mdb");
    EXPECT_EQ(count_rows(main, "righe_trattenute"), 2) << "nothing is removed";
    EXPECT_EQ(count_rows(main, "righe_trattenute", "giorno_log IS NULL"), 2);
}

}  // namespace
}  // namespace cassasync::testing
