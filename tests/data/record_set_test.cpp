#include <sqlite3.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <optional>

#include "data/database.h"
#include "data/record_set.h"
#include "data/table_cursor.h"
#include "data/text_match.h"
#include "support/shop_fixture.h"

namespace cassasync::data {
namespace {

class RecordSetTest : public ::testing::Test {
protected:
    RecordSetTest() : db_(dir_.path() / "t.mdb", create()) {
        db_.exec(
            "CREATE TABLE codean (id INTEGER PRIMARY KEY AUTOINCREMENT, eanare TEXT, desart TEXT,"
            " codare INTEGER DEFAULT 0, prezzo REAL DEFAULT 0, flagagg TEXT);"
            "CREATE INDEX codean_eanare ON codean(eanare);");
        add("8001", "Pane", 1, 1.5, "A");
        add("8002", "Latte", 2, 0.99, "A");
        add("8003", "Caffe'", 3, 3.2, "T");
        add("8004", nullptr, 4, 2.0, "A");
    }
    static OpenOptions create() {
        OpenOptions o;
        o.create = true;
        return o;
    }
    void add(const char* ean, const char* des, int code, double price, const char* flag) {
        db_.execute("INSERT INTO codean (eanare, desart, codare, prezzo, flagagg) VALUES (?,?,?,?,?)",
                    {Value(std::string(ean)), des ? Value(std::string(des)) : Value(),
                     Value(std::int64_t{code}), Value(price), Value(std::string(flag))});
    }
    testing::TempDir dir_;
    Database db_;
    Channel channel_{"codean"};
};

TEST_F(RecordSetTest, WalksInOrderAndReportsEndOfData) {
    auto& rs = channel_.select(db_, "codean", "flagagg = ?", {text("A")}, "eanare");
    std::vector<std::string> seen;
    for (rs.move_first(); !rs.eof(); rs.move_next()) seen.push_back(rs.text("eanare"));
    EXPECT_EQ(seen, (std::vector<std::string>{"8001", "8002", "8004"}));
    rs.move_last();
    EXPECT_EQ(rs.text("EANARE"), "8004") << "fields are found whatever their case";
    EXPECT_TRUE(rs.is_null("desart"));
    EXPECT_THROW(rs.field("nosuchfield"), DbError);
    auto& none = channel_.select(db_, "codean", "flagagg = ?", {text("X")});
    EXPECT_TRUE(none.eof());
    EXPECT_TRUE(none.empty());
}

TEST_F(RecordSetTest, FindFirstAndNoMatchOnFetchedAndOnDemandSets) {
    for (Fetch fetch : {Fetch::all, Fetch::on_demand}) {
        SCOPED_TRACE(fetch == Fetch::all ? "fetched" : "on demand");
        auto& rs = channel_.select(db_, "codean", {}, {}, "eanare", fetch);
        EXPECT_TRUE(rs.find_first({{"eanare", text("8003")}}));
        EXPECT_FALSE(rs.no_match());
        EXPECT_EQ(rs.integer("codare"), 3);
        EXPECT_FALSE(rs.find_first({{"eanare", text("9999")}}));
        EXPECT_TRUE(rs.no_match());
        EXPECT_TRUE(rs.find_first({{"flagagg", text("A")}, {"codare", integer(2)}}));
        EXPECT_EQ(rs.text("eanare"), "8002");
        EXPECT_TRUE(rs.find_first({{"flagagg", text("T")}})) << "fewer fields than the search before";
        EXPECT_EQ(rs.text("eanare"), "8003");
        EXPECT_TRUE(rs.find_first({{"eanare", text("8001")}})) << "back to the first search's field";
        EXPECT_EQ(rs.integer("codare"), 1);
    }
    // The channel's own condition is bound before the search's values.
    auto& flagged = channel_.select(db_, "codean", "flagagg = ?", {text("A")}, "eanare", Fetch::on_demand);
    EXPECT_FALSE(flagged.find_first({{"codare", integer(3)}})) << "8003 is not flagged A";
    EXPECT_TRUE(flagged.find_first({{"codare", integer(4)}}));
    EXPECT_EQ(flagged.text("eanare"), "8004");
}

TEST_F(RecordSetTest, KeysMatchWithOrWithoutTrailingBlanksAndCentralTextsWhateverTheirCase) {
    add("12345678", "pane casereccio", 5, 1.0, "a");
    add("87654321     ", "Latte", 6, 1.0, "A");
    add("ab12cd", "Sale", 7, 1.0, "A");
    OpenOptions at_register;
    at_register.role = FileRole::register_share;
    Database reg(dir_.path() / "t.mdb", at_register);
    Channel reg_channel("caselle");
    struct Case {
        const char* name;
        Match match;
        std::optional<std::int64_t> central;   // codare found in a back-office file
        std::optional<std::int64_t> register_;  // codare found in a register's file
    };
    const Case cases[] = {
        {"stored trimmed, sought padded", {"eanare", text("12345678     "), Compare::key}, 5, 5},
        {"stored padded, sought trimmed", {"eanare", text("87654321"), Compare::key}, 6, 6},
        {"stored and sought alike", {"eanare", text("8002"), Compare::key}, 2, 2},
        {"a key in another case", {"eanare", text("AB12CD       "), Compare::key}, 7, std::nullopt},
        {"leading blanks are part of a key", {"eanare", text(" 12345678"), Compare::key}, std::nullopt, std::nullopt},
        {"another key that begins alike", {"eanare", text("1234567"), Compare::key}, std::nullopt, std::nullopt},
        {"a null key matches nothing", {"eanare", kNull, Compare::key}, std::nullopt, std::nullopt},
        {"a plain condition keeps the blanks", {"eanare", text("12345678     ")}, std::nullopt, std::nullopt},
        {"a plain text condition ignores case centrally", {"desart", text("PANE CASERECCIO")}, 5, std::nullopt},
        {"a plain number condition", {"codare", integer(6)}, 6, 6},
    };
    for (Fetch fetch : {Fetch::all, Fetch::on_demand}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (fetch == Fetch::all ? ", fetched" : ", on demand"));
            auto& central = channel_.select(db_, "codean", {}, {}, "id", fetch);
            EXPECT_EQ(central.find_first({c.match}), c.central.has_value());
            if (c.central) {
                EXPECT_EQ(central.integer("codare"), *c.central);
            }
            auto& at_reg = reg_channel.select(reg, "codean", {}, {}, "id", fetch);
            EXPECT_EQ(at_reg.find_first({c.match}), c.register_.has_value());
            if (c.register_) {
                EXPECT_EQ(at_reg.integer("codare"), *c.register_);
            }
        }
    }
    // With the channel's own condition, which ignores case centrally too.
    auto& flagged = channel_.select(db_, "codean", same_text("flagagg"), {text("A")}, "id", Fetch::on_demand);
    EXPECT_TRUE(flagged.find_first({{"eanare", text("12345678"), Compare::key}})) << "flagged 'a'";

    TableCursor cursor(db_, "codean", "eanare", {}, Compare::key);
    ASSERT_TRUE(cursor.seek(text("12345678     ")));
    EXPECT_EQ(cursor.row().integer("codare"), 5);
    ASSERT_TRUE(cursor.seek(text("87654321")));
    EXPECT_EQ(cursor.row().integer("codare"), 6);
    TableCursor exact(db_, "codean", "eanare");
    EXPECT_FALSE(exact.seek(text("87654321"))) << "a cursor on a plain key keeps the blanks";
}

TEST(KeyForms, PaddedFirstThenWithoutTrailingBlanksAndNeverCut) {
    struct Case {
        const char* name;
        Value key;
        std::vector<Value> forms;
    };
    const Case cases[] = {
        {"short key", text("12345678"), {text("12345678     "), text("12345678")}},
        {"padded key", text("12345678     "), {text("12345678     "), text("12345678")}},
        {"a key that fills its width", text("8001234567890"), {text("8001234567890")}},
        {"longer than the width: not cut", text("80012345678901  "), {text("80012345678901")}},
        {"leading blanks kept", text(" 1"), {text(" 1           "), text(" 1")}},
        {"characters, not bytes", text("\xC3\x80" "B"), {text("\xC3\x80" "B           "), text("\xC3\x80" "B")}},
        {"a number as its text", integer(42), {text("42           "), text("42")}},
        {"null", kNull, {kNull}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(key_forms(c.key), c.forms) << c.name;
    }
}

TEST_F(RecordSetTest, QuoteInAValueNeitherBreaksNorAltersTheQuery) {
    add("80' OR '1'='1", "Acqua", 9, 0.3, "A");
    auto& rs = channel_.select(db_, "codean", {}, {}, {}, Fetch::on_demand);
    EXPECT_FALSE(rs.find_first({{"eanare", text("x' OR '1'='1")}}));
    ASSERT_TRUE(rs.find_first({{"eanare", text("80' OR '1'='1")}}));
    EXPECT_EQ(rs.text("desart"), "Acqua");
    auto& q = channel_.select(db_, "codean", "desart = ?", {text("Caffe'")});
    ASSERT_FALSE(q.eof());
    EXPECT_EQ(q.text("eanare"), "8003");
}

TEST_F(RecordSetTest, QuotesAndBlanksInTableAndFieldNamesAreKeptInEveryStatement) {
    db_.exec("CREATE TABLE \"prezzi \"\"vecchi\"\"\" (\"cod art\" INTEGER, \"pre\"\"zzo\" REAL);"
             "INSERT INTO \"prezzi \"\"vecchi\"\"\" VALUES (1, 2.5)");
    const std::string table = "prezzi \"vecchi\"";
    Channel old(table);
    auto& rs = old.select(db_, table, {}, {}, {}, Fetch::on_demand);
    ASSERT_TRUE(rs.find_first({{"cod art", integer(1)}}));
    EXPECT_DOUBLE_EQ(rs.number("pre\"zzo"), 2.5);
    rs.edit();
    rs.set("pre\"zzo", real(3.0));
    rs.update();
    rs.add_new();
    rs.set("cod art", integer(2));
    rs.update();
    EXPECT_EQ(to_int(db_.scalar("SELECT count(*) FROM \"prezzi \"\"vecchi\"\"\"")), 2);
    const Value price = db_.scalar("SELECT \"pre\"\"zzo\" FROM \"prezzi \"\"vecchi\"\"\" WHERE \"cod art\" = 1");
    EXPECT_DOUBLE_EQ(to_double(price), 3.0);
    rs.remove();
    EXPECT_EQ(to_int(db_.scalar("SELECT count(*) FROM \"prezzi \"\"vecchi\"\"\"")), 1);
}

TEST_F(RecordSetTest, EditUpdateAndDeleteDuringAWalk) {
    auto& rs = channel_.select(db_, "codean", "flagagg = ?", {text("A")}, "eanare");
    int walked = 0;
    for (rs.move_first(); !rs.eof(); rs.move_next()) {
        ++walked;
        if (rs.text("eanare") == "8002") {
            rs.remove();
            EXPECT_THROW(rs.field("eanare"), DbError) << "a deleted row is no longer current";
            continue;
        }
        rs.edit();
        rs.set("flagagg", text("T"));
        rs.set("prezzo", real(rs.number("prezzo") * 2));
        rs.update();
        EXPECT_EQ(rs.text("flagagg"), "T") << "the set shows the written values";
    }
    EXPECT_EQ(walked, 3) << "a row marked during the walk stays in the walk";
    EXPECT_EQ(to_int(db_.scalar("SELECT count(*) FROM codean WHERE flagagg='A'")), 0);
    EXPECT_EQ(to_int(db_.scalar("SELECT count(*) FROM codean")), 3);
    EXPECT_DOUBLE_EQ(to_double(db_.scalar("SELECT prezzo FROM codean WHERE eanare='8001'")), 3.0);
    EXPECT_EQ(to_text(db_.scalar("SELECT desart FROM codean WHERE eanare='8003'")), "Caffe'")
        << "only the fields that were set are written";
}

TEST_F(RecordSetTest, AddNewKeepsSchemaDefaultsAndIsVisibleAfterwards) {
    auto& rs = channel_.select(db_, "codean", {}, {}, {}, Fetch::on_demand);
    rs.add_new();
    rs.set("eanare", text("8010"));
    rs.update();
    ASSERT_FALSE(rs.eof());
    EXPECT_EQ(rs.integer("codare"), 0) << "unset numeric field takes its default";
    EXPECT_TRUE(rs.is_null("desart"));
    EXPECT_TRUE(rs.find_first({{"eanare", text("8010")}}));
    EXPECT_THROW(rs.set("eanare", text("x")), DbError) << "set needs edit or add_new";
}

TEST_F(RecordSetTest, AnAppendingChannelWritesRowsWithoutReadingThemBack) {
    auto& rs = channel_.select(db_, "codean", {}, {}, {}, Fetch::append);
    for (const char* ean : {"8030", "8031"}) {
        rs.add_new();
        rs.set("eanare", text(ean));
        rs.set("desart", text("Sale"));
        rs.update();
        EXPECT_TRUE(rs.eof()) << "no row is read back";
    }
    EXPECT_EQ(to_int(db_.scalar("SELECT count(*) FROM codean WHERE desart='Sale' AND codare=0")), 2);
    EXPECT_TRUE(rs.find_first({{"eanare", text("8031")}})) << "searching still works";
    EXPECT_EQ(rs.text("desart"), "Sale");
}

TEST_F(RecordSetTest, ReadOnlyJoinCannotBeWritten) {
    auto& rs = channel_.query(db_, "SELECT eanare, codare * 2 AS doppio FROM codean ORDER BY eanare");
    ASSERT_FALSE(rs.eof());
    EXPECT_EQ(rs.integer("doppio"), 2);
    EXPECT_THROW(rs.edit(), DbError);
}

TEST_F(RecordSetTest, AQueryRunAgainGivesOnlyItsNewRows) {
    // The same query text once per receipt line: each run's rows replace the last run's
    // whole, whatever their number and the kind of each value.
    add("8010", "Una descrizione lunga quanto basta per stare fuori dalla stringa", 10, 4.0, "L");
    const std::string sql = "SELECT eanare, desart, codare FROM codean WHERE codare >= ? ORDER BY codare";
    auto& rs = channel_.query(db_, sql, {Value(std::int64_t{3})});
    ASSERT_EQ(rs.size(), 3u);
    rs.move_last();
    EXPECT_EQ(rs.text("desart"), "Una descrizione lunga quanto basta per stare fuori dalla stringa");

    auto& fewer = channel_.query(db_, sql, {Value(std::int64_t{4})});
    ASSERT_EQ(fewer.size(), 2u) << "rows of the last run are not left behind";
    EXPECT_EQ(fewer.text("eanare"), "8004");
    EXPECT_TRUE(fewer.is_null("desart")) << "a null replaces the text held before";
    fewer.move_next();
    EXPECT_EQ(fewer.integer("codare"), 10);
    fewer.move_next();
    EXPECT_TRUE(fewer.eof());

    auto& none = channel_.query(db_, sql, {Value(std::int64_t{99})});
    EXPECT_TRUE(none.eof());
    EXPECT_THROW(none.field("eanare"), DbError);

    auto& more = channel_.query(db_, sql, {Value(std::int64_t{1})});
    ASSERT_EQ(more.size(), 5u);
    EXPECT_EQ(more.text("desart"), "Pane");
    more.move_last();
    EXPECT_EQ(more.text("eanare"), "8010");

    // Another query on the same channel answers with its own columns.
    auto& other = channel_.query(db_, "SELECT codare * 2 AS doppio FROM codean WHERE eanare = ?", {text("8002")});
    EXPECT_EQ(other.integer("doppio"), 4);
    EXPECT_FALSE(other.has_field("desart"));
    // A table opened on the channel afterwards is writable again.
    auto& table = channel_.select(db_, "codean", "eanare = ?", {text("8003")});
    table.edit();
    table.set("flagagg", text("X"));
    table.update();
    EXPECT_EQ(to_text(db_.scalar("SELECT flagagg FROM codean WHERE eanare = '8003'")), "X");
}

TEST_F(RecordSetTest, AWideRowWritesExactlyTheFieldsSetWhereverTheyStand) {
    // More columns than one word of field marks holds: the marks of columns past the
    // sixty-fourth name their own fields, in added rows and in held edits alike.
    std::string create = "CREATE TABLE largo (id INTEGER PRIMARY KEY";
    for (int c = 0; c < 70; ++c) create += ", c" + std::to_string(c) + " TEXT DEFAULT 'd" + std::to_string(c) + "'";
    db_.exec(create + ")");
    Channel wide("largo");
    auto& rs = wide.select(db_, "largo");
    rs.add_new();
    rs.set("c2", text("due"));
    rs.set("c63", text("sessantatre"));
    rs.set("c64", text("sessantaquattro"));
    rs.set("c69", text("sessantanove"));
    rs.update();
    auto stored = [&](const char* c) { return to_text(db_.scalar(std::string("SELECT ") + c + " FROM largo")); };
    EXPECT_EQ(stored("c2"), "due");
    EXPECT_EQ(stored("c63"), "sessantatre");
    EXPECT_EQ(stored("c64"), "sessantaquattro");
    EXPECT_EQ(stored("c69"), "sessantanove");
    EXPECT_EQ(stored("c65"), "d65") << "a field not set keeps the schema's default";
    EXPECT_EQ(stored("c0"), "d0");

    rs.move_first();
    rs.hold_writes(true);
    rs.edit();
    rs.set("c65", text("primo"));
    rs.update();
    rs.edit();
    rs.set("c1", text("secondo"));
    rs.set("c65", text("primo, poi ancora"));
    rs.update();
    EXPECT_EQ(stored("c65"), "d65") << "held in memory";
    db_.execute("UPDATE largo SET c64 = 'cambiato altrove'");
    rs.hold_writes(false);
    EXPECT_EQ(stored("c65"), "primo, poi ancora");
    EXPECT_EQ(stored("c1"), "secondo");
    EXPECT_EQ(stored("c64"), "cambiato altrove") << "a field the edits did not set is not rewritten";
    EXPECT_EQ(stored("c66"), "d66");
}

TEST_F(RecordSetTest, AQueryKeptFromAClosedConnectionIsPreparedAgainOnTheNextOne) {
    // The same query on a connection opened where the closed one stood: the statement
    // kept from the first is gone with it and must not be used.
    const auto other = dir_.path() / "other.mdb";
    {
        Database made(other, create());
        made.exec("CREATE TABLE codean (eanare TEXT, codare INTEGER); INSERT INTO codean VALUES ('9001', 41)");
    }
    const std::string sql = "SELECT codare FROM codean WHERE eanare = ?";
    std::optional<Database> db;
    db.emplace(dir_.path() / "t.mdb");
    Channel channel("codean");
    EXPECT_EQ(channel.query(*db, sql, {text("8002")}).integer("codare"), 2);
    db.reset();
    db.emplace(other);
    auto& rs = channel.query(*db, sql, {text("9001")});
    ASSERT_FALSE(rs.eof());
    EXPECT_EQ(rs.integer("codare"), 41);
    EXPECT_TRUE(channel.query(*db, sql, {text("8002")}).eof()) << "the rows come from the file now open";
}

TEST_F(RecordSetTest, RefreshSeesRowsWrittenElsewhere) {
    auto& rs = channel_.select(db_, "codean", "flagagg = ?", {text("T")});
    EXPECT_EQ(rs.size(), 1u);
    add("8020", "Uova", 20, 2.2, "T");
    auto& again = channel_.refresh();
    EXPECT_EQ(again.size(), 2u);
}

TEST_F(RecordSetTest, TableCursorSeeksByKeyAndEditsInPlace) {
    TableCursor cursor(db_, "codean", "eanare");
    ASSERT_TRUE(cursor.seek(text("8002")));
    EXPECT_EQ(cursor.row().integer("codare"), 2);
    cursor.row().edit();
    cursor.row().set("prezzo", real(1.25));
    cursor.row().update();
    EXPECT_DOUBLE_EQ(to_double(db_.scalar("SELECT prezzo FROM codean WHERE eanare='8002'")), 1.25);
    EXPECT_FALSE(cursor.seek(text("0000")));
    EXPECT_TRUE(cursor.no_match());
    EXPECT_THROW(cursor.row().edit(), DbError) << "no current row after a failed seek";
}

TEST_F(RecordSetTest, ACursorOnNamedFieldsReadsAndWritesOnlyThose) {
    TableCursor cursor(db_, "codean", "eanare", {"eanare", "prezzo"});
    ASSERT_TRUE(cursor.seek(text("8003")));
    EXPECT_DOUBLE_EQ(cursor.row().number("prezzo"), 3.2);
    EXPECT_FALSE(cursor.row().has_field("desart"));
    EXPECT_THROW(cursor.row().field("desart"), DbError);
    cursor.row().edit();
    EXPECT_THROW(cursor.row().set("flagagg", text("X")), DbError) << "a field not read cannot be set";
    cursor.row().set("prezzo", real(3.5));
    cursor.row().update();
    EXPECT_DOUBLE_EQ(to_double(db_.scalar("SELECT prezzo FROM codean WHERE eanare='8003'")), 3.5);
    EXPECT_EQ(to_text(db_.scalar("SELECT desart || flagagg FROM codean WHERE eanare='8003'")), "Caffe'T")
        << "the fields not read keep their values";
}

TEST_F(RecordSetTest, HeldWritesReachTheFileOnceWhenTheRowIsLeftOrReleased) {
    TableCursor cursor(db_, "codean", "eanare");
    auto& row = cursor.row();
    auto stored = [&](const char* ean) {
        return to_text(db_.scalar("SELECT prezzo || '/' || flagagg FROM codean WHERE eanare = ?", {text(ean)}));
    };
    auto changes = [&] { return sqlite3_total_changes(db_.handle()); };
    row.hold_writes(true);
    ASSERT_TRUE(cursor.seek(text("8001")));
    const int before = changes();
    row.edit();
    row.set("prezzo", real(2.0));
    row.update();
    row.edit();
    row.set("flagagg", text("T"));
    row.update();
    EXPECT_EQ(stored("8001"), "1.5/A") << "held in memory";
    EXPECT_DOUBLE_EQ(row.number("prezzo"), 2.0) << "the row shows what was set";
    EXPECT_EQ(row.text("flagagg"), "T");
    EXPECT_EQ(changes(), before);

    ASSERT_TRUE(cursor.seek(text("8002")));  // leaving the row writes it, once
    EXPECT_EQ(stored("8001"), "2.0/T");
    EXPECT_EQ(changes(), before + 1);

    row.edit();
    row.set("prezzo", real(0.5));
    row.update();
    row.hold_writes(false);  // releasing writes what is held
    EXPECT_EQ(stored("8002"), "0.5/A");
    row.edit();
    row.set("prezzo", real(0.75));
    row.update();
    EXPECT_EQ(stored("8002"), "0.75/A") << "no longer held";

    // A row deleted behind the cursor's back: the held write fails loudly, then not again.
    row.hold_writes(true);
    row.edit();
    row.set("prezzo", real(9.0));
    row.update();
    db_.execute("DELETE FROM codean WHERE eanare='8002'");
    EXPECT_THROW(row.write_held(), DbError);
    EXPECT_NO_THROW(row.write_held());

    // Reopening the channel writes what the old record set held.
    Channel ch("codean2");
    auto& rs = ch.select(db_, "codean", "eanare = ?", {text("8004")});
    rs.hold_writes(true);
    rs.edit();
    rs.set("flagagg", text("Z"));
    rs.update();
    ch.select(db_, "codean", "eanare = ?", {text("8001")});
    EXPECT_EQ(stored("8004"), "2.0/Z");
}

TEST_F(RecordSetTest, AParameterAUseLeavesUnboundIsNullNotTheEarlierValue) {
    const std::string sql = "SELECT count(*) FROM codean WHERE eanare <> ?1 AND desart IS ?2";
    EXPECT_EQ(to_int(db_.scalar(sql, {text("8001"), text("Latte")})), 1);
    EXPECT_EQ(to_int(db_.scalar(sql, {text("8002"), text("Latte")})), 0) << "both bound anew";
    // Only ?1 this time: ?2 is NULL and finds the row without a description; the
    // earlier "Latte" would find none.
    EXPECT_EQ(to_int(db_.scalar(sql, {text("8002")})), 1);
}

TEST_F(RecordSetTest, MidAndTrimFollowTheOriginalDialect) {
    EXPECT_EQ(to_text(db_.scalar("SELECT mid('2123456012345', 1, 7)")), "2123456");
    EXPECT_EQ(to_text(db_.scalar("SELECT mid('abcdef', 3)")), "cdef");
    EXPECT_EQ(to_text(db_.scalar("SELECT mid('abc', 5, 2)")), "");
    EXPECT_TRUE(is_null(db_.scalar("SELECT mid(NULL, 1, 2)")));
    EXPECT_EQ(to_text(db_.scalar("SELECT '[' || trim('  a b  ') || ']'")), "[a b]");
    EXPECT_EQ(to_text(db_.scalar("SELECT '[' || trim(?) || ']'", {text("\tx ")})), "[\tx]")
        << "only blanks are trimmed";
}

TEST_F(RecordSetTest, TransactionRollsBackUnlessCommitted) {
    {
        Transaction tx(db_);
        add("9001", "x", 1, 1, "A");
    }
    EXPECT_EQ(to_int(db_.scalar("SELECT count(*) FROM codean WHERE eanare='9001'")), 0);
    {
        Transaction tx(db_);
        add("9002", "y", 1, 1, "A");
        tx.commit();
    }
    EXPECT_EQ(to_int(db_.scalar("SELECT count(*) FROM codean WHERE eanare='9002'")), 1);
}

TEST_F(RecordSetTest, ASavepointUndoesOnlyItsOwnRowUnlessReleased) {
    const auto rows = [this](const char* ean) {
        return to_int(db_.scalar("SELECT count(*) FROM codean WHERE eanare = ?", {Value(std::string(ean))}));
    };
    {
        Transaction tx(db_);
        add("9101", "before", 1, 1, "A");
        {
            Savepoint kept(db_, "riga");
            add("9102", "kept", 1, 1, "A");
            kept.release();
        }
        {
            Savepoint dropped(db_, "riga");
            add("9103", "dropped", 1, 1, "A");
        }  // left without release: undone by the destructor
        {
            Savepoint failed(db_, "riga");
            add("9104", "failed", 1, 1, "A");
            EXPECT_TRUE(failed.undo()) << "the transaction goes on";
        }
        add("9105", "after", 1, 1, "A");
        EXPECT_TRUE(db_.in_transaction());
        tx.commit();
    }
    EXPECT_EQ(rows("9101"), 1);
    EXPECT_EQ(rows("9102"), 1);
    EXPECT_EQ(rows("9103"), 0);
    EXPECT_EQ(rows("9104"), 0);
    EXPECT_EQ(rows("9105"), 1);

    // A failure that ended the whole transaction leaves nothing to undo: undo says so,
    // and the destructor of a savepoint left open does not throw.
    {
        Transaction tx(db_);
        Savepoint gone(db_, "riga");
        add("9106", "gone", 1, 1, "A");
        db_.exec("ROLLBACK");
        EXPECT_FALSE(gone.undo());
    }
    EXPECT_NO_THROW({
        Transaction tx(db_);
        Savepoint open(db_, "riga");
        db_.exec("ROLLBACK");
    });
    EXPECT_EQ(rows("9106"), 0);
    EXPECT_FALSE(db_.in_transaction());
}

TEST(ColumnNames, FoundWhateverTheirCaseTheFirstOfTwoSpellingsAnswering) {
    // Enough names to fill several probe runs of the index.
    std::vector<std::string> names;
    for (int i = 0; i < 120; ++i) names.push_back("campo" + std::to_string(i));
    names.push_back("dscColore");
    names.push_back("DSCCOLORE");  // the same name in other case: the first one answers
    names.push_back("Qta\xC3\xA0");    // bytes outside ASCII are compared as they are
    names.push_back("");
    names.push_back("codicearticolo1");  // same length and first eight bytes as the next
    names.push_back("codicearticolo2");
    // Longer than sixteen bytes, alike at both ends: only the middle tells them apart.
    names.push_back("giacenza_A_di_magazzino");
    names.push_back("giacenza_B_di_magazzino");
    names.push_back("sedici_caratteri");  // exactly sixteen
    const Columns columns(names);

    for (int i = 0; i < 120; ++i) {
        ASSERT_EQ(columns.find("campo" + std::to_string(i)), i);
        ASSERT_EQ(columns.find("CAMPO" + std::to_string(i)), i);
    }
    EXPECT_EQ(columns.find("dsccolore"), 120);
    EXPECT_EQ(columns.find("DSCCOLORE"), 120);
    EXPECT_EQ(columns.find("qTA\xC3\xA0"), 122);
    EXPECT_EQ(columns.find("QTA\xC3\x80"), std::nullopt) << "no folding beyond ASCII";
    EXPECT_EQ(columns.find(""), 123);
    EXPECT_EQ(columns.find("codicearticolo1"), 124);
    EXPECT_EQ(columns.find("codicearticolo2"), 125);
    EXPECT_EQ(columns.find("CODICEARTICOLO2"), 125);
    EXPECT_EQ(columns.find("codicearticolo3"), std::nullopt);
    EXPECT_EQ(columns.find("giacenza_A_di_magazzino"), 126);
    EXPECT_EQ(columns.find("giacenza_B_di_magazzino"), 127);
    EXPECT_EQ(columns.find("GIACENZA_b_DI_MAGAZZINO"), 127);
    EXPECT_EQ(columns.find("giacenza_C_di_magazzino"), std::nullopt);
    EXPECT_EQ(columns.find("sedici_caratteri"), 128);
    EXPECT_EQ(columns.find("sedici_caratterI"), 128);
    EXPECT_EQ(columns.find("sedici_caratteri_"), std::nullopt);
    EXPECT_EQ(columns.find("sedici_caratter"), std::nullopt);
    EXPECT_EQ(columns.find("campo120"), std::nullopt);
    EXPECT_EQ(columns.find("campo1 "), std::nullopt);
    EXPECT_EQ(columns.find("campo"), std::nullopt);
    EXPECT_EQ(columns.find("dscColor"), std::nullopt);
    EXPECT_THROW(columns.index("nessuno"), DbError);

    const Columns none(std::vector<std::string>{});
    EXPECT_EQ(none.find("campo0"), std::nullopt);
}

TEST(DatabaseOpen, MissingOrDamagedFilesFailClearly) {
    testing::TempDir dir;
    EXPECT_THROW(Database(dir.path() / "absent.mdb"), DbError) << "a missing file is never created";
    auto junk = dir.path() / "junk.mdb";
    FILE* f = std::fopen(junk.c_str(), "wb");
    std::fputs("this is not a database file at all, just some text that goes on", f);
    std::fclose(f);
    try {
        Database d(junk);
        FAIL() << "a damaged file must fail at open";
    } catch (const DbError& e) {
        EXPECT_NE(std::string(e.what()).find("junk.mdb"), std::string::npos) << e.what();
    }
}

TEST(ValueConversion, NullsAndTextsConvertAsTheDatabasesDo) {
    EXPECT_EQ(to_int(text(" 12 ")), 12);
    EXPECT_DOUBLE_EQ(to_double(text("1,5")), 1.5);
    EXPECT_THROW(to_int(kNull), DbError);
    EXPECT_THROW(to_double(text("abc")), DbError);
    EXPECT_EQ(to_int_or(kNull, 7), 7);
    EXPECT_EQ(to_text(kNull), "");
    EXPECT_TRUE(values_equal(text("3"), integer(3)));
    EXPECT_FALSE(values_equal(kNull, kNull)) << "null never equals anything";
    EXPECT_FALSE(values_equal(integer(9007199254740993), integer(9007199254740992)))
        << "whole numbers past 2^53 are told apart";
    EXPECT_TRUE(values_equal(integer(9007199254740993), integer(9007199254740993)));
    EXPECT_TRUE(values_equal(integer(2), real(2.0)));
}

TEST(ValueConversion, WholeNumbersOutsideThe64BitRangeAreRefused) {
    EXPECT_EQ(to_int(real(9.2e18)), 9200000000000000000);
    EXPECT_EQ(to_int(real(-0x1p63)), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(to_int(real(2.5)), 2) << "halves to even";
    EXPECT_EQ(to_int(text("9.2e18")), 9200000000000000000);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    const std::string outside = " to a whole number: outside the 64-bit range";
    struct Case {
        const char* name;
        Value value;
        std::string message;
    };
    for (const Case& c : {Case{"1e19", real(1e19), "cannot convert 1e+19" + outside},
                          Case{"-1e19", real(-1e19), "cannot convert -1e+19" + outside},
                          Case{"2^63", real(0x1p63), "cannot convert 9223372036854775808" + outside},
                          Case{"NaN", real(nan), "cannot convert nan to a whole number"},
                          Case{"infinity", real(infinity), "cannot convert inf to a whole number"},
                          Case{"text 1e19", text("1e19"), "cannot convert '1e19'" + outside}}) {
        SCOPED_TRACE(c.name);
        try {
            to_int(c.value);
            ADD_FAILURE() << "converted";
        } catch (const DbError& e) {
            EXPECT_EQ(e.what(), c.message);
        }
        EXPECT_THROW(to_int_or(c.value, 0), DbError) << "the fallback is for a null only";
    }
}

}  // namespace
}  // namespace cassasync::data
