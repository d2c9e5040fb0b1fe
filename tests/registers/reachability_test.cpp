// Reachability: the host taken out of a register path, the dotted address, and the
// check on top of them. Addresses outside 127.0.0.0/8 are only parsed here, never pinged.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "registers/reachability.h"
#include "support/shop_fixture.h"

namespace cassasync::registers {
namespace {

using testing::address_of;

TEST(HostOfPath, TakesTheTextBetweenTheLeadingPairAndTheNextSeparator) {
    struct Case {
        const char* name;
        std::string path;
        std::optional<std::string> host;
    };
    const std::string fifty_blanks(50, ' ');
    const Case cases[] = {
        {"dotted address", "\\\\127.168.1.21\\cassa\\dati.mdb", "127.168.1.21"},
        {"loopback", "\\\\127.0.0.3\\cassa\\dati.mdb", "127.0.0.3"},
        {"local drive path", "C:\\cassa\\dati.mdb", std::nullopt},
        {"host name", "\\\\cassa1\\share", "cassa1"},
        {"three-part address", "\\\\127.168.1\\share\\dati.mdb", "127.168.1"},
        {"no separator after the host", "\\\\127.0.0.1", std::nullopt},
        {"pair beyond character 50", fifty_blanks + "\\\\127.0.0.1\\cassa\\dati.mdb", std::nullopt},
        {"host ending at character 48", std::string(39, ' ') + "\\\\1.2.3.4\\cassa", "1.2.3.4"},
        {"host ending beyond character 50", std::string(41, ' ') + "\\\\1.2.3.4\\cassa", std::nullopt},
        {"empty", "", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(host_of_path(c.path), c.host) << c.name;
    }
}

TEST(ConvertiIndirizzo, BuildsTheAddressInNetworkOrder) {
    struct Case {
        const char* name;
        std::string dotted;
        std::optional<std::uint32_t> address;
    };
    const Case cases[] = {
        {"four parts", "127.168.1.21", 127u | 168u << 8 | 1u << 16 | 21u << 24},
        {"loopback", "127.0.0.1", 0x0100007Fu},
        {"part above 255 keeps its last byte", "1.2.300.4", 1u | 2u << 8 | 44u << 16 | 4u << 24},
        {"three parts give 0", "127.168.1", 0u},
        {"a host name is one part: 0", "cassa1", 0u},
        {"empty text is one part: 0", "", 0u},
        {"five parts are an error", "1.2.3.4.5", std::nullopt},
        {"a part that is no number", "1.2.x.4", std::nullopt},
        {"an empty part", "1..3.4", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Converti_Indirizzo(c.dotted), c.address) << c.name;
    }
}

class VerificaCassaTest : public testing::ShopTest {};

TEST_F(VerificaCassaTest, OnlyADottedHostThatAnswersIsReachable) {
    pinger_.set_up("127.0.0.3", true);
    EXPECT_TRUE(Verifica_Cassa(ctx_->pinger, "\\\\127.0.0.3\\cassa\\dati.mdb"));
    EXPECT_FALSE(Verifica_Cassa(ctx_->pinger, "\\\\127.0.0.4\\cassa\\dati.mdb")) << "host that does not answer";
    EXPECT_EQ(pinger_.calls(), 2);

    // None of these gets as far as an echo.
    struct Case {
        const char* name;
        std::string path;
    };
    const Case unreachable[] = {
        {"empty path", ""},
        {"local path", "C:\\cassa\\dati.mdb"},
        {"host name", "\\\\cassa1\\share\\dati.mdb"},
        {"three-part address gives address 0", "\\\\127.0.0\\share\\dati.mdb"},
        {"five-part address", "\\\\127.0.0.3.9\\cassa\\dati.mdb"},
        {"pair beyond character 50", std::string(50, 'x') + "\\\\127.0.0.3\\cassa\\dati.mdb"},
        {"fewer than three parts", "\\127.0.0.3"},
    };
    for (const auto& c : unreachable) {
        EXPECT_FALSE(Verifica_Cassa(ctx_->pinger, c.path)) << c.name;
    }
    EXPECT_EQ(pinger_.calls(), 2) << "an unusable path must not be pinged";
}

}  // namespace
}  // namespace cassasync::registers
