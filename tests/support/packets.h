// Packets built by the tests, the fuzzers and the simulator: an IPv4 datagram around any
// body, an ICMP message, and the part of a datagram that an ICMP error quotes. Fields and
// checksums are written with the program's own wire formats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "wire/ipv4.h"

namespace packet {

using Bytes = std::vector<uint8_t>;

struct Ipv4 {
    uint32_t source = 0;       // network byte order
    uint32_t destination = 0;  // network byte order
    uint8_t ttl = 64;
    uint8_t protocol = kProtocolIcmp;
    uint8_t tos = 0;
    uint16_t ident = 0;
    size_t option_bytes = 0;  // IP options: no-operation bytes, then an end of options
};

// The header ip describes, total length and header checksum filled in, then body.
Bytes ipv4_datagram(const Ipv4& ip, std::span<const uint8_t> body);

// An ICMP message: type, code, the 32-bit word after the checksum, body; the checksum
// filled in.
Bytes icmp_message(uint8_t type, uint8_t code, uint32_t rest, std::span<const uint8_t> body);

// The first limit bytes of a datagram as an ICMP error quotes them: the TTL in its
// header set to ttl and the header checksum redone, when the quote holds the header.
Bytes quote_datagram(std::span<const uint8_t> datagram, uint8_t ttl, size_t limit);

// Stores the ICMP checksum of an IPv4 datagram again after its bytes were changed by
// hand (over the bytes its total length covers); nothing when it is no ICMP datagram.
Bytes& reseal_icmp(Bytes& datagram);

// The first length bytes of bytes, in a block of exactly that size: a read past its end is
// caught by the sanitizers.
Bytes first(std::span<const uint8_t> bytes, size_t length);

// The address a.b.c.d in network byte order, as the socket layer keeps it.
uint32_t address_of(uint8_t a, uint8_t b, uint8_t c, uint8_t d);

// The address in network byte order as dotted text.
std::string dotted(uint32_t address);

}  // namespace packet
