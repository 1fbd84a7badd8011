// The UDP probe's datagram and the reading of the ICMP reports about it.
#include "probe/udp_packet.h"

#include <algorithm>
#include <cstring>

#include "wire/bytes.h"
#include "wire/checksum.h"
#include "wire/icmp.h"
#include "wire/ip_status.h"
#include "wire/ipv4.h"

namespace {

// The ICMP messages that report a datagram's failure. Redirects and source quenches
// quote a datagram too, but it went on (or may have); the kernel does not hand them to
// an ordinary socket either, so both paths take the same messages.
bool reports_failure(uint8_t type) {
    return type == kIcmpDestUnreachable || type == kIcmpTimeExceeded || type == kIcmpParamProblem;
}

// The quoted datagram of an ICMP error: what follows the ICMP header, or, with an
// RFC 4884 length attribute, only the field it gives (its padding and the extensions
// after it are not quote). The quoted IP length field is not trusted for this: some
// routers rewrite it.
std::span<const uint8_t> quoted_datagram(std::span<const uint8_t> icmp) {
    std::span<const uint8_t> quote = icmp.subspan(kIcmpHeaderSize);
    if (size_t words = icmp[kIcmpQuoteLengthAt]; words != 0)
        quote = quote.first(std::min(quote.size(), words * 4));
    return quote;
}

// True when the quote is of this probe's datagram.
bool quotes_probe(std::span<const uint8_t> quote, const UdpProbeId& probe) {
    std::optional<Ipv4Header> ip = read_ipv4_header(quote);
    if (!ip || ip->protocol != kProtocolUdp || ip->destination != probe.target)
        return false;
    std::span<const uint8_t> udp = quote.subspan(ip->header_length);
    if (udp.size() < 4 || read_u16(udp, 0) != kUdpSourcePort ||
        read_u16(udp, 2) != probe.destination_port)
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
    write_u16(out, 0, kUdpSourcePort);
    write_u16(out, 2, udp_destination_port(ttl));
    write_u16(out, 4, static_cast<uint16_t>(length));
    write_u16(out, 6, 0);
    std::copy(payload.begin(), payload.end(), out.begin() + kUdpHeaderSize);
    return length;
}

UdpAnswer read_udp_answer(std::span<const uint8_t> packet, const UdpProbeId& probe) {
    UdpAnswer answer;
    std::optional<Ipv4Header> ip = read_ipv4_header(packet);
    if (!ip || ip->protocol != kProtocolIcmp || packet.size() - ip->header_length < kIcmpHeaderSize)
        return answer;
    size_t header = ip->header_length;
    std::span<const uint8_t> icmp = packet.subspan(header);
    // A raw socket gets ICMP before the kernel checks its checksum. A packet cut to the
    // receive buffer (shorter than its IP length, which the kernel did check) cannot be
    // checked and is taken on its quote alone.
    if (size_t total = ip->total_length; total <= packet.size()) {
        if (total < header + kIcmpHeaderSize)
            return answer;
        icmp = icmp.first(total - header);
        if (!checksum_holds(icmp))
            return answer;
    }
    if (!reports_failure(icmp[0]) || !quotes_probe(quoted_datagram(icmp), probe))
        return answer;
    answer.ours = true;
    answer.responder = ip->source;
    answer.icmp_type = icmp[0];
    answer.ttl = ip->ttl;
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
