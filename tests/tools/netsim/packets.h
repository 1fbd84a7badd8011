// netsim packets: reading the probes that arrive on the TUN device and building the
// IPv4/ICMP packets written back. Pure byte work: no sockets, clock or output here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/packets.h"

namespace netsim {

using packet::Bytes;

// One IPv4 datagram read from the TUN device. Addresses are in host byte order.
struct Probe {
    enum class Kind { echo, udp, other };
    Kind kind = Kind::other;
    Bytes datagram;  // the whole datagram as it arrived
    uint32_t src = 0;
    uint32_t dst = 0;
    uint8_t ttl = 0;
    uint8_t tos = 0;
    uint8_t protocol = 0;
    bool fragment = false;  // MF set or a nonzero offset: never answered
    uint8_t icmp_type = 0;  // any ICMP datagram
    uint8_t icmp_code = 0;
    uint16_t id = 0;  // echo request
    uint16_t seq = 0;
    uint16_t sport = 0;  // UDP
    uint16_t dport = 0;
    uint16_t udp_length = 0;    // the UDP header's length field
    uint16_t udp_checksum = 0;  // as sent, 0 when the sender left it out
    size_t payload_length = 0;  // bytes after the ICMP or UDP header
    int first_byte = -1;        // first payload byte, -1 when there is none
};

// Reads a datagram; nothing when it is not a whole IPv4 datagram.
std::optional<Probe> read_probe(std::span<const uint8_t> datagram);

// ICMP messages and IP options come from the shared packet builder.
using packet::add_ip_options;
using packet::icmp_message;

// Wraps an ICMP message (or another protocol's body) in an IPv4 header with a valid
// header checksum; the addresses in host byte order.
Bytes make_ipv4(uint32_t src, uint32_t dst, uint8_t ttl, uint8_t tos, uint16_t ident,
                std::span<const uint8_t> icmp, uint8_t protocol = kProtocolIcmp);

// The part of the probe that an ICMP error quotes: the probe's IP header with its TTL
// lowered by hops_before (what the reporting router saw) and its header checksum
// redone, then the following bytes, in all at most limit bytes of the datagram.
Bytes quote_probe(const Probe& probe, int hops_before, size_t limit);

// Dotted-decimal text of a host-order address, and the reverse (strict a.b.c.d form).
std::string address_text(uint32_t address);
std::optional<uint32_t> parse_address(std::string_view text);

}  // namespace netsim
