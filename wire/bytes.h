// Big-endian fields of packets, read from and written to byte spans. Addresses are kept
// in network byte order: their four bytes are copied as they lie.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

inline uint16_t read_u16(std::span<const uint8_t> bytes, size_t at) {
    return static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

inline void write_u16(std::span<uint8_t> bytes, size_t at, uint16_t value) {
    bytes[at] = static_cast<uint8_t>(value >> 8);
    bytes[at + 1] = static_cast<uint8_t>(value & 0xff);
}

inline uint32_t read_address(std::span<const uint8_t> bytes, size_t at) {
    uint32_t address = 0;
    std::memcpy(&address, bytes.data() + at, sizeof address);
    return address;
}

inline void write_address(std::span<uint8_t> bytes, size_t at, uint32_t address) {
    std::memcpy(bytes.data() + at, &address, sizeof address);
}
