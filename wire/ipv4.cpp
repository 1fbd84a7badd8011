#include "wire/ipv4.h"

#include "wire/bytes.h"

std::optional<Ipv4Header> read_ipv4_header(std::span<const uint8_t> bytes) {
    if (bytes.size() < kIpv4MinHeaderSize || (bytes[0] >> 4) != 4)
        return std::nullopt;
    Ipv4Header ip;
    ip.header_length = static_cast<size_t>(bytes[0] & 0x0f) * 4;
    if (ip.header_length < kIpv4MinHeaderSize || ip.header_length > bytes.size())
        return std::nullopt;
    ip.total_length = read_u16(bytes, 2);
    ip.fragment = read_u16(bytes, 6);
    ip.ttl = bytes[8];
    ip.protocol = bytes[9];
    ip.source = read_address(bytes, 12);
    ip.destination = read_address(bytes, 16);
    return ip;
}
