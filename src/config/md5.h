// MD5 message digest (RFC 1321). Names the safety-net file; not used for anything secret.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace qelmo {

using Md5Digest = std::array<uint8_t, 16>;

// Incremental digest: Update as often as needed, then Final once.
class Md5 {
public:
    Md5();
    void Update(const void* data, size_t bytes);
    Md5Digest Final();

private:
    void Transform(const uint8_t block[64]);

    uint32_t state_[4];
    uint64_t bitCount_ = 0;
    uint8_t buffer_[64] = {};
    size_t buffered_ = 0;
};

Md5Digest Md5Of(const void* data, size_t bytes);

// Two lowercase hexadecimal digits per byte, high nibble first, in digest order.
std::wstring ToLowerHex(const Md5Digest& digest);

}  // namespace qelmo
