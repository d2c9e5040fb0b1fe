#include "data/table_cursor.h"

namespace cassasync::data {

TableCursor::TableCursor(Database& db, std::string table, std::string key_column,
                         const std::vector<std::string>& fields, Compare compare)
    : channel_(table + "." + key_column), db_(db), table_(std::move(table)),
      key_(std::move(key_column)), compare_(compare), set_(channel_.records()) {
    channel_.select(db_, table_, {}, {}, {}, Fetch::on_demand, fields);
}

bool TableCursor::seek(const Value& key) { return set_.find_first({{key_, key, compare_}}); }

}  // namespace cassasync::data
