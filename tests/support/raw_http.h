// A deliberately crude HTTP client for tests of the status server: sends exactly the
// bytes given to 127.0.0.1:port and gives back the status code of the answer (0 when
// the server closed without one), so malformed and slow requests can be sent.
#pragma once

#include <chrono>
#include <string>

namespace cassasync::testing {

int raw_http_status(int port, const std::string& bytes, std::chrono::milliseconds limit = std::chrono::seconds(10));

// A connection that sends `bytes` and then nothing more, as a slow client does; closed
// when the object goes.
class SlowClient {
public:
    SlowClient(int port, const std::string& bytes);
    ~SlowClient();
    SlowClient(const SlowClient&) = delete;
    SlowClient& operator=(const SlowClient&) = delete;
    // True once the server has closed the connection (within `limit`).
    bool closed_by_server(std::chrono::milliseconds limit);

private:
    int fd_ = -1;
};

}  // namespace cassasync::testing
