#include "masterdata/text_fields.h"

#include "base/text.h"

namespace cassasync::masterdata {

data::Value left_chars(const data::Value& value, std::size_t count) {
    if (data::is_null(value)) return value;
    return data::text(base::left_chars(data::to_text(value), count));
}

}  // namespace cassasync::masterdata
