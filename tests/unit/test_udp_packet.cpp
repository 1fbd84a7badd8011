// The UDP probe's datagram, the reading of ICMP reports against one probe (raw packets
// and error-queue reports, hostile ones included), and the status rule.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <string>
#include <vector>

#include "answer_table.h"
#include "platform/platform.h"
#include "probe/udp_packet.h"
#include "support/packets.h"

namespace {

using packet::Bytes;
using packet::first;

const uint32_t kTarget = inet_addr("198.18.9.2");
const uint32_t kRouter = inet_addr("198.18.2.1");
const uint32_t kStranger = inet_addr("198.18.7.7");

// The probe that went out with TTL 3 and 32 payload bytes, the counter 7 first (the
// packets of the data file were made about it).
const UdpProbeId kProbe{kTarget, 33437, true, 7};

// What a reading tells: that the arrival is not ours, or its ICMP type, who sent it, the
// TTL and the status the probe takes from it.
using Reading = std::string;
const Reading kNotOurs = "not ours";

Reading reading(const UdpAnswer& answer) {
    if (!answer.ours)
        return kNotOurs;
    return "type " + std::to_string(answer.icmp_type) + " from " +
           packet::dotted(answer.responder) + ", TTL " + std::to_string(answer.ttl) + ", status " +
           std::to_string(udp_answer_status(answer, kTarget));
}

// A router's time-exceeded report, received with this TTL.
Reading expired(int ttl = 61) {
    return "type 11 from 198.18.2.1, TTL " + std::to_string(ttl) + ", status 11013";
}

Reading read_raw(const Bytes& packet) { return reading(read_udp_answer(packet, kProbe)); }
Reading read_without_payload(const Bytes& packet) {
    return reading(read_udp_answer(packet, {kTarget, 33437, false, 7}));
}
bool ours(const Bytes& packet) { return read_raw(packet) != kNotOurs; }

// The probe's report from the error queue, of this type from offender.
UdpErrorReport queued(uint8_t type, uint32_t offender = kRouter, uint8_t code = 0) {
    static const uint8_t quoted[] = {7, 'x'};
    return {offender, type, code, 62, kTarget, kProbe.destination_port, quoted, 2};
}
Reading read_queued(const UdpErrorReport& report) {
    return reading(read_udp_error_report(report, kProbe));
}

// The raw packets' rows, and the packets whole and cut that the loops below turn over.
constexpr const char* kData = "upkt_udp_raw.txt";
const packet::AnswerTable<Bytes> kRaw{read_raw};
const packet::AnswerTable<UdpErrorReport> kQueued{read_queued};

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

TEST(UdpRawAnswer, RouterTimeExceededAndTargetPortUnreachable) { kRaw.expect_file(kData); }

TEST(UdpRawAnswer, RouterReportsKeepTheirType) { kRaw.expect_file(kData); }

TEST(UdpRawAnswer, HeaderLengthsComeFromIhl) { kRaw.expect_file(kData); }

TEST(UdpRawAnswer, CounterCheckedOnlyWhereTheQuoteReachesIt) {
    kRaw.expect_file(kData);
    // A probe without payload has no counter byte to compare.
    packet::AnswerTable<Bytes>{read_without_payload}.expect_file(kData, "UdpRawAnswer.NoPayload");
}

TEST(UdpRawAnswer, MessagesThatQuoteNoFailureAreNotAnswers) { kRaw.expect_file(kData); }

TEST(UdpRawAnswer, OtherProbesAreNotAnswers) { kRaw.expect_file(kData); }

TEST(UdpRawAnswer, ExtensionsAfterTheQuotedFieldAreNotQuote) { kRaw.expect_file(kData); }

TEST(UdpRawAnswer, CutPacketsNeverReadPastTheirEnd) {
    kRaw.expect_file(kData);
    // A time-exceeded report quoting 548 bytes, read from its first 512 bytes.
    const Bytes whole = packet::row_bytes(kData, packet::this_test(), "long report");
    ASSERT_GT(whole.size(), kUdpReceiveSize);
    EXPECT_EQ(read_raw(first(whole, kUdpReceiveSize)), expired());
    // Every shorter cut: ours exactly when the ports are there (20 + 8 + 20 + 4 bytes).
    for (size_t length = 0; length < 100; ++length)
        EXPECT_EQ(ours(first(whole, length)), length >= 52) << length;
}

TEST(UdpRawAnswer, OnlyTheCheckedBytesDecide) {
    // Every byte of a time-exceeded report turned over in turn: the report stays ours
    // unless the byte is one that is checked: 0 version and IHL, 9 protocol ICMP,
    // 20 ICMP type, 28 quoted version and IHL, 37 quoted protocol UDP, 44-47 quoted
    // destination, 48-51 ports, 56 counter byte.
    const Bytes whole = packet::row_bytes(
        kData, "UdpRawAnswer.RouterTimeExceededAndTargetPortUnreachable", "time exceeded");
    ASSERT_EQ(whole.size(), 88u);
    const std::vector<size_t> checked = {0, 9, 20, 28, 37, 44, 45, 46, 47, 48, 49, 50, 51, 56};
    for (size_t at = 0; at < whole.size(); ++at) {
        Bytes turned = whole;
        turned[at] ^= 0xff;
        packet::reseal_icmp(turned);
        bool decides = std::find(checked.begin(), checked.end(), at) != checked.end();
        EXPECT_EQ(ours(first(turned, turned.size())), !decides) << "byte " << at;
    }
}

TEST(UdpRawAnswer, ChecksumCheckedWhereThePacketIsWhole) { kRaw.expect_file(kData); }

// ---- Error-queue reports ------------------------------------------------------------

TEST(UdpErrorQueue, ReportsAboutThisProbe) {
    UdpErrorReport no_payload = queued(11);
    no_payload.quoted_payload_length = 0;
    kQueued.expect({
        {"time exceeded", queued(11), expired(62)},
        {"port unreachable", queued(3, kTarget, 3), "type 3 from 198.18.9.2, TTL 62, status 0"},
        // A quote that stops before the payload leaves the counter unchecked.
        {"no payload quoted", no_payload, expired(62)},
    });
}

TEST(UdpErrorQueue, ReportsAboutOtherDatagramsOrOfOtherKinds) {
    UdpErrorReport other_hop = queued(11);
    other_hop.quoted_destination_port = udp_destination_port(2);
    UdpErrorReport other_target = queued(11);
    other_target.quoted_destination = kStranger;
    const uint8_t earlier[] = {6, 'x'};
    UdpErrorReport earlier_probe = queued(11);
    earlier_probe.quoted_payload = earlier;
    kQueued.expect({
        {"another hop's port", other_hop, kNotOurs},
        {"another target", other_target, kNotOurs},
        {"an earlier probe's counter", earlier_probe, kNotOurs},
        {"echo reply", queued(0), kNotOurs},
        {"source quench", queued(4), kNotOurs},
        {"redirect", queued(5), kNotOurs},
        {"echo request", queued(8), kNotOurs},
    });
}

// ---- The status rule ----------------------------------------------------------------

TEST(UdpStatus, TimeExceededFirstThenTargetThenType) {
    EXPECT_EQ(udp_answer_status(UdpAnswer{true, kTarget, 11, 64}, kTarget), 11013);
    EXPECT_EQ(udp_answer_status(UdpAnswer{true, kTarget, 3, 64}, kTarget), 0);
    EXPECT_EQ(udp_answer_status(UdpAnswer{true, kTarget, 12, 64}, kTarget), 0);
    EXPECT_EQ(udp_answer_status(UdpAnswer{true, kRouter, 3, 64}, kTarget), 11003);
    EXPECT_EQ(udp_answer_status(UdpAnswer{true, kRouter, 12, 64}, kTarget), 11012);
}
