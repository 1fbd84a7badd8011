// Packet building on the wire formats: no field or checksum is written here by hand.
#include "support/packets.h"

#include <arpa/inet.h>

#include <algorithm>

#include "wire/bytes.h"
#include "wire/checksum.h"
#include "wire/icmp.h"

namespace packet {

namespace {

constexpr size_t kMaxDatagram = 65535;

size_t header_length(std::span<const uint8_t> datagram) {
    return static_cast<size_t>(datagram[0] & 0x0f) * 4;
}

void seal_header(Bytes& datagram) {
    size_t header = header_length(datagram);
    write_u16(datagram, 10, 0);
    write_u16(datagram, 10, internet_checksum(std::span(datagram).first(header)));
}

// Puts option_bytes bytes of IP options (no-operation bytes, then an end of options) into
// the header of a datagram that has none, its lengths and header checksum redone.
void add_ip_options(Bytes& datagram, size_t option_bytes) {
    if (option_bytes == 0 || datagram.size() < kIpv4MinHeaderSize)
        return;
    Bytes options(option_bytes, 1);
    options.back() = 0;
    datagram.insert(datagram.begin() + kIpv4MinHeaderSize, options.begin(), options.end());
    datagram[0] = static_cast<uint8_t>(0x40 | (kIpv4MinHeaderSize + option_bytes) / 4);
    write_u16(datagram, 2, static_cast<uint16_t>(datagram.size()));
    seal_header(datagram);
}

}  // namespace

Bytes ipv4_datagram(const Ipv4& ip, std::span<const uint8_t> body) {
    body = body.first(std::min(body.size(), kMaxDatagram - kIpv4MinHeaderSize));
    Bytes datagram(kIpv4MinHeaderSize + body.size());
    datagram[0] = 0x45;
    datagram[1] = ip.tos;
    write_u16(datagram, 4, ip.ident);
    datagram[8] = ip.ttl;
    datagram[9] = ip.protocol;
    write_address(datagram, 12, ip.source);
    write_address(datagram, 16, ip.destination);
    std::copy(body.begin(), body.end(), datagram.begin() + kIpv4MinHeaderSize);
    write_u16(datagram, 2, static_cast<uint16_t>(datagram.size()));
    seal_header(datagram);
    add_ip_options(datagram, ip.option_bytes);
    return datagram;
}

Bytes icmp_message(uint8_t type, uint8_t code, uint32_t rest, std::span<const uint8_t> body) {
    body = body.first(std::min(body.size(), kMaxDatagram - kIpv4MinHeaderSize - kIcmpHeaderSize));
    Bytes icmp(kIcmpHeaderSize + body.size());
    icmp[0] = type;
    icmp[1] = code;
    write_u16(icmp, 4, static_cast<uint16_t>(rest >> 16));
    write_u16(icmp, 6, static_cast<uint16_t>(rest));
    std::copy(body.begin(), body.end(), icmp.begin() + kIcmpHeaderSize);
    write_u16(icmp, 2, internet_checksum(icmp));
    return icmp;
}

Bytes quote_datagram(std::span<const uint8_t> datagram, uint8_t ttl, size_t limit) {
    Bytes quote(datagram.begin(), datagram.begin() + std::min(limit, datagram.size()));
    if (quote.size() >= kIpv4MinHeaderSize && quote.size() >= header_length(quote)) {
        quote[8] = ttl;
        seal_header(quote);
    }
    return quote;
}

Bytes& reseal_icmp(Bytes& datagram) {
    std::optional<Ipv4Header> ip = read_ipv4_header(datagram);
    if (!ip || ip->protocol != kProtocolIcmp ||
        ip->header_length + kIcmpHeaderSize > datagram.size())
        return datagram;
    size_t end = std::clamp<size_t>(ip->total_length, ip->header_length, datagram.size());
    std::span<uint8_t> icmp =
        std::span(datagram).subspan(ip->header_length, end - ip->header_length);
    write_u16(icmp, 2, 0);
    write_u16(icmp, 2, internet_checksum(icmp));
    return datagram;
}

Bytes first(std::span<const uint8_t> bytes, size_t length) {
    std::span<const uint8_t> kept = bytes.first(length);
    return Bytes(kept.begin(), kept.end());
}

uint32_t address_of(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t address;
    std::copy(bytes, bytes + 4, reinterpret_cast<uint8_t*>(&address));
    return address;
}

std::string dotted(uint32_t address) {
    char text[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, &address, text, sizeof text);
}

}  // namespace packet
