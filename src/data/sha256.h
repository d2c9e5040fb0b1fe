// SHA-256 (FIPS 180-4) of a byte stream, for the backups' manifests: small, without a
// library beside SQLite. Feed update() any number of times, then digest() once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace cassasync::data {

class Sha256 {
public:
    Sha256();
    void update(const void* data, std::size_t size);
    void update(std::string_view text) { update(text.data(), text.size()); }
    // Lowercase hexadecimal, 64 characters. Ends the computation.
    std::string hex_digest();

private:
    void block(const std::uint8_t* p);

    std::array<std::uint32_t, 8> h_;
    std::array<std::uint8_t, 64> buffer_{};
    std::size_t used_ = 0;
    std::uint64_t length_ = 0;  // bytes
};

// The digest of a whole file; nullopt when it cannot be read.
std::optional<std::string> sha256_of_file(const std::filesystem::path& file);

}  // namespace cassasync::data
