// How a lookup compares texts. The shop's databases were made by an engine that
// compares text without regard to letter case, and other programs store the
// 13-character keys (barcodes, card numbers) with or without their trailing blanks.
// So in the back office's files a text condition ignores letter case (SQLite's
// built-in NOCASE: ASCII letters), and a blank-padded key matches in either form.
//
// Both stay index seeks. A key is sought in its forms one after the other, the padded
// form first (as the service and the registers store keys), then without its trailing
// blanks: each an indexed `col = ?`, never trim() around the column, and never
// `col IN (?, ?)`, which builds a temporary table on every run. The central schema's
// indexes on text keys are NOCASE indexes (see main.sql).
//
// A register's file belongs to the register's own software and keeps its own
// (binary) indexes: there texts compare exactly, so those selections stay indexed,
// and a key is still sought in both forms.
//
// RecordSet::find_first and TableCursor apply these to their conditions; a step that
// writes its own query text compares with same_text and runs it through find_key.
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

// The forms a stored key may have, in the order they are sought: padded with blanks to
// kKeyWidth characters, then without trailing blanks (left out when it is the same
// text). A null stays null, the one form; a number is taken as its text.
std::vector<Value> key_forms(const Value& key);

// Runs `find(form)` for each form of `key` in turn until it answers true; whether one did.
template <typename Find>
bool find_key(const Value& key, Find&& find) {
    for (const auto& form : key_forms(key)) {
        if (find(form)) return true;
    }
    return false;
}

// The same comparisons on values held in memory.
bool same_text_value(const Value& stored, const Value& wanted, FileRole role);
bool same_key_value(const Value& stored, const Value& wanted, FileRole role);

}  // namespace cassasync::data
