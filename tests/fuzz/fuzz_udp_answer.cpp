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
#include <span>
#include <vector>

#include "fuzz/second_reading.h"
#include "probe/udp_packet.h"
#include "support/packets.h"
#include "wire/bytes.h"
#include "wire/checksum.h"

namespace {

bool reports_a_datagram(uint8_t type) { return type == 3 || type == 11 || type == 12; }

bool counter_holds(const UdpProbeId& probe, Bytes payload) {
    return !probe.has_payload || payload.empty() || payload[0] == probe.counter;
}

// The second reading of a raw packet.
UdpAnswer expected_raw(Bytes packet, const UdpProbeId& probe) {
    size_t header = header_length(packet);
    if (header == 0 || packet[9] != 1 || packet.size() < header + 8)
        return {};
    Bytes icmp = packet.subspan(header);
    size_t total = read_u16(packet, 2);
    if (total <= packet.size()) {
        if (total < header + 8)
            return {};
        icmp = packet.subspan(header, total - header);
        if (!checksum_holds(icmp))
            return {};
    }
    if (!reports_a_datagram(icmp[0]))
        return {};
    // An RFC 4884 length (32-bit words) bounds the quote.
    Bytes quote = icmp.subspan(8);
    if (icmp[5] != 0)
        quote = quote.first(std::min<size_t>(quote.size(), icmp[5] * 4u));
    size_t inner = header_length(quote);
    if (inner == 0 || quote[9] != 17 || read_address(quote, 16) != probe.target ||
        quote.size() < inner + 4 || read_u16(quote, inner) != 60001 ||
        read_u16(quote, inner + 2) != probe.destination_port)
        return {};
    if (!counter_holds(probe, quote.subspan(std::min(quote.size(), inner + 8))))
        return {};
    return {true, read_address(packet, 12), icmp[0], packet[8]};  // ours, responder, type, TTL
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
    if (input.size() < 10)
        return;
    constexpr uint8_t kReports[][2] = {{3, 3}, {3, 1}, {3, 13}, {11, 0}, {11, 1}, {12, 0}};
    const uint8_t* kind = kReports[input[0] % 6];
    size_t outer_options = input[1] % 11 * 4;  // bytes
    size_t inner_options = input[2] % 11 * 4;
    size_t cut = input[3];
    bool extensions = input[4] & 1;
    uint8_t ttl = input[5];
    uint32_t responder = (input[4] & 2) ? probe.target : read_address(input, 6);
    Bytes payload =
        probe.has_payload ? input.subspan(10, std::min<size_t>(input.size() - 10, 1400)) : Bytes();
    std::vector<uint8_t> datagram(kUdpDatagramSize);
    std::vector<uint8_t> body(payload.begin(), payload.end());
    if (!body.empty())
        body[0] = probe.counter;
    size_t length = build_udp_datagram(datagram, probe_ttl, body);
    require(length == 8 + body.size());
    datagram.resize(length);

    std::vector<uint8_t> sent = packet::ipv4_datagram({.source = kOwn,
                                                       .destination = probe.target,
                                                       .ttl = 1,
                                                       .protocol = kProtocolUdp,
                                                       .option_bytes = inner_options},
                                                      datagram);
    Bytes quote(sent.data(), std::min(sent.size(), 20 + inner_options + 8 + cut));
    std::vector<uint8_t> icmp = packet::icmp_message(kind[0], kind[1], 0, quote);
    if (extensions) {
        // RFC 4884: the quote padded to 32 bits, its length in words, then extensions.
        std::vector<uint8_t> body(quote.begin(), quote.end());
        body.resize((quote.size() + 3) / 4 * 4, 0);
        body.insert(body.end(), {0x20, 0x00, 0x00, 0x00, 0x00, 0x08, 0x01, 0x01, 0x11, 0x22});
        uint32_t words = static_cast<uint32_t>(quote.size() + 3) / 4;
        icmp = packet::icmp_message(kind[0], kind[1], words << 16, body);
    }
    std::vector<uint8_t> received_packet = packet::ipv4_datagram(
        {.source = responder, .destination = kOwn, .ttl = ttl, .option_bytes = outer_options},
        icmp);
    Bytes received =
        Bytes(received_packet).first(std::min<size_t>(received_packet.size(), kUdpReceiveSize));
    UdpAnswer want{.ours = true, .responder = responder, .icmp_type = kind[0], .ttl = ttl};
    compare(read_udp_answer(received, probe), want, probe);
    compare(want, expected_raw(received, probe), probe);

    UdpErrorReport report{.offender = responder,
                          .icmp_type = kind[0],
                          .icmp_code = kind[1],
                          .ttl = ttl,
                          .quoted_destination = probe.target,
                          .quoted_destination_port = probe.destination_port,
                          .quoted_payload = body.data(),
                          .quoted_payload_length = std::min(body.size(), cut)};
    compare(read_udp_error_report(report, probe), want, probe);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    UdpProbeId probe;
    probe.target = kTarget;
    probe.destination_port = udp_destination_port(data[1]);
    probe.has_payload = data[0] & 2;
    probe.counter = data[1];
    Bytes rest(data + 2, size - 2);
    if ((data[0] & 0x30) == 0x30) {
        check_built_reports(rest, probe, data[1]);
        return 0;
    }
    if ((data[0] & 1) == 0) {
        // The platform hands over at most kUdpReceiveSize bytes of a packet.
        if (rest.size() > kUdpReceiveSize)
            rest = rest.first(kUdpReceiveSize);
        compare(read_udp_answer(rest, probe), expected_raw(rest, probe), probe);
        return 0;
    }
    if (rest.size() < 13)
        return 0;
    UdpErrorReport report;
    report.offender = read_address(rest, 0);
    report.icmp_type = rest[4];
    report.icmp_code = rest[5];
    report.ttl = rest[6];
    report.quoted_destination = (data[0] & 4) ? kTarget : read_address(rest, 7);
    std::memcpy(&report.quoted_destination_port, rest.data() + 11, 2);
    if (data[0] & 8)
        report.quoted_destination_port = probe.destination_port;
    report.quoted_payload = rest.data() + 13;
    report.quoted_payload_length = rest.size() - 13;
    compare(read_udp_error_report(report, probe), expected_report(report, probe), probe);
    return 0;
}
