// Texts cut to the length of a shorter central field (a 50-character article
// description, a 20-character till description, a 30-character customer name). The
// length counts characters, not bytes, so a cut never splits a character; a null
// stays null, as copying an empty field leaves the target empty.
#pragma once

#include <cstddef>

#include "data/value.h"

namespace cassasync::masterdata {

data::Value left_chars(const data::Value& value, std::size_t count);

}  // namespace cassasync::masterdata
