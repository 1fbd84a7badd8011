// What the fuzzers share: require() to end the run on a broken invariant, and for the
// packet fuzzers the addresses of their packets and the IPv4 header length as a second
// reading written from RFC 791, apart from the program's own reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

// Aborts, which libFuzzer reports as a crash with its input, unless holds.
inline void require(bool holds) {
    if (!holds)
        std::abort();
}

constexpr uint32_t kTarget = 0x020512c6;  // 198.18.5.2 in network byte order
constexpr uint32_t kOwn = 0x0101a8c0;     // 192.168.1.1, the prober

using Bytes = std::span<const uint8_t>;

// An IPv4 header that the bytes hold whole: its length, or 0.
inline size_t header_length(Bytes bytes) {
    if (bytes.size() < 20 || bytes[0] / 16 != 4)
        return 0;
    size_t length = (bytes[0] % 16) * 4u;
    return length >= 20 && length <= bytes.size() ? length : 0;
}
