// Messages to the system journal at a chosen priority, with fields of our own, for the
// alerts a shop's monitoring picks up. Without a journal the message is lost quietly.
#pragma once

#include <map>
#include <string>

namespace cassasync::platform {

enum class JournalPriority { error = 3, warning = 4, notice = 5 };

void journal_send(JournalPriority priority, const std::string& message,
                  const std::map<std::string, std::string>& fields = {});

}  // namespace cassasync::platform
