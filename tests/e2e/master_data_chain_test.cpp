// One cycle of the real service on a demo shop whose register 1 holds a new barcode, a
// changed customer and an invoice to recover: all three end up central, with the log
// lines the back office reads.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "data/database.h"
#include "support/child_process.h"
#include "support/service_command.h"
#include "platform/clock.h"
#include "platform/pinger.h"
#include "support/shop_fixture.h"

namespace cassasync::testing {
namespace {

namespace fs = std::filesystem;
using data::Value;

const std::string kShop = CASSASYNC_BINARY_DIR "/tools/cassasync-shop";
const std::string kService = testing::kServiceProgram;

std::vector<std::string> log_messages(const fs::path& folder) {
    std::vector<std::string> out;
    for (const auto& entry : fs::directory_iterator(folder)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            out.push_back(line.size() >= 19 ? line.substr(19) : line);
        }
    }
    return out;
}

int occurrences(const std::vector<std::string>& lines, const std::string& message) {
    int n = 0;
    for (const auto& l : lines) n += l == message;
    return n;
}

TEST(MasterDataChain, OneCycleTakesABarcodeACustomerAndAnInvoiceCentral) {
    if (!platform::IcmpPinger::available()) GTEST_SKIP() << "no ICMP socket can be opened here";
    TempDir work;
    const fs::path root = work.path() / "shop";
    ASSERT_EQ(run_program({kShop, "demo", "--root", root.string()}, work.path() / "shop.txt", std::chrono::minutes(2)), 0)
        << read_text_file(work.path() / "shop.txt");

    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const double today = static_cast<double>(platform::day_serial(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday));
    const std::string today_text = platform::short_date_of_serial(today);

    std::int64_t next_code = 0;
    {
        data::Database main(root / "C" / "tarvi" / "dati.mdb");
        next_code = data::to_int(main.scalar("SELECT max(codart) + 1 FROM listi01"));
        main.execute("INSERT INTO clienti (codcliente, cognome, dsccliente, stato) VALUES (9001, 'VECCHIO', 'VECCHIO', 'A')");
        data::Database reg(root / "net" / "127.0.0.1" / "cassa" / "dati.mdb");
        reg.execute("INSERT INTO codean (eanare, desart, przpub, ivart, codrep, tipart, flagagg) "
                    "VALUES ('8077777777771', 'TORTA DELLA CASSA', 4.5, 10, 1, '1', 'A')");
        reg.execute("INSERT INTO clienti (codcliente, cognome, nome, tessera, stato, flagagg) "
                    "VALUES (9001, 'ROSSI', 'MARIA', '2900000090011', 'A', 'A')");
        reg.execute("INSERT INTO fatte (numero, anno, codtipdoc, dataor, dsccliente, totale, fl1ts) "
                    "VALUES (120, ?, 'FT', ?, 'ROSSI MARIA', 12.2, 'F')",
                    {Value(std::int64_t{local.tm_year + 1900}), Value(today)});
        reg.execute("INSERT INTO fatmo (bnumer, bannoc, codtipdoc, bns, articoli, eanrig, quantita, unitam, totrig) "
                    "VALUES (120, ?, 'FT', 1, 0, '8077777777771', 2, ' ', 10)",
                    {Value(std::int64_t{local.tm_year + 1900})});
    }

    ASSERT_EQ(run_program(testing::service_command({"--root", root.string(), "--headless", "--cycles", "1", "--tick-ms", "50"}),
                          work.path() / "service.txt", std::chrono::minutes(2)),
              0)
        << tail_of(work.path() / "service.txt", 20);

    data::Database main(root / "C" / "tarvi" / "dati.mdb");
    data::Database reg(root / "net" / "127.0.0.1" / "cassa" / "dati.mdb");
    EXPECT_EQ(count_rows(main, "codean", "eanare = '8077777777771' AND codare = ? AND aggi = 'A'", {Value(next_code)}), 1);
    EXPECT_EQ(count_rows(main, "listi01", "codart = ? AND desart = 'TORTA DELLA CASSA'", {Value(next_code)}), 1);
    EXPECT_EQ(count_rows(main, "clienti", "codcliente = 9001 AND dsccliente = 'ROSSI' AND cognome = 'VECCHIO' "
                                          "AND stat_t = 'T'"),
              1)
        << "received, then settled by the end-of-cycle pass";
    EXPECT_EQ(count_rows(main, "fatte", "numero = 120 AND codtipdoc = 'FT' AND fatturadascontrino = 'C'"), 1);
    const std::int64_t code_of_row =
        data::to_int(main.scalar("SELECT articoli FROM fatmo WHERE bnumer = 120 AND codtipdoc = 'FT' AND bns = 1"));
    EXPECT_EQ(code_of_row, next_code) << "the row's article found through the barcode taken in the same cycle";
    EXPECT_EQ(count_rows(reg, "codean", "flagagg = 'A'"), 0);
    EXPECT_EQ(count_rows(reg, "clienti", "flagagg = 'A'"), 0);
    EXPECT_EQ(data::to_int(reg.scalar("SELECT Flag1 FROM Semafori")), 0);

    const auto lines = log_messages(root / "C" / "tarvi" / "bkp");
    EXPECT_EQ(occurrences(lines, "-  Leggo ARTICOLI  cassa 1 8077777777771"), 1);
    EXPECT_EQ(occurrences(lines, "-  Cassa Nr.1Articolo " + std::to_string(next_code)), 1);
    EXPECT_EQ(occurrences(lines, "-  Cassa 1 Cliente ROSSI"), 1);
    EXPECT_EQ(occurrences(lines, "-   Recupero fattura del " + today_text), 1);
    EXPECT_EQ(occurrences(lines, "- Fine recupero fatture 1"), 2) << "the chain runs twice for the register";
}

}  // namespace
}  // namespace cassasync::testing
