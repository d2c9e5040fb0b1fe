// Tells the service manager how the service is doing: ready after start-up, a status
// line after each cycle, a watchdog ping while cycles complete. Without a manager
// listening (no NOTIFY_SOCKET) every call does nothing. Safe from any one thread.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace cassasync::platform {

class ServiceNotifier {
public:
    virtual ~ServiceNotifier() = default;
    virtual void ready() = 0;
    virtual void status(const std::string& line) = 0;
    virtual void watchdog() = 0;
    virtual void stopping() = 0;
    // The watchdog interval the manager asked for, if any.
    virtual std::optional<std::chrono::microseconds> watchdog_interval() const = 0;
};

class SystemdNotifier : public ServiceNotifier {
public:
    void ready() override;
    void status(const std::string& line) override;
    void watchdog() override;
    void stopping() override;
    std::optional<std::chrono::microseconds> watchdog_interval() const override;
};

}  // namespace cassasync::platform
