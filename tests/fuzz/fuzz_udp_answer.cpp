// Fuzzes the reading of ICMP reports about a UDP probe: raw packets from the ICMP
// socket, and error-queue reports of an ordinary UDP socket. Each reading is compared
// with a plain second reading written from the packet formats: a report answers the
// probe exactly when it is a destination-unreachable, time-exceeded or parameter-problem
// message whose quote shows UDP from port 60001 to the probe's port at the target and,
// as far as the quote reaches, the probe's counter byte; a raw packet must also carry a
// correct ICMP checksum unless the receive cut it short. A third part builds a datagram
// with the program's builder and wraps it into the reports a network sends (IP options
// outside and inside, quotes cut anywhere from 8 bytes of UDP header on, RFC 4884
// extensions, packets cut to the receive buffer): each must be taken, in both forms.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "fuzz/second_reading.h"
#include "probe/udp_packet.h"

namespace {

bool reports_a_datagram(uint8_t type) { return type == 3 || type == 11 || type == 12; }

bool counter_holds(const UdpProbeId& probe, Bytes payload) {
    return !probe.has_payload || payload.empty() || payload[0] == probe.counter;
}

// The second reading of a raw packet.
UdpAnswer expected_raw(Bytes packet, const UdpProbeId& probe) {
    std::optional<Bytes> icmp = icmp_in(packet, true);
    if (!icmp || !reports_a_datagram((*icmp)[0]))
        return {};
    // An RFC 4884 length (32-bit words) bounds the quote.
    Bytes quote = icmp->subspan(8);
    if ((*icmp)[5] != 0)
        quote = quote.first(std::min<size_t>(quote.size(), (*icmp)[5] * 4u));
    std::optional<Bytes> udp = quoted_probe(quote, 17);
    if (!udp || udp->size() < 4 || read_u16(*udp, 0) != 60001 ||
        read_u16(*udp, 2) != probe.destination_port ||
        !counter_holds(probe, udp->subspan(std::min<size_t>(udp->size(), 8))))
        return {};
    return {true, read_address(packet, 12), (*icmp)[0], packet[8]};  // ours, responder, type, TTL
}

UdpAnswer expected_report(const UdpErrorReport& report, const UdpProbeId& probe) {
    Bytes payload(report.quoted_payload, report.quoted_payload_length);
    if (!reports_a_datagram(report.icmp_type) || report.quoted_destination != probe.target ||
        report.quoted_destination_port != probe.destination_port || !counter_holds(probe, payload))
        return {};
    return {true, report.offender, report.icmp_type, report.ttl};
}

void compare(const UdpAnswer& got, const UdpAnswer& want, const UdpProbeId& probe) {
    require(got.ours == want.ours);
    if (!got.ours)
        return;
    require(got.responder == want.responder && got.icmp_type == want.icmp_type &&
            got.ttl == want.ttl);
    int32_t wanted = got.icmp_type == 11             ? 11013
                     : got.responder == probe.target ? 0
                                                     : 11000 + got.icmp_type;
    require(udp_answer_status(got, probe.target) == wanted);
}

void check_built_reports(Bytes input, const UdpProbeId& probe, uint8_t probe_ttl) {
    std::optional<Wrapping> w = read_wrapping(input);
    if (!w || w->rest.empty())
        return;
    constexpr uint8_t kReports[][2] = {{3, 3}, {3, 1}, {3, 13}, {11, 0}, {11, 1}, {12, 0}};
    const uint8_t(&kind)[2] = kReports[w->kind % 6];
    uint8_t flags = w->rest[0];
    if (flags & 2)
        w->responder = probe.target;
    // The probe's payload from the input, its first byte the counter.
    Bytes payload = probe.has_payload ? w->rest.subspan(1) : Bytes();
    std::vector<uint8_t> body(payload.begin(), payload.end());
    if (!body.empty())
        body[0] = probe.counter;
    std::vector<uint8_t> datagram(kUdpDatagramSize);
    datagram.resize(build_udp_datagram(datagram, probe_ttl, body));
    require(datagram.size() == 8 + body.size());

    std::vector<uint8_t> packet = error_about(*w, kind, kProtocolUdp, datagram, flags & 1);
    Bytes received = Bytes(packet).first(std::min<size_t>(packet.size(), kUdpReceiveSize));
    UdpAnswer want{.ours = true, .responder = w->responder, .icmp_type = kind[0], .ttl = w->ttl};
    compare(read_udp_answer(received, probe), want, probe);
    compare(want, expected_raw(received, probe), probe);

    UdpErrorReport report{.offender = w->responder,
                          .icmp_type = kind[0],
                          .icmp_code = kind[1],
                          .ttl = w->ttl,
                          .quoted_destination = probe.target,
                          .quoted_destination_port = probe.destination_port,
                          .quoted_payload = body.data(),
                          .quoted_payload_length = std::min(body.size(), w->cut)};
    compare(read_udp_error_report(report, probe), want, probe);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    UdpProbeId probe{.target = kTarget,
                     .destination_port = udp_destination_port(data[1]),
                     .has_payload = (data[0] & 2) != 0,
                     .counter = data[1]};
    Bytes rest(data + 2, size - 2);
    if ((data[0] & 0x30) == 0x30) {
        check_built_reports(rest, probe, data[1]);
        return 0;
    }
    if ((data[0] & 1) == 0) {
        // The platform hands over at most kUdpReceiveSize bytes of a packet.
        rest = rest.first(std::min(rest.size(), kUdpReceiveSize));
        compare(read_udp_answer(rest, probe), expected_raw(rest, probe), probe);
        return 0;
    }
    if (rest.size() < 13)
        return 0;
    UdpErrorReport report{
        .offender = read_address(rest, 0),
        .icmp_type = rest[4],
        .icmp_code = rest[5],
        .ttl = rest[6],
        .quoted_destination = (data[0] & 4) ? kTarget : read_address(rest, 7),
        .quoted_destination_port = (data[0] & 8) ? probe.destination_port : read_u16(rest, 11),
        .quoted_payload = rest.data() + 13,
        .quoted_payload_length = rest.size() - 13};
    compare(read_udp_error_report(report, probe), expected_report(report, probe), probe);
    return 0;
}
