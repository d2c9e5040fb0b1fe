#include "platform/journal.h"

#include <sys/uio.h>
#include <systemd/sd-journal.h>

#include <vector>

namespace cassasync::platform {

void journal_send(JournalPriority priority, const std::string& message,
                  const std::map<std::string, std::string>& fields) {
    std::vector<std::string> items;
    items.push_back("MESSAGE=" + message);
    items.push_back("PRIORITY=" + std::to_string(static_cast<int>(priority)));
    items.push_back("SYSLOG_IDENTIFIER=cassasync");
    for (const auto& [name, value] : fields) items.push_back(name + "=" + value);
    std::vector<iovec> iov;
    iov.reserve(items.size());
    for (auto& item : items) iov.push_back({item.data(), item.size()});
    sd_journal_sendv(iov.data(), static_cast<int>(iov.size()));
}

}  // namespace cassasync::platform
