// The Internet checksum (RFC 1071) of IPv4, ICMP and UDP headers.
#pragma once

#include <cstdint>
#include <span>

// The one's complement of the one's complement sum of bytes taken as 16-bit words (an odd
// last byte padded with zero). Over bytes that carry a correct checksum it is 0.
uint16_t internet_checksum(std::span<const uint8_t> bytes);

// True when bytes, checksum field included, carry a correct checksum.
inline bool checksum_holds(std::span<const uint8_t> bytes) { return internet_checksum(bytes) == 0; }
