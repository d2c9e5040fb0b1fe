#include "support/json_value.h"

#include <cctype>
#include <cstdlib>
#include <stdexcept>

namespace cassasync::testing {

namespace {

class Reader {
public:
    explicit Reader(const std::string& t) : t_(t) {}
    Json document() {
        Json j = value();
        blanks();
        if (i_ != t_.size()) fail("text after the document");
        return j;
    }

private:
    [[noreturn]] void fail(const std::string& what) const {
        throw std::runtime_error("not JSON at offset " + std::to_string(i_) + ": " + what);
    }
    void blanks() {
        while (i_ < t_.size() && (t_[i_] == ' ' || t_[i_] == '\n' || t_[i_] == '\r' || t_[i_] == '\t')) ++i_;
    }
    bool take(char c) {
        blanks();
        if (i_ < t_.size() && t_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    void expect(char c) {
        if (!take(c)) fail(std::string("expected ") + c);
    }
    void word(const char* w) {
        for (const char* p = w; *p; ++p, ++i_) {
            if (i_ >= t_.size() || t_[i_] != *p) fail(std::string("expected ") + w);
        }
    }
    Json value() {
        blanks();
        if (i_ >= t_.size()) fail("end of text");
        const char c = t_[i_];
        if (c == '{') return object();
        if (c == '[') return array();
        if (c == '"') return Json{text()};
        if (c == 't') return word("true"), Json{true};
        if (c == 'f') return word("false"), Json{false};
        if (c == 'n') return word("null"), Json{nullptr};
        return number();
    }
    Json object() {
        expect('{');
        Json::Object o;
        if (take('}')) return Json{o};
        do {
            blanks();
            std::string key = text();
            expect(':');
            if (!o.emplace(key, value()).second) fail("member " + key + " twice");
        } while (take(','));
        expect('}');
        return Json{o};
    }
    Json array() {
        expect('[');
        Json::Array a;
        if (take(']')) return Json{a};
        do a.push_back(value());
        while (take(','));
        expect(']');
        return Json{a};
    }
    std::string text() {
        if (i_ >= t_.size() || t_[i_] != '"') fail("expected a text");
        ++i_;
        std::string out;
        while (true) {
            if (i_ >= t_.size()) fail("unterminated text");
            const char c = t_[i_++];
            if (c == '"') return out;
            if (static_cast<unsigned char>(c) < 0x20) fail("control character in a text");
            if (c != '\\') {
                out += c;
                continue;
            }
            if (i_ >= t_.size()) fail("unterminated escape");
            const char e = t_[i_++];
            switch (e) {
                case '"': case '\\': case '/': out += e; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'u': {
                    if (i_ + 4 > t_.size()) fail("short \\u escape");
                    const long code = std::strtol(t_.substr(i_, 4).c_str(), nullptr, 16);
                    i_ += 4;
                    if (code < 0x80) {
                        out += static_cast<char>(code);
                    } else {
                        out += '?';  // enough for the tests' texts
                    }
                    break;
                }
                default: fail("bad escape");
            }
        }
    }
    Json number() {
        const std::size_t start = i_;
        if (t_[i_] == '-') ++i_;
        if (i_ >= t_.size() || !std::isdigit(static_cast<unsigned char>(t_[i_]))) fail("expected a value");
        if (t_[i_] == '0' && i_ + 1 < t_.size() && std::isdigit(static_cast<unsigned char>(t_[i_ + 1]))) {
            fail("leading zero");
        }
        while (i_ < t_.size() && (std::isdigit(static_cast<unsigned char>(t_[i_])) || t_[i_] == '.' ||
                                  t_[i_] == 'e' || t_[i_] == 'E' || t_[i_] == '+' || t_[i_] == '-')) {
            ++i_;
        }
        const std::string n = t_.substr(start, i_ - start);
        char* end = nullptr;
        const double d = std::strtod(n.c_str(), &end);
        if (end != n.c_str() + n.size()) fail("bad number " + n);
        return Json{d};
    }
    const std::string& t_;
    std::size_t i_ = 0;
};

template <typename T>
const T& as(const Json& j, const char* kind) {
    if (const auto* p = std::get_if<T>(&j.v)) return *p;
    throw std::runtime_error(std::string("JSON value is not ") + kind);
}

}  // namespace

Json Json::parse(const std::string& text) { return Reader(text).document(); }

const Json& Json::operator[](const std::string& member) const {
    const auto& o = object();
    const auto it = o.find(member);
    if (it == o.end()) throw std::runtime_error("JSON object has no member " + member);
    return it->second;
}
const Json& Json::operator[](std::size_t index) const { return array().at(index); }
const Json::Array& Json::array() const { return as<Array>(*this, "an array"); }
const Json::Object& Json::object() const { return as<Object>(*this, "an object"); }
const std::string& Json::text() const { return as<std::string>(*this, "a text"); }
double Json::number() const { return as<double>(*this, "a number"); }
bool Json::boolean() const { return as<bool>(*this, "true or false"); }

}  // namespace cassasync::testing
