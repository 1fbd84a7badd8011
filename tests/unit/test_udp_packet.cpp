// The UDP probe's datagram, the reading of ICMP reports against one probe (raw packets
// and error-queue reports, hostile ones included), and the status rule.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <memory>
#include <tuple>
#include <vector>

#include "platform/platform.h"
#include "probe/udp_packet.h"
#include "support/packets.h"
#include "wire/bytes.h"

namespace {

using packet::Bytes;
using packet::with_byte;

uint32_t addr(const char* text) { return inet_addr(text); }

const uint32_t kClient = addr("198.18.0.2");
const uint32_t kTarget = addr("198.18.9.2");
const uint32_t kRouter = addr("198.18.2.1");
const uint32_t kStranger = addr("198.18.7.7");

// An IPv4 header of 20 + option_bytes bytes in front of body; the ICMP checksum of an
// ICMP body stored again (the tests change messages by hand).
Bytes ipv4(uint32_t src, uint32_t dst, uint8_t ttl, uint8_t protocol, const Bytes& body,
           size_t option_bytes = 0) {
    Bytes datagram = packet::ipv4_datagram({.source = src,
                                            .destination = dst,
                                            .ttl = ttl,
                                            .protocol = protocol,
                                            .option_bytes = option_bytes},
                                           body);
    return packet::reseal_icmp(datagram);
}

// What the probe put on the wire: IP header (TTL 1 left when a router reports it) and
// the datagram the program built.
struct ProbeOnWire {
    uint8_t ttl = 3;
    uint8_t counter = 7;
    size_t data_size = 32;
    uint32_t target = kTarget;

    Bytes datagram() const {
        Bytes payload(data_size, 'x');
        if (!payload.empty())
            payload[0] = counter;
        Bytes out(kUdpDatagramSize);
        out.resize(build_udp_datagram(out, ttl, payload));
        return out;
    }
    Bytes packet(size_t option_bytes = 0) const {
        return ipv4(kClient, target, 1, 17, datagram(), option_bytes);
    }
    UdpProbeId id() const {
        return UdpProbeId{target, udp_destination_port(ttl), data_size > 0, counter};
    }
};

// An ICMP message quoting the first quote_bytes of the probe's packet.
Bytes icmp_report(uint8_t type, uint8_t code, const Bytes& probe_packet, size_t quote_bytes) {
    return packet::icmp_message(
        type, code, 0, std::span(probe_packet).first(std::min(quote_bytes, probe_packet.size())));
}

// A whole received packet: from whom, with which TTL, of which type, quoting how much.
Bytes report_packet(uint32_t from, uint8_t type, const ProbeOnWire& probe, size_t quote = 576,
                    uint8_t code = 0) {
    return ipv4(from, kClient, 61, 1, icmp_report(type, code, probe.packet(), quote));
}

// Reads a copy whose heap block ends exactly where the packet does, so that a read past
// it is caught by the sanitizers.
UdpAnswer read(const Bytes& packet, const UdpProbeId& id) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[packet.size() + (packet.empty() ? 1 : 0)]);
    std::copy(packet.begin(), packet.end(), exact.get());
    return read_udp_answer({exact.get(), packet.size()}, id);
}

// The raw-packet tests: one probe, and whether a packet answers it.
class UdpRawAnswer : public testing::Test {
protected:
    bool ours(const Bytes& packet) const { return read(packet, probe.id()).ours; }

    // Whether a router's time-exceeded report about the probe is ours with one of its
    // bytes set to value, its ICMP checksum redone.
    bool ours_with_byte(size_t at, uint8_t value) const {
        Bytes report = report_packet(kRouter, 11, probe);
        report[at] = value;
        return ours(packet::reseal_icmp(report));
    }

    ProbeOnWire probe;
};

}  // namespace

// ---- Building the datagram ----------------------------------------------------------

TEST(UdpDatagram, HeaderFieldsInNetworkOrderThenPayload) {
    Bytes payload = {9, 'a', 'b', 'c'};
    Bytes out(kUdpDatagramSize, 0xee);
    ASSERT_EQ(build_udp_datagram(out, 1, payload), 12u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 12),
              (Bytes{0xea, 0x61, 0x82, 0x9b, 0x00, 0x0c, 0x00, 0x00, 9, 'a', 'b', 'c'}));
    EXPECT_EQ(out[12], 0xee);  // nothing written past the datagram
}

TEST(UdpDatagram, PortsFollowTheTtl) {
    EXPECT_EQ(udp_destination_port(1), 33435);
    EXPECT_EQ(udp_destination_port(10), 33444);
    EXPECT_EQ(udp_destination_port(128), 33562);
    EXPECT_EQ(udp_destination_port(255), 33689);
    Bytes out(kUdpDatagramSize);
    build_udp_datagram(out, 129, {});
    EXPECT_EQ(out[2] << 8 | out[3], 33563);
}

TEST(UdpDatagram, EmptyPayloadLargestPayloadAndTooLarge) {
    Bytes out(kUdpDatagramSize, 0xee);
    ASSERT_EQ(build_udp_datagram(out, 5, {}), 8u);
    EXPECT_EQ(out[4], 0);
    EXPECT_EQ(out[5], 8);
    EXPECT_EQ(out[8], 0xee);

    Bytes largest(1492, 'q');
    ASSERT_EQ(build_udp_datagram(out, 5, largest), 1500u);
    EXPECT_EQ(out[4] << 8 | out[5], 1500);
    EXPECT_EQ(out[1499], 'q');

    Bytes too_large(1493, 'q');
    Bytes untouched(kUdpDatagramSize, 0xee);
    EXPECT_EQ(build_udp_datagram(untouched, 5, too_large), 0u);
    EXPECT_EQ(untouched, Bytes(kUdpDatagramSize, 0xee));
}

// ---- Raw packets: what answers the probe --------------------------------------------

TEST_F(UdpRawAnswer, RouterTimeExceededAndTargetPortUnreachable) {
    UdpAnswer expired = read(report_packet(kRouter, 11, probe), probe.id());
    ASSERT_TRUE(expired.ours);
    EXPECT_EQ(expired.responder, kRouter);
    EXPECT_EQ(expired.icmp_type, 11);
    EXPECT_EQ(expired.ttl, 61);
    EXPECT_EQ(udp_answer_status(expired, kTarget), 11013);

    UdpAnswer reached = read(report_packet(kTarget, 3, probe, 576, 3), probe.id());
    ASSERT_TRUE(reached.ours);
    EXPECT_EQ(reached.responder, kTarget);
    EXPECT_EQ(udp_answer_status(reached, kTarget), 0);
}

TEST_F(UdpRawAnswer, RouterReportsKeepTheirType) {
    // ICMP type and code, then the status.
    for (auto [type, code, status] : {std::tuple{3, 1, 11003}, {3, 13, 11003}, {12, 0, 11012}}) {
        SCOPED_TRACE(testing::Message() << type << "/" << code);
        UdpAnswer answer = read(report_packet(kRouter, static_cast<uint8_t>(type), probe, 576,
                                              static_cast<uint8_t>(code)),
                                probe.id());
        EXPECT_TRUE(answer.ours);
        EXPECT_EQ(udp_answer_status(answer, kTarget), status);
    }
}

TEST_F(UdpRawAnswer, HeaderLengthsComeFromIhl) {
    // Options in the report's own header (the largest, 60 bytes) and in the quoted one.
    Bytes outer = ipv4(kRouter, kClient, 50, 1, icmp_report(11, 0, probe.packet(), 576), 40);
    UdpAnswer answer = read(outer, probe.id());
    ASSERT_TRUE(answer.ours);
    EXPECT_EQ(answer.ttl, 50);
    EXPECT_EQ(answer.responder, kRouter);
    Bytes quoted = ipv4(kRouter, kClient, 50, 1, icmp_report(11, 0, probe.packet(8), 576));
    EXPECT_TRUE(ours(quoted));
    // A header length below 20 bytes or beyond the packet is no IPv4 packet.
    EXPECT_FALSE(ours_with_byte(0, 0x44));
    EXPECT_FALSE(ours_with_byte(28, 0x43));  // in the quoted header
    EXPECT_FALSE(ours_with_byte(0, 0x65));   // version 6
}

TEST_F(UdpRawAnswer, MessagesThatQuoteNoFailureAreNotAnswers) {
    // Someone's echo request and echo reply, with bytes after them that look like a quote.
    for (uint8_t type : {0, 8, 13, 14})
        EXPECT_FALSE(ours(report_packet(kStranger, type, probe))) << int(type);
    // Redirects and source quenches quote the datagram, which went on (or may have).
    EXPECT_FALSE(ours(report_packet(kRouter, 5, probe)));
    EXPECT_FALSE(ours(report_packet(kRouter, 4, probe)));
    // Not ICMP at all.
    EXPECT_FALSE(ours_with_byte(9, 17));
}

TEST_F(UdpRawAnswer, OtherProbesAreNotAnswers) {
    // An earlier hop's late answer: its port is another.
    EXPECT_FALSE(ours(report_packet(kRouter, 11, {.ttl = 2})));
    // An earlier probe of the same hop: same port, another counter byte.
    EXPECT_FALSE(ours(report_packet(kRouter, 11, {.counter = 6})));
    // A probe to another target.
    EXPECT_FALSE(ours(report_packet(kRouter, 11, {.target = kStranger})));
    // Some other program's datagram to the same port, from another source port.
    Bytes foreign = report_packet(kRouter, 11, probe);
    write_u16(foreign, 48, 40000);
    EXPECT_FALSE(ours(packet::reseal_icmp(foreign)));
    // Some other protocol quoted (here an ICMP datagram).
    EXPECT_FALSE(ours_with_byte(37, 1));
}

TEST_F(UdpRawAnswer, CounterCheckedOnlyWhereTheQuoteReachesIt) {
    // 20 + 8 bytes quoted (the least a router must quote): ports only, no counter.
    EXPECT_TRUE(ours(report_packet(kRouter, 11, probe, 28)));
    const ProbeOnWire other{.counter = 200};
    EXPECT_TRUE(ours(report_packet(kRouter, 11, other, 28)));
    EXPECT_FALSE(ours(report_packet(kRouter, 11, other, 29)));
    // A probe without payload has no counter byte to compare.
    const ProbeOnWire empty{.data_size = 0};
    Bytes with_trailer = report_packet(kRouter, 11, empty);
    with_trailer.push_back(0x99);
    write_u16(with_trailer, 2, static_cast<uint16_t>(with_trailer.size()));
    EXPECT_TRUE(read(packet::reseal_icmp(with_trailer), empty.id()).ours);
}

TEST_F(UdpRawAnswer, ExtensionsAfterTheQuotedFieldAreNotQuote) {
    // RFC 4884: byte 5 gives the original datagram field in 32-bit words; an extension
    // structure follows it. Here the field ends right after the UDP header.
    Bytes icmp = icmp_report(11, 0, probe.packet(), 28);
    const uint8_t extension[] = {0x20, 0x00, 0x00, 0x00, 0x00, 0x08, 0x01, 0x01};
    for (uint8_t byte : extension)  // not insert: g++ 12 warns wrongly about it here
        icmp.push_back(byte);
    // Without the attribute (0) the extension's first byte stands where the counter would.
    // A field that ends inside the UDP header: ports still there at 24 bytes (6), not at
    // 20 (5).
    for (auto [words, answers] : {std::pair{7, true}, {0, false}, {6, true}, {5, false}}) {
        EXPECT_EQ(ours(ipv4(kRouter, kClient, 61, 1, with_byte(icmp, 5, uint8_t(words)))), answers)
            << words << " words";
    }
}

TEST_F(UdpRawAnswer, CutPacketsNeverReadPastTheirEnd) {
    probe.data_size = 1000;
    // A time-exceeded report quoting 548 bytes, read from its first 512 bytes.
    Bytes whole = report_packet(kRouter, 11, probe);
    ASSERT_GT(whole.size(), kUdpReceiveSize);
    Bytes cut(whole.begin(), whole.begin() + kUdpReceiveSize);
    UdpAnswer answer = read(cut, probe.id());
    ASSERT_TRUE(answer.ours);
    EXPECT_EQ(udp_answer_status(answer, kTarget), 11013);
    // Every shorter cut: ours exactly when the ports are there (20 + 8 + 20 + 4 bytes).
    for (size_t length = 0; length < 100; ++length) {
        Bytes shorter(whole.begin(), whole.begin() + length);
        EXPECT_EQ(ours(shorter), length >= 52) << length;
    }
    // A quoted header whose length claims more than was quoted.
    Bytes long_ihl = report_packet(kRouter, 11, probe, 30);
    long_ihl[28] = 0x4f;
    EXPECT_FALSE(ours(packet::reseal_icmp(long_ihl)));
}

TEST_F(UdpRawAnswer, OnlyTheCheckedBytesDecide) {
    // Every byte of a time-exceeded report turned over in turn: the report stays ours
    // unless the byte is one that is checked: 0 version and IHL, 9 protocol ICMP,
    // 20 ICMP type, 28 quoted version and IHL, 37 quoted protocol UDP, 44-47 quoted
    // destination, 48-51 ports, 56 counter byte.
    const Bytes whole = report_packet(kRouter, 11, probe);
    const std::vector<size_t> checked = {0, 9, 20, 28, 37, 44, 45, 46, 47, 48, 49, 50, 51, 56};
    for (size_t at = 0; at < whole.size(); ++at) {
        Bytes turned = whole;
        turned[at] ^= 0xff;
        packet::reseal_icmp(turned);
        bool decides = std::find(checked.begin(), checked.end(), at) != checked.end();
        EXPECT_EQ(ours(turned), !decides) << "byte " << at;
    }
}

TEST_F(UdpRawAnswer, ChecksumCheckedWhereThePacketIsWhole) {
    const Bytes report = report_packet(kRouter, 11, probe);
    ASSERT_TRUE(ours(report));
    EXPECT_FALSE(ours(with_byte(report, 22, report[22] ^ 0x01)));
    EXPECT_FALSE(ours(with_byte(report, 70, report[70] ^ 0x10)));  // a payload byte of the quote
    // Bytes after the IP length are not part of the packet, nor of its checksum.
    Bytes trailing = report;
    trailing.push_back(0x55);
    EXPECT_TRUE(ours(trailing));
    // An IP length too short for an ICMP header.
    EXPECT_FALSE(ours(packet::with_u16(report, 2, 27)));
    // Cut to the receive buffer, a report cannot be checked; its quote decides.
    probe.data_size = 1000;
    Bytes long_report = report_packet(kRouter, 11, probe);
    Bytes cut(long_report.begin(), long_report.begin() + kUdpReceiveSize);
    cut[22] ^= 0x01;
    EXPECT_TRUE(ours(cut));
}

// ---- Error-queue reports ------------------------------------------------------------

TEST(UdpErrorQueue, ReportsAboutThisProbe) {
    ProbeOnWire probe;
    uint8_t quoted[] = {7, 'x', 'x'};
    UdpErrorReport report{kRouter, 11, 0, 62, kTarget, probe.id().destination_port, quoted, 3};
    UdpAnswer expired = read_udp_error_report(report, probe.id());
    ASSERT_TRUE(expired.ours);
    EXPECT_EQ(expired.responder, kRouter);
    EXPECT_EQ(expired.ttl, 62);
    EXPECT_EQ(udp_answer_status(expired, kTarget), 11013);

    report.offender = kTarget;
    report.icmp_type = 3;
    report.icmp_code = 3;
    EXPECT_EQ(udp_answer_status(read_udp_error_report(report, probe.id()), kTarget), 0);
    // A quote that stops before the payload leaves the counter unchecked.
    report.quoted_payload_length = 0;
    EXPECT_TRUE(read_udp_error_report(report, probe.id()).ours);
}

TEST(UdpErrorQueue, ReportsAboutOtherDatagramsOrOfOtherKinds) {
    ProbeOnWire probe;
    uint8_t quoted[] = {7, 'x'};
    const UdpErrorReport ours{kRouter, 11, 0, 62, kTarget, probe.id().destination_port, quoted, 2};
    ASSERT_TRUE(read_udp_error_report(ours, probe.id()).ours);
    // Another hop's port, another target, an earlier probe's counter byte; then ICMP
    // types 0, 4, 5 and 8.
    std::vector<UdpErrorReport> others(3, ours);
    others[0].quoted_destination_port = udp_destination_port(2);
    others[1].quoted_destination = kStranger;
    uint8_t earlier[] = {6, 'x'};
    others[2].quoted_payload = earlier;
    for (uint8_t type : {0, 4, 5, 8}) {
        others.push_back(ours);
        others.back().icmp_type = type;
    }
    for (size_t i = 0; i < others.size(); ++i)
        EXPECT_FALSE(read_udp_error_report(others[i], probe.id()).ours) << "case " << i;
}

// ---- The status rule ----------------------------------------------------------------

TEST(UdpStatus, TimeExceededFirstThenTargetThenType) {
    EXPECT_EQ(udp_answer_status(UdpAnswer{true, kTarget, 11, 64}, kTarget), 11013);
    EXPECT_EQ(udp_answer_status(UdpAnswer{true, kTarget, 3, 64}, kTarget), 0);
    EXPECT_EQ(udp_answer_status(UdpAnswer{true, kTarget, 12, 64}, kTarget), 0);
    EXPECT_EQ(udp_answer_status(UdpAnswer{true, kRouter, 3, 64}, kTarget), 11003);
    EXPECT_EQ(udp_answer_status(UdpAnswer{true, kRouter, 12, 64}, kTarget), 11012);
}
