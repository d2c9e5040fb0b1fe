// The health views of the real service on a demo shop, each from outside as its user
// sees it: the status server hammered with malformed requests while cycles run (every
// cycle still completes), the service manager's notifications read from a fake
// NOTIFY_SOCKET (READY, STATUS, WATCHDOG, and no WATCHDOG while a cycle is stuck on a
// locked file), and the page rendered by a headless browser.
#include <gtest/gtest.h>
#include <httplib.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "data/database.h"
#include "support/child_process.h"
#include "support/json_value.h"
#include "support/raw_http.h"
#include "support/programs.h"
#include "support/shop_fixture.h"

namespace cassasync::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kShop = CASSASYNC_BINARY_DIR "/tools/cassasync-shop";
const std::string kChromium = "/usr/bin/chromium";

// A unix datagram socket standing in for the service manager's.
class NotifySocket {
public:
    explicit NotifySocket(const fs::path& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        path.string().copy(a.sun_path, sizeof a.sun_path - 1);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            throw std::runtime_error("cannot bind " + path.string());
        }
    }
    ~NotifySocket() { ::close(fd_); }
    // The messages that arrive within `limit`.
    std::vector<std::string> read_for(std::chrono::milliseconds limit) {
        std::vector<std::string> out;
        const auto until = std::chrono::steady_clock::now() + limit;
        while (true) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  until - std::chrono::steady_clock::now()).count();
            if (left <= 0) return out;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) return out;
            char buf[4096];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n > 0) out.emplace_back(buf, static_cast<std::size_t>(n));
        }
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
    int fd_ = -1;
};

int count_of(const std::vector<std::string>& messages, const std::string& prefix) {
    int n = 0;
    for (const auto& m : messages) n += m.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
}

class HealthServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(run_program({kShop, "demo", "--root", shop().string()}, dir_.path() / "shop.txt", 60s), 0)
            << tail_of(dir_.path() / "shop.txt", 20);
    }
    fs::path shop() const { return dir_.path() / "shop"; }
    // The service on a free loopback port, with a fast tick; waits until it serves.
    void start(ChildOptions options = {}) {
        const auto argv =
            service_command({"--root", shop().string(), "--headless", "--tick-ms", "50"}, "127.0.0.1:0");
        options.error = dir_.path() / "service.err";
        service_ = std::make_unique<ChildProcess>(argv, dir_.path() / "service.out", options);
        const std::regex url(R"(Pagina di stato: http://127\.0\.0\.1:([0-9]+)/)");
        for (int i = 0; i < 300 && port_ == 0; ++i) {
            std::smatch m;
            const std::string err = service_->err();
            if (std::regex_search(err, m, url)) port_ = std::stoi(m[1]);
            else std::this_thread::sleep_for(20ms);
        }
        ASSERT_GT(port_, 0) << service_->err();
    }
    Json status() {
        httplib::Client c("127.0.0.1", port_);
        c.set_read_timeout(5, 0);
        const auto res = c.Get("/status.json");
        if (!res || res->status != 200) throw std::runtime_error("no status");
        return Json::parse(res->body);
    }
    double last_cycle() { return status()["service"]["last_cycle"].number(); }
    void TearDown() override {
        if (service_ && service_->running()) {
            service_->send(SIGTERM);
            EXPECT_EQ(service_->wait_for(20s), 0) << service_->err();
        }
    }

    TempDir dir_;
    std::unique_ptr<ChildProcess> service_;
    int port_ = 0;
};

TEST_F(HealthServiceTest, MalformedRequestsNeverStopOrSlowTheCycles) {
    start();
    const double before = last_cycle();
    // Requests cut, doubled, garbled and oversized, sent as fast as they are answered.
    const std::string big(30000, 'x');
    const std::vector<std::string> shapes = {
        "GET / HTTP/1.1\r\n\r\n", "GET /status.json HTTP/1.0\r\nHost: a\r\n\r\n", "POST / HTTP/1.1\r\n\r\n",
        "GET /" + big + " HTTP/1.1\r\n\r\n", "GET / HTTP/1.1\r\nX: " + big + "\r\n\r\n", "\r\n\r\n",
        "GET /metrics HTTP/1.1\r\nContent-Length: -5\r\n\r\n", "GET /../../etc/passwd HTTP/1.1\r\n\r\n",
        "GET /%00%ff HTTP/1.1\r\n\r\n", "HEAD /status.json?token=%zz HTTP/1.1\r\n\r\n",
        "GET / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", "GET http://x/ HTTP/1.1\r\n\r\n"};
    std::mt19937 random(7);
    const auto until = std::chrono::steady_clock::now() + 3s;
    int sent = 0;
    int answered = 0;
    double longest_ms = 0;
    while (std::chrono::steady_clock::now() < until) {
        if (sent % 10 == 0) longest_ms = std::max(longest_ms, status()["service"]["last_cycle_ms"].number());
        std::string bytes = shapes[random() % shapes.size()];
        // Some requests lose their end, some get bytes of noise in the middle.
        if (random() % 3 == 0) bytes.resize(random() % (bytes.size() + 1));
        if (random() % 4 == 0) bytes.insert(random() % (bytes.size() + 1), 1, static_cast<char>(random() % 256));
        const int code = raw_http_status(port_, bytes, 100ms);
        ++sent;
        answered += code != 0 ? 1 : 0;
        EXPECT_TRUE(code == 0 || code == 200 || (code >= 400 && code < 500) || code == 505) << code;
    }
    const Json after = status();
    const double cycles = after["service"]["last_cycle"].number() - before;
    EXPECT_GT(sent, 20);
    EXPECT_GT(answered, 0);
    // A cycle about every two 50 ms ticks, each of a demo shop's few milliseconds (or the
    // echo's wait where no echo comes): the machine may be busy, the bounds are wide.
    EXPECT_GE(cycles, 3) << sent << " requests sent";
    EXPECT_LT(longest_ms, 2000) << "no cycle waited for the server";
    EXPECT_EQ(after["service"]["cycles_failed"].number(), 0);
    EXPECT_TRUE(service_->running());
}

TEST_F(HealthServiceTest, TheServiceManagerHearsReadyStatusAndAWatchdogOnlyWhileCyclesComplete) {
    NotifySocket manager(dir_.path() / "notify");
    ChildOptions options;
    options.set_env["NOTIFY_SOCKET"] = manager.path().string();
    start(options);
    auto heard = manager.read_for(1500ms);
    ASSERT_FALSE(heard.empty()) << service_->err();
    EXPECT_EQ(heard.front(), "READY=1");
    EXPECT_GE(count_of(heard, "STATUS=ciclo "), 2);
    EXPECT_GE(count_of(heard, "WATCHDOG=1"), 2);

    // The main file locked by another program: every cycle now waits on it, as on a
    // share that stopped answering, and no cycle completes while it lasts.
    {
        data::Database main(shop() / "C" / "tarvi" / "dati.mdb");
        main.exec("BEGIN EXCLUSIVE");
        manager.read_for(400ms);  // a cycle past its last central access may still end
        heard = manager.read_for(2500ms);
        EXPECT_EQ(count_of(heard, "WATCHDOG=1"), 0);
        // The page still answers: it reads the last snapshot, not the files.
        EXPECT_NO_THROW(status());
        main.exec("ROLLBACK");
    }
    heard = manager.read_for(12s);
    EXPECT_GE(count_of(heard, "WATCHDOG=1"), 1) << "pings again once cycles complete";

    service_->send(SIGTERM);
    EXPECT_EQ(service_->wait_for(20s), 0);
    EXPECT_EQ(count_of(manager.read_for(300ms), "STOPPING=1"), 1);
}

TEST_F(HealthServiceTest, TheBrowserShowsOneRowPerRegisterWithItsState) {
    if (!fs::exists(kChromium)) GTEST_SKIP() << kChromium << " is not installed: the page cannot be rendered here";
    start();
    // Two cycles at least, so the page has every register's state.
    for (int i = 0; i < 100 && last_cycle() < 2; ++i) std::this_thread::sleep_for(50ms);
    const fs::path dom = dir_.path() / "dom.html";
    const int code = run_program({kChromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                                  "--user-data-dir=" + (dir_.path() / "browser").string(),
                                  "--virtual-time-budget=2000", "--dump-dom",
                                  "http://127.0.0.1:" + std::to_string(port_) + "/"},
                                 dom, 60s);
    ASSERT_EQ(code, 0) << tail_of(dom, 20);
    const std::string text = read_text_file(dom);
    const Json now = status();
    const auto& regs = now["registers"].array();
    ASSERT_EQ(regs.size(), 3u);
    // Rows made by the page's script from the data: one per register, its state as class
    // and in the state cell.
    const std::regex row(R"re(<tr class="([a-z]+)" id="cassa-([0-9]+)"><td>([0-9]+)</td><td class="state">([a-z]+)</td>)re");
    int rows = 0;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), row); it != std::sregex_iterator(); ++it) {
        const auto& m = *it;
        ++rows;
        const std::size_t n = std::stoul(m[2]);
        ASSERT_GE(n, 1u);
        ASSERT_LE(n, regs.size());
        EXPECT_EQ(m[1], m[4]);
        EXPECT_EQ(m[3], m[2]);
        EXPECT_EQ(m[1].str(), regs[n - 1]["state"].text()) << "register " << n;
    }
    EXPECT_EQ(rows, 3) << text.substr(0, 2000);
    EXPECT_NE(text.find("casse collegate"), std::string::npos) << "the service's line";
}

}  // namespace
}  // namespace cassasync::testing
