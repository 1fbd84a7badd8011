// The IPv4 header, as raw sockets deliver it and as ICMP errors quote it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

constexpr size_t kIpv4MinHeaderSize = 20;
constexpr size_t kIpv4MaxHeaderSize = 60;
constexpr uint8_t kProtocolIcmp = 1;
constexpr uint8_t kProtocolUdp = 17;
constexpr uint16_t kIpv4MoreFragments = 0x2000;
constexpr uint16_t kIpv4FragmentOffsetMask = 0x1fff;

struct Ipv4Header {
    size_t header_length = 0;  // bytes, options included
    uint16_t total_length = 0;
    uint16_t fragment = 0;  // flags and offset
    uint8_t ttl = 0;
    uint8_t protocol = 0;
    uint32_t source = 0;       // network byte order
    uint32_t destination = 0;  // network byte order
};

// The IPv4 header at the start of bytes, options included; nothing when the bytes cannot
// hold it or it is not IPv4.
std::optional<Ipv4Header> read_ipv4_header(std::span<const uint8_t> bytes);
