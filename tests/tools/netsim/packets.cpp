// netsim packets: probe reading, and packet building on the shared builder.
#include "packets.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>

#include "wire/bytes.h"
#include "wire/icmp.h"
#include "wire/udp.h"

namespace netsim {

namespace {

void read_transport(Probe& probe, std::span<const uint8_t> body) {
    // ICMP and UDP headers are both 8 bytes long.
    static_assert(kIcmpHeaderSize == kUdpHeaderSize);
    if (body.size() < kUdpHeaderSize)
        return;
    if (probe.protocol == kProtocolIcmp) {
        probe.icmp_type = body[0];
        probe.icmp_code = body[1];
        if (probe.icmp_type == kIcmpEchoRequest && probe.icmp_code == 0) {
            probe.kind = Probe::Kind::echo;
            probe.id = read_u16(body, 4);
            probe.seq = read_u16(body, 6);
        }
    } else if (probe.protocol == kProtocolUdp) {
        probe.kind = Probe::Kind::udp;
        probe.sport = read_u16(body, 0);
        probe.dport = read_u16(body, 2);
        probe.udp_length = read_u16(body, 4);
        probe.udp_checksum = read_u16(body, 6);
    }
    probe.payload_length = body.size() - kUdpHeaderSize;
    if (probe.payload_length > 0)
        probe.first_byte = body[kUdpHeaderSize];
}

}  // namespace

std::optional<Probe> read_probe(std::span<const uint8_t> datagram) {
    std::optional<Ipv4Header> ip = read_ipv4_header(datagram);
    if (!ip || ip->total_length < ip->header_length || ip->total_length > datagram.size())
        return std::nullopt;
    Probe probe;
    probe.datagram.assign(datagram.begin(), datagram.begin() + ip->total_length);
    probe.tos = datagram[1];
    probe.ttl = ip->ttl;
    probe.protocol = ip->protocol;
    probe.src = ntohl(ip->source);
    probe.dst = ntohl(ip->destination);
    probe.fragment = (ip->fragment & (kIpv4MoreFragments | kIpv4FragmentOffsetMask)) != 0;
    if (!probe.fragment)
        read_transport(probe,
                       datagram.subspan(ip->header_length, ip->total_length - ip->header_length));
    return probe;
}

Bytes make_ipv4(uint32_t src, uint32_t dst, uint8_t ttl, uint8_t tos, uint16_t ident,
                std::span<const uint8_t> icmp, uint8_t protocol) {
    packet::Ipv4 ip;
    ip.source = htonl(src);
    ip.destination = htonl(dst);
    ip.ttl = ttl;
    ip.tos = tos;
    ip.ident = ident;
    ip.protocol = protocol;
    return packet::ipv4_datagram(ip, icmp);
}

Bytes quote_probe(const Probe& probe, int hops_before, size_t limit) {
    int ttl = std::max(0, static_cast<int>(probe.ttl) - hops_before);
    return packet::quote_datagram(probe.datagram, static_cast<uint8_t>(ttl), limit);
}

std::string address_text(uint32_t address) {
    in_addr in{htonl(address)};
    char text[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, &in, text, sizeof text);
}

std::optional<uint32_t> parse_address(std::string_view text) {
    uint32_t address = 0;
    const char* at = text.data();
    const char* end = text.data() + text.size();
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (at == end || *at != '.')
                return std::nullopt;
            ++at;
        }
        unsigned value = 0;
        auto [next, error] = std::from_chars(at, end, value);
        if (error != std::errc() || next == at || next - at > 3 || value > 255)
            return std::nullopt;
        address = address << 8 | value;
        at = next;
    }
    if (at != end)
        return std::nullopt;
    return address;
}

}  // namespace netsim
