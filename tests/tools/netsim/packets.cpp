// netsim packets: probe reading, and packet building on the shared builder.
#include "packets.h"

#include <algorithm>
#include <charconv>

#include "wire/bytes.h"

namespace netsim {

namespace {

uint32_t get32(std::span<const uint8_t> data, size_t at) {
    return static_cast<uint32_t>(read_u16(data, at)) << 16 | read_u16(data, at + 2);
}

// A host-order address as the packet builder takes it: its bytes as they lie on the wire.
uint32_t network_order(uint32_t address) {
    uint8_t bytes[4];
    write_u16(bytes, 0, static_cast<uint16_t>(address >> 16));
    write_u16(bytes, 2, static_cast<uint16_t>(address));
    return read_address(bytes, 0);
}

void read_transport(Probe& probe, std::span<const uint8_t> body) {
    if (probe.protocol == 1 && body.size() >= 8) {
        probe.icmp_type = body[0];
        probe.icmp_code = body[1];
        if (probe.icmp_type == 8 && probe.icmp_code == 0) {
            probe.kind = Probe::Kind::echo;
            probe.id = read_u16(body, 4);
            probe.seq = read_u16(body, 6);
        }
    } else if (probe.protocol == 17 && body.size() >= 8) {
        probe.kind = Probe::Kind::udp;
        probe.sport = read_u16(body, 0);
        probe.dport = read_u16(body, 2);
        probe.udp_length = read_u16(body, 4);
        probe.udp_checksum = read_u16(body, 6);
    }
    if (body.size() >= 8) {
        probe.payload_length = body.size() - 8;
        if (probe.payload_length > 0)
            probe.first_byte = body[8];
    }
}

}  // namespace

std::optional<Probe> read_probe(std::span<const uint8_t> datagram) {
    if (datagram.size() < 20 || (datagram[0] >> 4) != 4)
        return std::nullopt;
    size_t header = static_cast<size_t>(datagram[0] & 0x0f) * 4;
    size_t total = read_u16(datagram, 2);
    if (header < 20 || total < header || total > datagram.size())
        return std::nullopt;
    Probe probe;
    probe.datagram.assign(datagram.begin(), datagram.begin() + static_cast<ptrdiff_t>(total));
    probe.tos = datagram[1];
    probe.ttl = datagram[8];
    probe.protocol = datagram[9];
    probe.src = get32(datagram, 12);
    probe.dst = get32(datagram, 16);
    uint16_t fragment_word = read_u16(datagram, 6);
    probe.fragment = (fragment_word & 0x3fff) != 0;
    if (!probe.fragment)
        read_transport(probe, datagram.subspan(header, total - header));
    return probe;
}

Bytes make_ipv4(uint32_t src, uint32_t dst, uint8_t ttl, uint8_t tos, uint16_t ident,
                std::span<const uint8_t> icmp, uint8_t protocol) {
    packet::Ipv4 ip;
    ip.source = network_order(src);
    ip.destination = network_order(dst);
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
    return std::to_string(address >> 24) + "." + std::to_string(address >> 16 & 0xff) + "." +
           std::to_string(address >> 8 & 0xff) + "." + std::to_string(address & 0xff);
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
