#include "masterdata/text_fields.h"

#include <string>

namespace cassasync::masterdata {

data::Value left_chars(const data::Value& value, std::size_t count) {
    if (data::is_null(value)) return value;
    std::string text = data::to_text(value);
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        // A byte that is not a UTF-8 continuation byte starts a new character.
        if ((static_cast<unsigned char>(text[i]) & 0xC0u) != 0x80u) {
            if (chars == count) return data::text(text.substr(0, i));
            ++chars;
        }
    }
    return data::text(text);
}

}  // namespace cassasync::masterdata
