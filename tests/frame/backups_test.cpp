// Backups on real files: the digest the manifests use, a copy that is whole and
// described, rotation, when a copy is due, and a folder that cannot be written to.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "data/online_backup.h"
#include "data/sha256.h"
#include "frame/backups.h"
#include "frame/cycle.h"
#include "platform/instance_lock.h"
#include "shop/restore.h"
#include "support/shop_fixture.h"

namespace cassasync::frame {
namespace {

using data::Value;

TEST(Sha256, KnownDigests) {
    struct Case {
        const char* name;
        std::string input;
        const char* digest;
    };
    const Case cases[] = {
        {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"two blocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"a million a", std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        data::Sha256 whole;
        whole.update(c.input);
        EXPECT_EQ(whole.hex_digest(), c.digest) << c.name;
        // Fed in uneven pieces across block boundaries.
        data::Sha256 pieces;
        for (std::size_t at = 0; at < c.input.size(); at += 37) pieces.update(std::string_view(c.input).substr(at, 37));
        EXPECT_EQ(pieces.hex_digest(), c.digest) << c.name << " in pieces";
    }
}

class BackupTest : public testing::ShopTest {
protected:
    void SetUp() override {
        add_register(1);
        ready();
        main_db().execute("INSERT INTO clienti (codcliente, dsccliente, tessera) VALUES (1, 'UNO', 'C1'), (2, 'DUE', 'C2')");
        sales_db().execute("INSERT INTO venmo (bannoc, bnumer, bns, totiva) VALUES (2026, 1, 1, 2.5), (2026, 1, 2, 1.0),"
                           " (2026, 1, 3, 4.0)");
        loyalty_db().execute("INSERT INTO movtessere (tipo, tessera, punti) VALUES (23, 'C1', 5)");
    }
    std::filesystem::path copies() const { return root_.path() / "C" / "tarvi" / "bkp" / "copie"; }
    std::map<std::string, std::string> manifest_lines(const std::filesystem::path& folder) {
        std::map<std::string, std::string> by_key;  // "file NAME" / "rows NAME TABLE" -> the rest
        std::ifstream in(folder / shop::kManifestName);
        std::string kind, name, a, b;
        while (in >> kind) {
            if (kind == "#") {
                std::getline(in, a);
                continue;
            }
            in >> name >> a >> b;
            by_key[kind + " " + name + (kind == "rows" ? " " + a : "")] = kind == "rows" ? b : a + " " + b;
        }
        return by_key;
    }
    std::size_t log_count(const std::string& prefix) {
        const auto log = log_messages();
        return static_cast<std::size_t>(std::count_if(log.begin(), log.end(), [&](const std::string& l) {
            return l.rfind(prefix, 0) == 0;
        }));
    }
};

TEST_F(BackupTest, ACopyIsWholeCheckedAndDescribed) {
    const BackupResult made = make_backup(*ctx_, clock_.now());
    ASSERT_TRUE(made.status) << made.status.message();
    EXPECT_EQ(made.folder, copies() / "20261207-100000");
    const auto manifest = manifest_lines(made.folder);
    for (const char* name : {"tarvi.mdb", "dati.mdb", "vendite.mdb", "fidel.mdb"}) {
        const auto copy = made.folder / name;
        ASSERT_TRUE(std::filesystem::exists(copy)) << name;
        EXPECT_EQ(data::integrity_of(copy), "ok") << name;
        ASSERT_TRUE(manifest.count(std::string("file ") + name)) << name;
        EXPECT_EQ(manifest.at(std::string("file ") + name),
                  std::to_string(std::filesystem::file_size(copy)) + " " + *data::sha256_of_file(copy))
            << name;
    }
    EXPECT_EQ(manifest.at("rows dati.mdb clienti"), "2");
    EXPECT_EQ(manifest.at("rows vendite.mdb venmo"), "3");
    EXPECT_EQ(manifest.at("rows fidel.mdb movtessere"), "1");
    // The copy holds the rows, not just the tables.
    data::Database copy(made.folder / "vendite.mdb");
    EXPECT_DOUBLE_EQ(data::to_double(copy.scalar("SELECT sum(totiva) FROM venmo")), 7.5);
}

TEST_F(BackupTest, RotationKeepsTheNewest) {
    ctx_->backups.keep = 3;
    for (int i = 0; i < 5; ++i) {
        clock_.advance_seconds(86400 + 60);
        back_up_if_due(*ctx_, true);
    }
    const auto folders = shop::backup_folders(copies());
    ASSERT_EQ(folders.size(), 3u);
    EXPECT_EQ(folders.back().filename(), "20261212-100500");
    EXPECT_EQ(folders.front().filename(), "20261210-100300");
}

TEST_F(BackupTest, DueAfterTheFirstCloseOfADayAndAtStartUpWhenStale) {
    back_up_if_due(*ctx_, false);
    EXPECT_TRUE(shop::backup_folders(copies()).empty()) << "no close, not at start-up: nothing";
    back_up_if_due(*ctx_, true);
    EXPECT_EQ(shop::backup_folders(copies()).size(), 1u) << "no copy at all at start-up";

    clock_.advance_seconds(3600);
    back_up_if_due(*ctx_, true);
    EXPECT_EQ(shop::backup_folders(copies()).size(), 1u) << "a copy of an hour ago is recent enough";

    // The first close of the day: a copy of today is already there (made at start-up).
    const long today = platform::day_serial(2026, 12, 7);
    ctx_->last_close_day = today;
    back_up_if_due(*ctx_, false);
    EXPECT_EQ(shop::backup_folders(copies()).size(), 1u);

    // The next day: the first close copies, a second close does not.
    clock_.advance_seconds(86400);
    ctx_->last_close_day = today + 1;
    back_up_if_due(*ctx_, false);
    EXPECT_EQ(shop::backup_folders(copies()).size(), 2u);
    clock_.advance_seconds(60);
    back_up_if_due(*ctx_, false);
    EXPECT_EQ(shop::backup_folders(copies()).size(), 2u);
    EXPECT_EQ(log_count("- Copia di sicurezza in "), 1u) << "the new day's log names its one copy";
}

TEST_F(BackupTest, ACopyStoppedHalfWayIsNoCopyAndMakesWayForTheNext) {
    // What a power cut during a copy leaves: a folder without its manifest, under the
    // name of a copy under way.
    const auto stopped = copies() / "20261207-090000-in-corso";
    std::filesystem::create_directories(stopped);
    std::ofstream(stopped / "dati.mdb") << "half a page";
    EXPECT_TRUE(shop::backup_folders(copies()).empty()) << "a copy under way is not one";

    back_up_if_due(*ctx_, true);  // so start-up still finds no copy, and makes one
    const auto folders = shop::backup_folders(copies());
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_EQ(folders.front().filename(), "20261207-100000");
    EXPECT_TRUE(std::filesystem::exists(folders.front() / shop::kManifestName));
    EXPECT_FALSE(std::filesystem::exists(stopped)) << "the stopped copy is cleared away";
    EXPECT_FALSE(std::filesystem::exists(copies() / "20261207-100000-in-corso")) << "the new copy took its name";
    EXPECT_EQ(log_count("- Copia di sicurezza in "), 1u);
}

TEST_F(BackupTest, AnUnwritableFolderIsOneLogLineAndTheCycleGoesOn) {
    // A folder below a plain file can be created by nobody, root included.
    const auto blocker = root_.path() / "not-a-folder";
    std::ofstream(blocker) << "x";
    ctx_->backups.folder = blocker / "copie";
    ctx_->last_close_day = platform::day_serial(2026, 12, 7);  // a copy is due
    ProcessingCycle cycle(*ctx_);
    EXPECT_NO_THROW(cycle.Elabora_Casse());
    EXPECT_EQ(log_count("- Copia di sicurezza non riuscita: cannot create " + (blocker / "copie").string()), 1u);
    EXPECT_TRUE(cycle.last_report().database_named);
    EXPECT_EQ(cycle.last_report().served, 1) << "the registers were served all the same";
}

TEST_F(BackupTest, RestorePutsTheCopyBackAndKeepsTheCurrentFiles) {
    const BackupResult made = make_backup(*ctx_, clock_.now());
    ASSERT_TRUE(made.status) << made.status.message();
    main_db().execute("INSERT INTO clienti (codcliente, dsccliente, tessera) VALUES (3, 'TRE', 'C3')");
    const auto count_clienti = [](const std::filesystem::path& file) {
        data::Database db(file);
        return data::to_int_or(db.scalar("SELECT count(*) FROM clienti"), -1);
    };
    const auto main_file = local("C:\\tarvi\\dati.mdb");

    {
        // While the service holds the shop nothing is touched.
        Status status;
        const auto held = platform::InstanceLock::acquire(root_.path() / "cassasync.lock", status);
        ASSERT_TRUE(held) << status.message();
        const shop::RestoreResult refused = shop::restore_backup(paths_, root_.path(), copies(), "latest", clock_.now());
        EXPECT_FALSE(refused.status);
        EXPECT_NE(refused.status.message().find("stop it first"), std::string::npos) << refused.status.message();
        EXPECT_EQ(count_clienti(main_file), 3);
    }

    // A copy that does not match its manifest is refused, and nothing is touched.
    const auto copy = made.folder / "vendite.mdb";
    const auto original = std::filesystem::temp_directory_path() / (made.folder.filename().string() + "-vendite");
    std::filesystem::copy_file(copy, original, std::filesystem::copy_options::overwrite_existing);
    {
        std::fstream f(copy, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(200);
        f.put('\x5a');
    }
    const shop::RestoreResult damaged = shop::restore_backup(paths_, root_.path(), copies(), "latest", clock_.now());
    EXPECT_FALSE(damaged.status);
    EXPECT_NE(damaged.status.message().find("does not match its SHA-256"), std::string::npos) << damaged.status.message();
    EXPECT_EQ(count_clienti(main_file), 3);
    std::filesystem::copy_file(original, copy, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::remove(original);

    clock_.advance_seconds(60);
    const shop::RestoreResult restored = shop::restore_backup(paths_, root_.path(), copies(), "latest", clock_.now());
    ASSERT_TRUE(restored.status) << restored.status.message();
    EXPECT_EQ(restored.from, made.folder);
    EXPECT_EQ(count_clienti(main_file), 2) << "the copy is in place";
    EXPECT_EQ(restored.set_aside, root_.path() / "C" / "tarvi" / "bkp" / "prima-del-ripristino-20261207-100100");
    EXPECT_EQ(count_clienti(restored.set_aside / "dati.mdb"), 3) << "the replaced file is kept";
    for (const char* name : {"tarvi.mdb", "vendite.mdb", "fidel.mdb"}) {
        EXPECT_TRUE(std::filesystem::exists(restored.set_aside / name)) << name;
    }
}

}  // namespace
}  // namespace cassasync::frame
