// netsim packets: probe reading, checksums and packet building.
#include "packets.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "wire/bytes.h"
#include "wire/checksum.h"

namespace netsim {

namespace {

uint16_t get16(std::span<const uint8_t> data, size_t at) { return read_u16(data, at); }

uint32_t get32(std::span<const uint8_t> data, size_t at) {
    return static_cast<uint32_t>(get16(data, at)) << 16 | get16(data, at + 2);
}

void put16(Bytes& data, size_t at, uint16_t value) { write_u16(data, at, value); }

void put32(Bytes& data, size_t at, uint32_t value) {
    put16(data, at, static_cast<uint16_t>(value >> 16));
    put16(data, at + 2, static_cast<uint16_t>(value));
}

void read_transport(Probe& probe, std::span<const uint8_t> body) {
    if (probe.protocol == 1 && body.size() >= 8) {
        probe.icmp_type = body[0];
        probe.icmp_code = body[1];
        if (probe.icmp_type == 8 && probe.icmp_code == 0) {
            probe.kind = Probe::Kind::echo;
            probe.id = get16(body, 4);
            probe.seq = get16(body, 6);
        }
    } else if (probe.protocol == 17 && body.size() >= 8) {
        probe.kind = Probe::Kind::udp;
        probe.sport = get16(body, 0);
        probe.dport = get16(body, 2);
        probe.udp_length = get16(body, 4);
        probe.udp_checksum = get16(body, 6);
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
    size_t total = get16(datagram, 2);
    if (header < 20 || total < header || total > datagram.size())
        return std::nullopt;
    Probe probe;
    probe.datagram.assign(datagram.begin(), datagram.begin() + static_cast<ptrdiff_t>(total));
    probe.tos = datagram[1];
    probe.ttl = datagram[8];
    probe.protocol = datagram[9];
    probe.src = get32(datagram, 12);
    probe.dst = get32(datagram, 16);
    uint16_t fragment_word = get16(datagram, 6);
    probe.fragment = (fragment_word & 0x3fff) != 0;
    if (!probe.fragment)
        read_transport(probe, datagram.subspan(header, total - header));
    return probe;
}

Bytes make_icmp(uint8_t type, uint8_t code, uint32_t rest, std::span<const uint8_t> body) {
    body = body.first(std::min<size_t>(body.size(), 65535 - 28));
    Bytes icmp(8 + body.size());
    icmp[0] = type;
    icmp[1] = code;
    put32(icmp, 4, rest);
    if (!body.empty())
        std::memcpy(icmp.data() + 8, body.data(), body.size());
    put16(icmp, 2, internet_checksum(icmp));
    return icmp;
}

Bytes make_ipv4(uint32_t src, uint32_t dst, uint8_t ttl, uint8_t tos, uint16_t ident,
                std::span<const uint8_t> icmp) {
    icmp = icmp.first(std::min<size_t>(icmp.size(), 65535 - 20));
    Bytes packet(20 + icmp.size());
    packet[0] = 0x45;
    packet[1] = tos;
    put16(packet, 2, static_cast<uint16_t>(packet.size()));
    put16(packet, 4, ident);
    packet[8] = ttl;
    packet[9] = 1;
    put32(packet, 12, src);
    put32(packet, 16, dst);
    put16(packet, 10, internet_checksum(std::span(packet).first(20)));
    if (!icmp.empty())
        std::memcpy(packet.data() + 20, icmp.data(), icmp.size());
    return packet;
}

void add_ip_options(Bytes& packet, size_t option_bytes) {
    if (option_bytes == 0 || packet.size() < 20)
        return;
    Bytes options(option_bytes, 1);
    options.back() = 0;
    packet.insert(packet.begin() + 20, options.begin(), options.end());
    size_t header = 20 + option_bytes;
    packet[0] = static_cast<uint8_t>(0x40 | header / 4);
    put16(packet, 2, static_cast<uint16_t>(packet.size()));
    put16(packet, 10, 0);
    put16(packet, 10, internet_checksum(std::span(packet).first(header)));
}

Bytes quote_probe(const Probe& probe, int hops_before, size_t limit) {
    size_t length = std::min(limit, probe.datagram.size());
    Bytes quote(probe.datagram.begin(), probe.datagram.begin() + static_cast<ptrdiff_t>(length));
    size_t header = static_cast<size_t>(probe.datagram[0] & 0x0f) * 4;
    if (length >= header) {
        int ttl = std::max(0, static_cast<int>(probe.ttl) - hops_before);
        quote[8] = static_cast<uint8_t>(ttl);
        put16(quote, 10, 0);
        put16(quote, 10, internet_checksum(std::span(quote).first(header)));
    }
    return quote;
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
