// Retrieval utilities: content hashing (Jaccard, MMR and line-range extraction join it later).
#pragma once

#include <array>
#include <string_view>

namespace vantrel {

// Lower-case hexadecimal of the first 8 bytes of the SHA-256 digest of `text`, taken byte for byte
// (no normalisation). Thread-safe; throws std::runtime_error only if libcrypto itself fails.
std::array<char, 16> content_hash(std::string_view text);

}  // namespace vantrel
