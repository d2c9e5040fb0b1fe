// Checks a register's value before it enters the back office. A register's columns may
// hold any type and any size: a text where a quantity belongs, a quantity of 1e300 or
// infinity, a date thousands of years away, a department that is no number would become
// garbage in the central files (stock become infinite, a document filed under a year
// that does not exist, an article no sale can find a department for). Each intake lists
// its fields with the kind each must be; a value that is not is refused with a cause, in
// Italian for the log, and its row is held.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "data/record_set.h"
#include "data/value.h"

namespace cassasync::data {

enum class FieldKind {
    amount,    // a finite number a double holds to the fourth decimal
    whole,     // a finite number within 32 bits
    whole16,   // a finite number within 16 bits
    code,      // as whole, and never NULL or empty: a key other rows are found by
    day,       // a day serial within the accepted days, or 0 / NULL for none
    time,      // a time of day, or a date and time within the accepted days
};

struct FieldCheck {
    const char* name;
    FieldKind kind;
};

// The days a register's value may name, as day serials: 1 January 1990 to 31 December
// 2100. No register of the shop wrote a date before the first, and a date past the
// second is a register clock gone wrong.
long first_accepted_day();
long last_accepted_day();

// Why `value` cannot be taken as a field of that kind; nothing when it can. NULL is
// accepted except for a code: it stays what it always was, an empty text or a 0.
std::optional<std::string> refusal(const FieldCheck& field, const Value& value);

// The first refusal among the current row's `fields`.
std::optional<std::string> refusal_of(const RecordSet& row, std::span<const FieldCheck> fields);

// A value as a cause shows it: a long text is cut, the cause stays one line.
std::string shown(const Value& value);

}  // namespace cassasync::data
