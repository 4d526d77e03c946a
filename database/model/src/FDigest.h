#pragma once
// SHA-1 for node hashing. A tree hash digests one short text per node, so the
// per-call cost matters more than throughput.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace fdigest {

using Digest = std::array<uint8_t, 20>;

Digest sha1(std::string_view bytes);

// The same for a leaf's hash text. The leaves of a tree often share a value
// (and priority), and a short text costs a whole SHA-1 block, so each thread
// keeps the digests of the short texts it saw last.
Digest sha1OfLeafText(std::string_view text);

// Standard base64 with padding (28 characters).
std::string base64(const Digest& digest);
void appendBase64(const Digest& digest, std::string& out);

}  // namespace fdigest
