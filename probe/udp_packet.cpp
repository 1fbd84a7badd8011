// The UDP probe's datagram and the reading of the ICMP reports about it.
#include "probe/udp_packet.h"

#include <algorithm>
#include <cstring>

#include "cli/console.h"

namespace {

constexpr uint8_t kProtocolIcmp = 1;
constexpr uint8_t kProtocolUdp = 17;
constexpr size_t kIpHeaderMin = 20;
constexpr size_t kIcmpHeaderSize = 8;

constexpr uint8_t kIcmpDestUnreachable = 3;
constexpr uint8_t kIcmpTimeExceeded = 11;
constexpr uint8_t kIcmpParameterProblem = 12;

void put16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value & 0xff);
}

uint16_t get16(std::span<const uint8_t> bytes, size_t at) {
    return static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

// An address as it lies in the packet, kept in network byte order like the rest.
uint32_t get_address(std::span<const uint8_t> bytes, size_t at) {
    uint32_t address = 0;
    std::memcpy(&address, bytes.data() + at, sizeof address);
    return address;
}

// The ICMP messages that report a datagram's failure. Redirects and source quenches
// quote a datagram too, but it went on (or may have); the kernel does not hand them to
// an ordinary socket either, so both paths take the same messages.
bool reports_failure(uint8_t type) {
    return type == kIcmpDestUnreachable || type == kIcmpTimeExceeded ||
           type == kIcmpParameterProblem;
}

// True when the bytes carry a correct Internet checksum (RFC 1071): summed in 16-bit
// words with end-around carry, checksum field included, they give all ones.
bool checksum_holds(std::span<const uint8_t> bytes) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        sum += static_cast<uint32_t>(bytes[i] << 8 | bytes[i + 1]);
    if (bytes.size() % 2 != 0)
        sum += static_cast<uint32_t>(bytes.back() << 8);
    while (sum > 0xffff)
        sum = (sum & 0xffff) + (sum >> 16);
    return sum == 0xffff;
}

// Length of a valid IPv4 header at the start of bytes, or 0.
size_t ip_header_length(std::span<const uint8_t> bytes) {
    if (bytes.size() < kIpHeaderMin || bytes[0] >> 4 != 4)
        return 0;
    size_t length = static_cast<size_t>(bytes[0] & 0x0f) * 4;
    if (length < kIpHeaderMin || length > bytes.size())
        return 0;
    return length;
}

// The quoted datagram of an ICMP error: what follows the ICMP header, or, with an
// RFC 4884 length attribute, only the field it gives (its padding and the extensions
// after it are not quote). The quoted IP length field is not trusted for this: some
// routers rewrite it.
std::span<const uint8_t> quoted_datagram(std::span<const uint8_t> icmp) {
    std::span<const uint8_t> quote = icmp.subspan(kIcmpHeaderSize);
    if (size_t words = icmp[5]; words != 0)
        quote = quote.first(std::min(quote.size(), words * 4));
    return quote;
}

// True when the quote is of this probe's datagram.
bool quotes_probe(std::span<const uint8_t> quote, const UdpProbeId& probe) {
    size_t header = ip_header_length(quote);
    if (header == 0 || quote[9] != kProtocolUdp || get_address(quote, 16) != probe.target)
        return false;
    std::span<const uint8_t> udp = quote.subspan(header);
    if (udp.size() < 4 || get16(udp, 0) != kUdpSourcePort ||
        get16(udp, 2) != probe.destination_port)
        return false;
    if (probe.has_payload && udp.size() > kUdpHeaderSize && udp[kUdpHeaderSize] != probe.counter)
        return false;
    return true;
}

}  // namespace

uint16_t udp_destination_port(uint8_t ttl) { return static_cast<uint16_t>(kUdpBasePort + ttl); }

size_t build_udp_datagram(std::span<uint8_t> out, uint8_t ttl, std::span<const uint8_t> payload) {
    size_t length = kUdpHeaderSize + payload.size();
    if (length > out.size() || length > 0xffff)
        return 0;
    put16(&out[0], kUdpSourcePort);
    put16(&out[2], udp_destination_port(ttl));
    put16(&out[4], static_cast<uint16_t>(length));
    put16(&out[6], 0);
    std::copy(payload.begin(), payload.end(), out.begin() + kUdpHeaderSize);
    return length;
}

UdpAnswer read_udp_answer(std::span<const uint8_t> packet, const UdpProbeId& probe) {
    UdpAnswer answer;
    size_t header = ip_header_length(packet);
    if (header == 0 || packet[9] != kProtocolIcmp || packet.size() - header < kIcmpHeaderSize)
        return answer;
    std::span<const uint8_t> icmp = packet.subspan(header);
    // A raw socket gets ICMP before the kernel checks its checksum. A packet cut to the
    // receive buffer (shorter than its IP length, which the kernel did check) cannot be
    // checked and is taken on its quote alone.
    if (size_t total = get16(packet, 2); total <= packet.size()) {
        if (total < header + kIcmpHeaderSize)
            return answer;
        icmp = icmp.first(total - header);
        if (!checksum_holds(icmp))
            return answer;
    }
    if (!reports_failure(icmp[0]) || !quotes_probe(quoted_datagram(icmp), probe))
        return answer;
    answer.ours = true;
    answer.responder = get_address(packet, 12);
    answer.icmp_type = icmp[0];
    answer.ttl = packet[8];
    return answer;
}

UdpAnswer read_udp_error_report(const UdpErrorReport& report, const UdpProbeId& probe) {
    UdpAnswer answer;
    if (!reports_failure(report.icmp_type) || report.quoted_destination != probe.target ||
        report.quoted_destination_port != probe.destination_port)
        return answer;
    if (probe.has_payload && report.quoted_payload_length > 0 &&
        report.quoted_payload[0] != probe.counter)
        return answer;
    answer.ours = true;
    answer.responder = report.offender;
    answer.icmp_type = report.icmp_type;
    answer.ttl = report.ttl;
    return answer;
}

int32_t udp_answer_status(const UdpAnswer& answer, uint32_t target) {
    if (answer.icmp_type == kIcmpTimeExceeded)
        return kIpTtlExpiredTransit;
    if (answer.responder == target)
        return kIpSuccess;
    return kIpStatusBase + answer.icmp_type;
}
