// The status server in process, on a free loopback port, over a health model filled by
// the real cycle on real files (register 1 answering, register 2 not): each route's
// content, the JSON document's shape and values, the metrics against a strict reading of
// the Prometheus text format, the token rule, the listen option, and bad requests
// (unknown paths, other methods, huge headers and addresses, garbage, slow clients).
#include <gtest/gtest.h>
#include <httplib.h>

#include <map>
#include <memory>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "frame/cycle.h"
#include "status_page/status_server.h"
#include "status_page/status_views.h"
#include "support/json_value.h"
#include "support/raw_http.h"
#include "support/shop_fixture.h"

namespace cassasync::status_page {
namespace {

using testing::Json;
using namespace std::chrono_literals;

class StatusServerTest : public testing::ShopTest {
protected:
    void SetUp() override {
        add_register(1);
        add_register(2, false);
        ready();
        frame::ProcessingCycle cycle(*ctx_);
        cycle.Elabora_Casse();
        ctx_->health.set_started(frame::clock_seconds(clock_.now()), "/var/log/test.txt");
    }
    // A server on a free loopback port.
    StatusServer& serve(const std::string& token = {}, int threads = 4, std::chrono::seconds timeout = 5s) {
        server_ = std::make_unique<StatusServer>(ctx_->health,
                                                 ServerOptions{{"127.0.0.1", 0}, token, threads, timeout});
        const Status st = server_->start();
        EXPECT_TRUE(st) << st.message();
        EXPECT_GT(server_->port(), 0);
        return *server_;
    }
    httplib::Client client() { return httplib::Client("127.0.0.1", server_->port()); }
    std::unique_ptr<StatusServer> server_;
};

TEST_F(StatusServerTest, EachRouteServesTheSnapshot) {
    serve();
    EXPECT_EQ(server_->url(), "http://127.0.0.1:" + std::to_string(server_->port()) + "/");
    auto c = client();
    const auto snap = ctx_->health.snapshot();

    const auto json = c.Get("/status.json");
    ASSERT_TRUE(json);
    EXPECT_EQ(json->status, 200);
    EXPECT_EQ(json->get_header_value("Content-Type"), "application/json");
    const Json doc = Json::parse(json->body);
    const auto& service = doc["service"];
    EXPECT_EQ(service["last_cycle"].number(), 1);
    EXPECT_EQ(service["log_file"].text(), "/var/log/test.txt");
    EXPECT_EQ(service["started"].text(), frame::clock_text(snap.service.started));
    EXPECT_FALSE(service["last_cycle_failed"].boolean());
    EXPECT_TRUE(service["disk_free_bytes"].is_number());
    const auto& regs = doc["registers"].array();
    ASSERT_EQ(regs.size(), 2u);
    // Every register carries the same members, of the same kinds.
    const std::map<std::string, std::string> kinds = {
        {"number", "n"}, {"state", "t"}, {"reached", "b"}, {"lines_waiting", "n?"}, {"held", "n"},
        {"held_rows", "a"}, {"semaphore", "t"}, {"lines_today", "n"}, {"receipts_today", "n"},
        {"takings_today", "n"}, {"document_today", "n?"}, {"document_today_registered", "b"},
        {"earlier_documents_waiting", "n"}, {"cards_waiting", "n"}, {"last_complete_cycle", "n"},
        {"reached_since", "t?"}, {"semaphore_register_since", "t?"}, {"oldest_waiting_age_s", "n"}};
    for (const auto& r : regs) {
        for (const auto& [name, kind] : kinds) {
            const Json& v = r[name];
            const bool ok = (kind[0] == 'n' && v.is_number()) || (kind[0] == 't' && v.is_text()) ||
                            (kind[0] == 'b' && v.is_bool()) || (kind[0] == 'a' && v.is_array()) ||
                            (kind.size() == 2 && v.is_null());
            EXPECT_TRUE(ok) << "register " << r["number"].number() << " member " << name;
        }
    }
    EXPECT_EQ(regs[0]["state"].text(), "ok");
    EXPECT_EQ(regs[0]["semaphore"].text(), "free");
    EXPECT_EQ(regs[0]["lines_waiting"].number(), 0);
    EXPECT_EQ(regs[1]["state"].text(), "unreached");
    EXPECT_TRUE(regs[1]["lines_waiting"].is_null());

    const auto page = c.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
    // Self-contained: the data inline, nothing fetched from elsewhere.
    EXPECT_NE(page->body.find("const initial = " + status_json(ctx_->health.snapshot())), std::string::npos);
    EXPECT_EQ(page->body.find("src="), std::string::npos);
    EXPECT_EQ(page->body.find("href="), std::string::npos);
    EXPECT_NE(page->body.find("setInterval"), std::string::npos);

    const auto head = c.Head("/metrics");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 200);
    EXPECT_TRUE(head->body.empty());
}

TEST_F(StatusServerTest, MetricsFollowThePrometheusTextFormat) {
    serve();
    const auto res = client().Get("/metrics");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), "text/plain; version=0.0.4");
    const std::regex help(R"(# HELP (cassasync_[a-z_]+) [^\n]+)");
    const std::regex type(R"(# TYPE (cassasync_[a-z_]+) (counter|gauge))");
    const std::regex sample(
        R"re((cassasync_[a-z_]+)(\{register="([0-9]+)"\})? (-?[0-9]+(\.[0-9]+)?([eE][-+]?[0-9]+)?))re");
    std::istringstream in(res->body);
    std::string line, typed, type_of;
    std::map<std::string, std::map<std::string, double>> values;  // family -> register -> value
    std::set<std::string> families;
    int samples = 0;
    while (std::getline(in, line)) {
        std::smatch m;
        if (std::regex_match(line, m, help)) {
            EXPECT_TRUE(families.insert(m[1]).second) << "family told twice: " << line;
        } else if (std::regex_match(line, m, type)) {
            typed = m[1];
            type_of = m[2];
            EXPECT_TRUE(families.count(typed)) << "TYPE without HELP: " << line;
            if (type_of == "counter") {
                EXPECT_TRUE(typed.ends_with("_total")) << line;
            }
        } else if (std::regex_match(line, m, sample)) {
            ++samples;
            EXPECT_EQ(m[1], typed) << "a sample outside its family: " << line;
            values[m[1]][m[3]] = std::stod(m[4]);
        } else {
            ADD_FAILURE() << "not a line of the text format: \"" << line << "\"";
        }
    }
    EXPECT_TRUE(res->body.ends_with("\n"));
    EXPECT_GT(samples, 20);
    const auto snap = ctx_->health.snapshot();
    EXPECT_EQ(values["cassasync_cycles_total"][""], static_cast<double>(snap.service.last_cycle));
    EXPECT_EQ(values["cassasync_register_reached"]["1"], 1);
    EXPECT_EQ(values["cassasync_register_reached"]["2"], 0);
    EXPECT_EQ(values["cassasync_register_last_complete_cycle"]["1"], snap.service.last_cycle);
    for (const auto& [family, by_register] : values) {
        if (family.starts_with("cassasync_register_")) {
            EXPECT_EQ(by_register.size(), 2u) << family;
        }
    }
}

TEST_F(StatusServerTest, WithATokenEveryRequestNeedsIt) {
    serve("s3cret-Token");
    auto c = client();
    struct Case {
        const char* what;
        httplib::Headers headers;
        std::string path;
        int status;
    };
    const std::vector<Case> cases = {
        {"no token", {}, "/status.json", 401},
        {"wrong header", {{"X-Status-Token", "s3cret-Tokem"}}, "/status.json", 401},
        {"a prefix of it", {{"X-Status-Token", "s3cret"}}, "/metrics", 401},
        {"wrong query", {}, "/?token=nope", 401},
        {"wrong bearer", {{"Authorization", "Bearer s3cret-token"}}, "/", 401},
        {"header", {{"X-Status-Token", "s3cret-Token"}}, "/status.json", 200},
        {"bearer", {{"Authorization", "Bearer s3cret-Token"}}, "/metrics", 200},
        {"query", {}, "/?token=s3cret-Token", 200},
        {"query, unknown path", {}, "/x?token=s3cret-Token", 404},
    };
    for (const auto& k : cases) {
        const auto res = c.Get(k.path, k.headers);
        ASSERT_TRUE(res) << k.what;
        EXPECT_EQ(res->status, k.status) << k.what;
        if (k.status == 401) {
            EXPECT_EQ(res->body.find("registers"), std::string::npos) << k.what;
        }
    }
    // Beyond the loopback network only with a token: refused before anything listens.
    StatusServer open_door(ctx_->health, ServerOptions{{"0.0.0.0", 0}, ""});
    const Status refused = open_door.start();
    EXPECT_FALSE(refused);
    EXPECT_NE(refused.message().find("--status-token"), std::string::npos) << refused.message();
}

TEST_F(StatusServerTest, TheListenOptionAndTheTokenFile) {
    struct Case {
        const char* text;
        bool ok;
        std::string host;
        int port;
    };
    for (const Case& k : {Case{"127.0.0.1:8750", true, "127.0.0.1", 8750}, Case{"127.0.0.9:0", true, "127.0.0.9", 0},
                          Case{"0.0.0.0:80", true, "0.0.0.0", 80}, Case{"127.0.0.1", false, "", 0},
                          Case{"127.0.0.1:", false, "", 0}, Case{":8750", false, "", 0},
                          Case{"localhost:8750", false, "", 0}, Case{"127.0.0.1:65536", false, "", 0},
                          Case{"127.0.0.1:-1", false, "", 0}, Case{"127.0.0.1:12x", false, "", 0}}) {
        if (k.ok) {
            const auto a = parse_listen(k.text);
            ASSERT_TRUE(a.has_value()) << k.text;
            EXPECT_EQ(a->host, k.host) << k.text;
            EXPECT_EQ(a->port, k.port) << k.text;
        } else {
            EXPECT_THROW(parse_listen(k.text), std::invalid_argument) << k.text;
        }
    }
    EXPECT_FALSE(parse_listen("off").has_value());
    EXPECT_TRUE(is_loopback("127.255.0.1"));
    EXPECT_FALSE(is_loopback("128.0.0.1"));
    EXPECT_FALSE(is_loopback("0.0.0.0"));

    const auto file = root_.path() / "token";
    std::ofstream(file) << "  abc-123 \r\n";
    EXPECT_EQ(read_token(file.string()), "abc-123");
    std::ofstream(file, std::ios::trunc) << " \n";
    EXPECT_THROW(read_token(file.string()), std::runtime_error);
    EXPECT_THROW(read_token((root_.path() / "none").string()), std::runtime_error);
}

TEST_F(StatusServerTest, BadRequestsGetTheirRefusalAndSlowClientsDoNotBlockOthers) {
    serve({}, 3, 1s);
    const int port = server_->port();
    const std::string big(20000, 'a');
    struct Case {
        const char* what;
        std::string bytes;
        std::set<int> statuses;
    };
    const std::vector<Case> cases = {
        {"unknown path", "GET /nothing HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", {404}},
        {"post", "POST /status.json HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\nConnection: close\r\n\r\nab", {405}},
        {"delete", "DELETE / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", {405}},
        {"put", "PUT /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 1\r\nConnection: close\r\n\r\nx", {405}},
        {"options", "OPTIONS / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", {405}},
        {"a large body", "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n" + big, {413}},
        {"unknown method", "BREW / HTTP/1.1\r\nHost: x\r\n\r\n", {400, 405}},
        {"garbage", "\x01\x02 nonsense\r\n\r\n", {400}},
        {"huge address", "GET /" + big + " HTTP/1.1\r\nHost: x\r\n\r\n", {414}},
        {"huge header", "GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + big + "\r\n\r\n", {400, 431}},
        {"bad version", "GET / HTTP/9.9\r\nHost: x\r\n\r\n", {400, 505}},
    };
    for (const auto& k : cases) {
        const int status = testing::raw_http_status(port, k.bytes);
        EXPECT_TRUE(k.statuses.count(status)) << k.what << ": " << status;
    }
    // Three slow clients hold the three threads until the read timeout; the server
    // closes them, and then answers again.
    std::vector<std::unique_ptr<testing::SlowClient>> slow;
    for (int i = 0; i < 3; ++i) slow.push_back(std::make_unique<testing::SlowClient>(port, "GET / HTTP/1.1\r\nHo"));
    for (auto& s : slow) EXPECT_TRUE(s->closed_by_server(5s)) << "a slow client is dropped after the read timeout";
    EXPECT_EQ(testing::raw_http_status(port, "GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"), 200);

    // A port already in use: an error to log, no exception, nothing stopped.
    StatusServer second(ctx_->health, ServerOptions{{"127.0.0.1", port}, ""});
    const Status busy = second.start();
    EXPECT_FALSE(busy);
    EXPECT_NE(busy.message().find("127.0.0.1:" + std::to_string(port)), std::string::npos) << busy.message();
    EXPECT_EQ(testing::raw_http_status(port, "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"), 200);
}

}  // namespace
}  // namespace cassasync::status_page
