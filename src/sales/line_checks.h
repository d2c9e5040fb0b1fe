// What a register line must be before the import takes it. The register's columns may
// hold any type and any size: a text where a quantity belongs, a quantity of 1e300 or
// infinity, a date thousands of years away would become garbage in the back office
// (stock become infinite, a document filed under a year that does not exist). Such a
// line is refused with its cause and held; a NULL stays what it always was, an empty
// text or a 0.
#pragma once

#include <optional>
#include <string>

#include "data/record_set.h"

namespace cassasync::sales {

// Receipt days the import accepts, as day serials: 1 January 1990 to 31 December 2100.
// No register of the shop rang a line before the first, and a date past the second is a
// register clock gone wrong. A date of 0 (none) stays accepted, as a NULL.
long first_receipt_day();
long last_receipt_day();

// Why the current row of a record set on `movimenti` cannot be taken as it stands, in
// Italian for the log; nothing when it can.
std::optional<std::string> refusal_of(const data::RecordSet& rs);

}  // namespace cassasync::sales
