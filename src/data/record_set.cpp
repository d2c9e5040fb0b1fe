#include "data/record_set.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "base/text.h"
#include "data/text_match.h"

namespace cassasync::data {

namespace {

constexpr const char* kRowid = "__rowid";

std::string select_sql(const std::string& table, const std::string& where, const std::string& order_by,
                       const std::string& fields = "*") {
    std::string sql = std::string("SELECT rowid AS ") + kRowid + ", " + fields + " FROM " + quote_identifier(table);
    if (!where.empty()) sql += " WHERE " + where;
    if (!order_by.empty()) sql += " ORDER BY " + order_by;
    return sql;
}

std::shared_ptr<const Columns> columns_of(Statement& st) {
    if (const auto& known = st.columns(); known && static_cast<int>(known->names().size()) == st.column_count()) {
        return known;
    }
    std::vector<std::string> names;
    names.reserve(static_cast<std::size_t>(st.column_count()));
    for (int i = 0; i < st.column_count(); ++i) names.push_back(st.column_name(i));
    auto columns = std::make_shared<const Columns>(std::move(names));
    st.set_columns(columns);
    return columns;
}

}  // namespace

// ---- Columns ----

namespace {
// ASCII letters only, whatever the process's locale.
std::string lower(std::string_view s) { return base::lower_ascii(s); }

}  // namespace

Columns::Columns(std::vector<std::string> names) : names_(std::move(names)) {
    for (std::size_t i = 0; i < names_.size(); ++i) {
        by_lower_.emplace(lower(names_[i]), static_cast<int>(i));  // first one wins
    }
    std::size_t size = 8;
    while (size < names_.size() * 2) size *= 2;
    slots_.assign(size, Slot{});
    const std::size_t mask = size - 1;
    for (std::size_t i = 0; i < names_.size(); ++i) {
        // Only a spelling that resolves as the folded lookup would.
        if (by_lower_[lower(names_[i])] != static_cast<int>(i)) continue;
        const std::uint64_t head = head_of(names_[i]);
        const std::uint64_t tail = tail_of(names_[i]);
        std::size_t at = slot_of(head, tail, names_[i].size()) & mask;
        while (slots_[at].index >= 0) at = (at + 1) & mask;
        slots_[at] = {head, tail, static_cast<std::uint32_t>(names_[i].size()), static_cast<int>(i)};
    }
}

bool Columns::same_middle(int index, std::string_view name) const {
    return std::memcmp(names_[static_cast<std::size_t>(index)].data() + 8, name.data() + 8, name.size() - 16) == 0;
}

std::optional<int> Columns::find_folded(std::string_view name) const {
    auto it = by_lower_.find(lower(name));
    if (it == by_lower_.end()) return std::nullopt;
    return it->second;
}

int Columns::index_folded(std::string_view name) const {
    if (auto i = find_folded(name)) return *i;
    throw DbError("field '" + std::string(name) + "' not found");
}

// ---- RecordSet ----

bool RecordSet::eof() const { return pos_ >= rows_.size(); }

bool RecordSet::empty() const {
    return std::none_of(rows_.begin(), rows_.end(), [](const Row& r) { return !r.deleted; });
}

std::size_t RecordSet::size() const { return rows_.size(); }

void RecordSet::skip_deleted() {
    while (pos_ < rows_.size() && rows_[pos_].deleted) ++pos_;
}

void RecordSet::move_first() {
    write_held();
    pos_ = 0;
    skip_deleted();
}

void RecordSet::move_next() {
    write_held();
    if (pos_ < rows_.size()) ++pos_;
    skip_deleted();
}

void RecordSet::move_last() {
    write_held();
    pos_ = rows_.size();
    while (pos_ > 0) {
        --pos_;
        if (!rows_[pos_].deleted) return;
    }
    pos_ = rows_.size();
}

RecordSet::Row RecordSet::read_row(Statement& st) const {
    Row row;
    read_into(st, row);
    return row;
}

void RecordSet::read_into(Statement& st, Row& row) const {
    const auto n = static_cast<std::size_t>(st.column_count());
    row.values.resize(n);
    for (std::size_t i = 0; i < n; ++i) st.column_into(static_cast<int>(i), row.values[i]);
    row.rowid = rowid_column_ >= 0 ? to_int_or(row.values[static_cast<std::size_t>(rowid_column_)], 0) : 0;
    row.deleted = false;
}

void RecordSet::load(Statement& st, std::size_t limit) {
    // A set refilled once per receipt line keeps its rows' storage.
    std::size_t n = 0;
    while (n < limit && st.step()) {
        if (n < rows_.size()) {
            read_into(st, rows_[n]);
        } else {
            rows_.push_back(read_row(st));
        }
        ++n;
    }
    rows_.resize(n);
}

bool RecordSet::find_first(const std::vector<Match>& conditions) {
    if (!columns_) throw DbError("find on a channel that was never opened");
    write_held();
    const FileRole role = db_ ? db_->role() : FileRole::central;
    if (fetch_ != Fetch::all) {
        const auto same_search = [&conditions](const Search& s) {
            if (s.fields.size() != conditions.size()) return false;
            for (std::size_t i = 0; i < conditions.size(); ++i) {
                if (s.fields[i] != conditions[i].column || s.compares[i] != conditions[i].compare) return false;
            }
            return true;
        };
        auto known = std::find_if(searches_.begin(), searches_.end(), same_search);
        if (known == searches_.end()) {
            std::string where = base_where_.empty() ? std::string() : "(" + base_where_ + ")";
            Search search{{}, {}, nullptr};
            for (const auto& c : conditions) {
                const auto i = static_cast<std::size_t>(columns_->index(c.column));  // unknown: an error, as with a scan
                const std::string column = quote_identifier(c.column);
                if (!where.empty()) where += " AND ";
                // Only a text column takes the text comparison: another collation on a
                // number column would turn its index seek into a scan.
                const bool as_text = c.compare == Compare::key || text_columns_[i];
                where += as_text ? same_text(column, role) : column + " = ?";
                search.fields.push_back(c.column);
                search.compares.push_back(c.compare);
            }
            search.statement = &db_->prepare(select_sql(table_, where, order_by_, field_list_) + " LIMIT 1");
            known = searches_.insert(searches_.end(), std::move(search));
        }
        Statement& st = *known->statement;
        // A key is sought in its forms one after the other (text_match.h).
        std::vector<std::vector<Value>> forms(conditions.size());
        std::size_t attempts = 1;
        for (std::size_t k = 0; k < conditions.size(); ++k) {
            if (conditions[k].compare != Compare::key) continue;
            forms[k] = key_forms(conditions[k].value);
            attempts = std::max(attempts, forms[k].size());
        }
        for (std::size_t attempt = 0; attempt < attempts; ++attempt) {
            st.reset();
            // Every parameter is bound: the channel's own, then one per condition.
            int n = 0;
            for (const auto& v : base_params_) st.bind(++n, v);
            for (std::size_t k = 0; k < conditions.size(); ++k) {
                st.bind(++n, forms[k].empty() ? conditions[k].value : forms[k][std::min(attempt, forms[k].size() - 1)]);
            }
            load(st, 1);
            st.reset();
            if (!rows_.empty()) break;
        }
        pos_ = 0;
        no_match_ = rows_.empty();
        return !no_match_;
    }
    std::vector<int> idx;
    for (const auto& c : conditions) idx.push_back(columns_->index(c.column));
    for (std::size_t r = 0; r < rows_.size(); ++r) {
        if (rows_[r].deleted) continue;
        bool all = true;
        for (std::size_t k = 0; k < conditions.size() && all; ++k) {
            const Value& stored = rows_[r].values[static_cast<std::size_t>(idx[k])];
            all = conditions[k].compare == Compare::key ? same_key_value(stored, conditions[k].value, role)
                                                        : same_text_value(stored, conditions[k].value, role);
        }
        if (all) {
            pos_ = r;
            no_match_ = false;
            return true;
        }
    }
    no_match_ = true;  // the position stays where it was, as after a failed search
    return false;
}

void RecordSet::no_current_record(const char* what) const {
    throw DbError(std::string(what) + ": no current record" + (table_.empty() ? std::string() : " in " + table_));
}

void RecordSet::no_record_set(std::string_view name) {
    throw DbError("field '" + std::string(name) + "': no record set");
}

void RecordSet::require_writable(const char* what) const {
    if (table_.empty() || !db_) throw DbError(std::string(what) + ": the record set is read-only");
}

bool RecordSet::has_field(std::string_view name) const {
    return columns_ && columns_->find(name).has_value();
}

std::int64_t RecordSet::rowid() const {
    require_current("rowid");
    return rows_[pos_].rowid;
}

void RecordSet::add_new() {
    require_writable("add_new");
    write_held();
    mode_ = EditMode::adding;
    pending_ = Row{};
    pending_.values.assign(columns_->names().size(), Value());
    touched_.clear(columns_->names().size());
}

void RecordSet::edit() {
    require_writable("edit");
    require_current("edit");
    mode_ = EditMode::editing;
    pending_ = rows_[pos_];
    touched_.clear(columns_->names().size());
}

void RecordSet::set(std::string_view name, Value value) {
    if (mode_ == EditMode::none) throw DbError("set '" + std::string(name) + "' without edit or add_new");
    int i = columns_->index(name);
    if (i == rowid_column_) throw DbError("the row key cannot be set");
    pending_.values[static_cast<std::size_t>(i)] = std::move(value);
    touched_.add(static_cast<std::size_t>(i));
}

void RecordSet::cancel_update() { mode_ = EditMode::none; }

Statement& RecordSet::insert_statement(const FieldSet& which) {
    auto it = inserts_.find(which);
    if (it != inserts_.end()) return *it->second;
    const auto& names = columns_->names();
    std::string cols, marks;
    which.for_each([&](std::size_t i) {
        if (!cols.empty()) {
            cols += ",";
            marks += ",";
        }
        cols += quote_identifier(names[i]);
        marks += "?";
    });
    std::string sql = "INSERT INTO " + quote_identifier(table_) +
                      (cols.empty() ? std::string(" DEFAULT VALUES") : " (" + cols + ") VALUES (" + marks + ")");
    return *inserts_.emplace(which, &db_->prepare(sql)).first->second;
}

void RecordSet::run_bound(Statement& st, const FieldSet& which, const Row& row, bool by_rowid) const {
    // Every parameter is bound: the fields marked, then the rowid of an UPDATE. The
    // texts are bound where the row holds them, and unbound before the row can change.
    try {
        int n = 0;
        which.for_each([&](std::size_t i) { st.bind_in_place(++n, row.values[i]); });
        if (by_rowid) st.bind(++n, Value(row.rowid));
        st.run();
    } catch (...) {
        st.unbind();
        throw;
    }
    st.unbind();
}

void RecordSet::write_fields(const FieldSet& which, const Row& row) {
    auto it = updates_.find(which);
    if (it == updates_.end()) {
        const auto& names = columns_->names();
        std::string sets;
        which.for_each([&](std::size_t i) {
            if (!sets.empty()) sets += ",";
            sets += quote_identifier(names[i]) + "=?";
        });
        const std::string sql = "UPDATE " + quote_identifier(table_) + " SET " + sets + " WHERE rowid=?";
        it = updates_.emplace(which, &db_->prepare(sql)).first;
    }
    Statement& st = *it->second;
    st.reset();
    run_bound(st, which, row, true);
    st.reset();
    if (db_->changes() == 0) {
        throw DbError("the record of " + table_ + " being updated no longer exists");
    }
}

void RecordSet::update() {
    if (mode_ == EditMode::none) throw DbError("update without edit or add_new");
    if (mode_ == EditMode::adding) {
        Statement& insert = insert_statement(touched_);
        insert.reset();
        run_bound(insert, touched_, pending_, false);
        insert.reset();
        std::int64_t id = db_->last_insert_rowid();
        mode_ = EditMode::none;
        if (fetch_ == Fetch::append) {
            rows_.clear();
            pos_ = 0;
            return;
        }
        // Read the row back so that defaults are seen, as the engine shows a saved row.
        Statement& st = db_->prepare(select_sql(table_, "rowid = ?", {}, field_list_), {Value(id)});
        if (st.step()) {
            Row row = read_row(st);
            st.reset();
            if (fetch_ == Fetch::on_demand) {
                rows_.clear();
                pos_ = 0;
            }
            rows_.push_back(std::move(row));
            if (fetch_ == Fetch::on_demand) pos_ = 0;
        } else {
            st.reset();
        }
        return;
    }
    mode_ = EditMode::none;
    if (touched_.empty()) return;
    if (holding_) {
        if (!has_held_) held_.clear(columns_->names().size());
        held_.add_all(touched_);
        has_held_ = true;
        rows_[pos_] = std::move(pending_);
        return;
    }
    write_fields(touched_, pending_);
    rows_[pos_] = std::move(pending_);
}

void RecordSet::hold_writes(bool on) {
    if (!on) write_held();
    holding_ = on;
}

void RecordSet::write_held() {
    if (!has_held_) return;
    // Cleared first: a failed write is not tried again by the next move.
    has_held_ = false;
    write_fields(held_, rows_[pos_]);
}

void RecordSet::remove() {
    require_writable("delete");
    write_held();
    require_current("delete");
    if (db_->execute("DELETE FROM " + quote_identifier(table_) + " WHERE rowid=?", {Value(rows_[pos_].rowid)}) == 0) {
        throw DbError("the record of " + table_ + " being deleted no longer exists");
    }
    rows_[pos_].deleted = true;
}

// ---- Channel ----

void Channel::reopen() {
    set_.write_held();
    set_ = RecordSet{};
    statement_ = nullptr;
}

RecordSet& Channel::select(Database& db, const std::string& table, const std::string& where,
                           std::vector<Value> params, const std::string& order_by, Fetch fetch,
                           const std::vector<std::string>& fields) {
    reopen();
    set_.db_ = &db;
    set_.table_ = table;
    if (!fields.empty()) {
        set_.field_list_.clear();
        for (const auto& f : fields) set_.field_list_ += (set_.field_list_.empty() ? "" : ",") + quote_identifier(f);
    }
    set_.base_where_ = where;
    set_.base_params_ = std::move(params);
    set_.order_by_ = order_by;
    set_.fetch_ = fetch;
    sql_ = select_sql(table, where, order_by, set_.field_list_);
    if (fetch != Fetch::all) {
        Statement& st = db.prepare(select_sql(table, {}, {}, set_.field_list_) + " LIMIT 0");
        set_.columns_ = columns_of(st);
        set_.text_columns_.resize(static_cast<std::size_t>(st.column_count()));
        for (int i = 0; i < st.column_count(); ++i) set_.text_columns_[static_cast<std::size_t>(i)] = st.is_text_column(i);
        st.reset();
        set_.rowid_column_ = 0;
        return set_;
    }
    fill();
    return set_;
}

RecordSet& Channel::query(Database& db, const std::string& sql, std::vector<Value> params) {
    // The same query once more (a search run for every receipt line): the record set,
    // its rows' storage and the statement are kept.
    const bool again = statement_ && set_.db_ == &db && !statement_owner_.expired() && set_.table_.empty() &&
                       !set_.holding_ && sql_ == sql;
    if (!again) {
        reopen();
        set_.db_ = &db;
        sql_ = sql;
    }
    set_.base_params_ = std::move(params);
    fill();
    return set_;
}

RecordSet& Channel::refresh() {
    if (!set_.db_) throw DbError("channel " + name_ + " refreshed before it was opened");
    if (set_.fetch_ != Fetch::all) {
        set_.write_held();
        set_.rows_.clear();
        set_.pos_ = 0;
        return set_;
    }
    fill();
    return set_;
}

void Channel::fill() {
    set_.write_held();
    if (!statement_) {
        statement_ = &set_.db_->prepare(sql_);
        statement_owner_ = set_.db_->lifetime();
    }
    Statement& st = *statement_;
    st.reset();
    st.bind_all(set_.base_params_);
    set_.columns_ = columns_of(st);
    set_.rowid_column_ = set_.table_.empty() ? -1 : 0;
    set_.load(st, std::numeric_limits<std::size_t>::max());
    st.reset();
    set_.pos_ = 0;
    set_.no_match_ = false;
    set_.mode_ = RecordSet::EditMode::none;
}

}  // namespace cassasync::data
