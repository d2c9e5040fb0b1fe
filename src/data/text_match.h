// How a lookup compares texts. The shop's databases were made by an engine that
// compares text without regard to letter case, and other programs store the
// 13-character keys (barcodes, card numbers) with or without their trailing blanks.
// So in the back office's files a text condition ignores letter case (SQLite's
// built-in NOCASE: ASCII letters), and a blank-padded key matches in either form.
//
// Both stay index seeks: a key is looked up in its two forms at once
// (`col COLLATE NOCASE IN (padded, trimmed)`), never through trim() around the column,
// and the central schema's indexes on text keys are NOCASE indexes (see main.sql).
//
// A register's file belongs to the register's own software and keeps its own
// (binary) indexes: there texts compare exactly, so those selections stay indexed,
// and a key is still matched in both forms.
//
// RecordSet::find_first and TableCursor use these for their conditions; a step that
// writes its own query text builds its conditions with same_text and same_key and
// binds key_forms for each key.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "data/database.h"
#include "data/value.h"

namespace cassasync::data {

// Width of the blank-padded keys: barcodes (eanare, eanrig) and card numbers (tessera).
inline constexpr std::size_t kKeyWidth = 13;

// `expr` equal to one parameter, as texts compare in a file of `role`.
std::string same_text(std::string_view expr, FileRole role = FileRole::central);
// `expr` equal to either of two parameters: bind key_forms of the key.
std::string same_key(std::string_view expr, FileRole role = FileRole::central);

// The two forms a stored key may have: padded with blanks to kKeyWidth characters, and
// without trailing blanks (the same text twice when the key fills its width). A null
// stays null; a number is taken as its text.
std::vector<Value> key_forms(const Value& key);
void add_key_forms(std::vector<Value>& params, const Value& key);

// The same comparisons on values held in memory.
bool same_text_value(const Value& stored, const Value& wanted, FileRole role);
bool same_key_value(const Value& stored, const Value& wanted, FileRole role);

}  // namespace cassasync::data
