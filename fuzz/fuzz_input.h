// Reads a fuzzer's bytes as a sequence of typed pieces (small numbers, doubles, texts,
// database values), so that every target draws its fields from one input the same way
// and a short input still yields a complete case (what runs out reads as zero or empty).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>

#include "data/value.h"

namespace cassasync::fuzzing {

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return pos_ >= size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint64_t bits() {
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v = (v << 8) | byte();
        return v;
    }
    double real() {
        const std::uint64_t b = bits();
        double d;
        std::memcpy(&d, &b, sizeof d);
        return d;
    }
    // A text of at most `limit` bytes: a length byte, then the bytes.
    std::string text(std::size_t limit = 255) {
        const std::size_t want = std::min<std::size_t>(byte(), limit);
        const std::size_t take = std::min(want, size_ - std::min(pos_, size_));
        std::string s(reinterpret_cast<const char*>(data_ + pos_), take);
        pos_ += take;
        return s;
    }
    // What a register's column can hold: null, a whole number, a real number (any bit
    // pattern, NaN and infinities included), a text, or a number written as text.
    data::Value value() {
        switch (byte() % 6) {
        case 0: return data::kNull;
        case 1: return data::integer(static_cast<std::int64_t>(bits()));
        case 2: return data::integer(static_cast<std::int8_t>(byte()));
        case 3: return data::real(real());
        case 4: return data::text(text());
        default: return data::text(std::to_string(static_cast<std::int32_t>(bits())) + text(4));
        }
    }
    std::string rest() {
        std::string s(reinterpret_cast<const char*>(data_ + std::min(pos_, size_)), size_ - std::min(pos_, size_));
        pos_ = size_;
        return s;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// A broken expectation: reported like a crash, so the fuzzer keeps the input.
[[noreturn]] inline void fault(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

}  // namespace cassasync::fuzzing
