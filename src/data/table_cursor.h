// A keyed table cursor: one table searched by one index with seek("="), the current
// row read and changed in place. Used where a step looks up the same table once per
// receipt line (departments, price list, barcodes); the lookup is a cached, indexed
// statement, so a seek costs microseconds whatever the size of the table. A text key
// compares as the file compares texts; a blank-padded key (Compare::key) is found with
// or without its trailing blanks (text_match.h).
#pragma once

#include <string>
#include <vector>

#include "data/record_set.h"

namespace cassasync::data {

class TableCursor {
public:
    // `fields`: the fields read or set through the cursor; empty for all of them.
    TableCursor(Database& db, std::string table, std::string key_column,
                const std::vector<std::string>& fields = {}, Compare compare = Compare::equal);
    bool seek(const Value& key);   // true when a row with key = value exists
    bool no_match() const { return set_.no_match(); }
    RecordSet& row() { return set_; }  // the row found, for reading and edit/update

private:
    Channel channel_;
    Database& db_;
    std::string table_;
    std::string key_;
    Compare compare_;
    RecordSet& set_;
};

}  // namespace cassasync::data
