// ICMP echo packets: the request we build and the reading of every kind of arrival.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <span>
#include <tuple>
#include <vector>

#include "cli/console.h"
#include "support/packets.h"
#include "wire/bytes.h"
#include "wire/checksum.h"
#include "wire/icmp_echo.h"

namespace {

using packet::address_of;
using packet::Bytes;
using packet::with_byte;

const uint32_t kClient = address_of(198, 18, 1, 1);
const uint32_t kRouter = address_of(198, 18, 2, 2);
const uint32_t kTarget = address_of(198, 18, 5, 2);
constexpr uint16_t kId = 0x4a21;
constexpr uint16_t kSeq = 7;

EchoMatch our_match() { return {.target = kTarget, .identifier = kId, .sequence = kSeq}; }

Bytes icmp_message(uint8_t type, uint8_t code, uint16_t id, uint16_t seq, const Bytes& body) {
    return packet::icmp_message(type, code, static_cast<uint32_t>(id) << 16 | seq, body);
}

Bytes payload(size_t size) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(32 + i % 94);
    return bytes;
}

// Our request as it left: IP header and the echo request with its first payload bytes.
Bytes our_request(uint16_t id = kId, uint16_t seq = kSeq, packet::Ipv4 fields = {}) {
    fields.source = kClient;
    fields.destination = fields.destination == 0 ? kTarget : fields.destination;
    fields.ttl = 1;
    return packet::ipv4_datagram(fields, icmp_message(kIcmpEchoRequest, 0, id, seq, payload(32)));
}

// A router's error message about quoted, as the raw socket delivers it.
Bytes router_error(uint8_t type, uint8_t code, const Bytes& quoted, uint32_t from = kRouter) {
    return packet::ipv4_datagram({.source = from, .destination = kClient, .ttl = 62},
                                 icmp_message(type, code, 0, 0, quoted));
}

Bytes target_reply(uint16_t id = kId, uint16_t seq = kSeq, uint32_t from = kTarget) {
    return packet::ipv4_datagram({.source = from, .destination = kClient, .ttl = 60},
                                 icmp_message(kIcmpEchoReply, 0, id, seq, payload(32)));
}

IcmpAnswer read_raw(const Bytes& bytes) { return read_raw_datagram(bytes, our_match()); }

// What a router's time-exceeded report quoting quoted reads as.
IcmpAnswer read_expired(const Bytes& quoted) {
    return read_raw(router_error(kIcmpTimeExceeded, 0, quoted));
}

void expect_not_ours(const IcmpAnswer& found) { EXPECT_EQ(found.kind, AnswerKind::not_ours); }

// What an answer that is ours tells: its kind, who sent it, the status and the TTL.
void expect_answer(const IcmpAnswer& found, AnswerKind kind, uint32_t responder, int32_t status,
                   uint8_t ttl) {
    EXPECT_EQ(found.kind, kind);
    EXPECT_EQ(found.responder, responder);
    EXPECT_EQ(found.status, status);
    EXPECT_EQ(found.ttl, ttl);
}

}  // namespace

// ---- Building the request ---------------------------------------------------------

TEST(IcmpChecksum, MatchesTheWorkedExampleAndHandlesAnOddLength) {
    // 0001 + f203 + f4f5 + f6f7 = 2ddf0 -> ddf2 -> checksum 220d.
    const Bytes even = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    EXPECT_EQ(internet_checksum(even), 0x220d);
    // A last odd byte counts as the high byte of a word padded with zero.
    const Bytes odd = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7, 0x01};
    EXPECT_EQ(internet_checksum(odd), 0x210d);
    EXPECT_EQ(internet_checksum({}), 0xffff);
}

TEST(EchoRequest, HeaderPayloadAndChecksum) {
    Bytes data = payload(33);
    Bytes out(100, 0xee);
    size_t length = build_echo_request(out, 0xbeef, 0x0102, data);
    ASSERT_EQ(length, 41u);
    // Type and code, then (after the checksum) identifier and sequence.
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 2), (Bytes{kIcmpEchoRequest, 0}));
    EXPECT_EQ(Bytes(out.begin() + 4, out.begin() + 8), (Bytes{0xbe, 0xef, 0x01, 0x02}));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin() + 8));
    EXPECT_EQ(internet_checksum(std::span<const uint8_t>(out).first(length)), 0);
    EXPECT_EQ(out[41], 0xee) << "wrote past the request";
}

TEST(EchoRequest, EmptyAndLargestPayloads) {
    Bytes out(8 + 8192);
    EXPECT_EQ(build_echo_request(out, 1, 2, {}), 8u);
    EXPECT_EQ(internet_checksum(std::span<const uint8_t>(out).first(8)), 0);
    Bytes big = payload(8192);
    ASSERT_EQ(build_echo_request(out, 1, 2, big), 8200u);
    EXPECT_EQ(internet_checksum(out), 0);
}

TEST(EchoRequest, RefusesABufferTooSmall) {
    Bytes data = payload(10);
    Bytes out(17, 0xee);
    EXPECT_EQ(build_echo_request(out, 1, 2, data), 0u);
    EXPECT_EQ(build_echo_request(std::span<uint8_t>(), 1, 2, {}), 0u);
}

// ---- The status table ---------------------------------------------------------------

TEST(IcmpStatus, EchoReplyTimeExceededAndTheOtherReports) {
    EXPECT_EQ(icmp_answer_status(kIcmpEchoReply, 0), kIpSuccess);
    EXPECT_EQ(icmp_answer_status(kIcmpTimeExceeded, 0), kIpTtlExpiredTransit);
    EXPECT_EQ(icmp_answer_status(kIcmpTimeExceeded, 1), kIpTtlExpiredReassem);
    EXPECT_EQ(icmp_answer_status(kIcmpParamProblem, 0), kIpParamProblem);
    EXPECT_EQ(icmp_answer_status(kIcmpParamProblem, 2), kIpParamProblem);
    EXPECT_EQ(icmp_answer_status(kIcmpSourceQuench, 0), kIpSourceQuench);
}

TEST(IcmpStatus, UnreachableCodes) {
    const int32_t expected[16] = {
        11002, 11003, 11004, 11005, 11009, 11012,  // net host protocol port frag source-route
        11002, 11003, 11003,                       // net unknown, host unknown, isolated
        11002, 11003,                              // net prohibited, host prohibited
        11002, 11003,                              // net for ToS, host for ToS
        11003, 11003, 11003,                       // prohibited, precedence violation, cutoff
    };
    for (uint8_t code = 0; code < 16; ++code)
        EXPECT_EQ(icmp_answer_status(kIcmpDestUnreachable, code), expected[code]) << int(code);
    EXPECT_EQ(icmp_answer_status(kIcmpDestUnreachable, 200), kIpDestHostUnreachable);
}

TEST(IcmpStatus, RedirectsRequestsAndUnknownTypesAreNoAnswer) {
    for (uint8_t type : {kIcmpRedirect, kIcmpEchoRequest, uint8_t{9}, uint8_t{10}, uint8_t{13},
                         uint8_t{14}, uint8_t{42}, uint8_t{255}}) {
        EXPECT_FALSE(icmp_answer_status(type, 0).has_value()) << int(type);
        EXPECT_FALSE(icmp_answer_status(type, 1).has_value()) << int(type);
    }
}

TEST(IcmpStatus, NeverTheTimeoutOrAnUnknownCode) {
    for (int type = 0; type < 256; ++type) {
        for (int code = 0; code < 256; ++code) {
            auto status =
                icmp_answer_status(static_cast<uint8_t>(type), static_cast<uint8_t>(code));
            if (!status || *status == kIpSuccess)
                continue;
            EXPECT_NE(*status, kIpReqTimedOut);
            EXPECT_NE(ip_status_text(*status), nullptr) << type << "/" << code;
        }
    }
}

// ---- Raw socket: echo replies ------------------------------------------------------

TEST(RawEchoReply, OursGivesResponderStatusAndTtl) {
    expect_answer(read_raw(target_reply()), AnswerKind::echo_reply, kTarget, kIpSuccess, 60);
}

TEST(RawEchoReply, OtherIdentifierSequenceOrSenderIsNotOurs) {
    expect_not_ours(read_raw(target_reply(kId + 1, kSeq)));
    expect_not_ours(read_raw(target_reply(kId, kSeq - 1)));
    expect_not_ours(read_raw(target_reply(kId, kSeq + 256)));
    expect_not_ours(read_raw(target_reply(kId, kSeq, kRouter)));
}

TEST(RawEchoReply, RequestsAndBadChecksumsAreNotOurs) {
    // Our own request seen on the way out (loopback) looks like a reply otherwise.
    expect_not_ours(
        read_raw(packet::ipv4_datagram({.source = kTarget, .destination = kTarget},
                                       icmp_message(kIcmpEchoRequest, 0, kId, kSeq, {}))));
    Bytes reply = target_reply();
    expect_not_ours(read_raw(with_byte(reply, reply.size() - 1, reply.back() ^ 0x01)));
    expect_not_ours(
        read_raw(packet::ipv4_datagram({.source = kTarget, .destination = kClient},
                                       icmp_message(kIcmpEchoReply, 3, kId, kSeq, {}))));
}

TEST(RawEchoReply, IpOptionsAndTrailingBytes) {
    // 40 option bytes: the longest header, 60 bytes.
    Bytes reply = packet::ipv4_datagram(
        {.source = kTarget, .destination = kClient, .ttl = 33, .option_bytes = 40},
        icmp_message(kIcmpEchoReply, 0, kId, kSeq, payload(5)));
    expect_answer(read_raw(reply), AnswerKind::echo_reply, kTarget, kIpSuccess, 33);
    // Link padding beyond the IP total length is not part of the message.
    reply.insert(reply.end(), {0, 0, 0, 0, 0, 0});
    EXPECT_EQ(read_raw(reply).kind, AnswerKind::echo_reply);
}

TEST(RawEchoReply, FragmentsAreNotOurs) {
    auto reply_with = [](uint16_t fragment) {
        return read_raw(
            packet::ipv4_datagram({.source = kTarget, .destination = kClient, .fragment = fragment},
                                  icmp_message(kIcmpEchoReply, 0, kId, kSeq, {})));
    };
    for (uint16_t fragment : {uint16_t{0x2000}, uint16_t{0x0001}, uint16_t{0x00b9}})
        expect_not_ours(reply_with(fragment));
    EXPECT_EQ(reply_with(0x4000).kind, AnswerKind::echo_reply);  // don't-fragment alone is fine
}

// ---- Raw socket: error reports -------------------------------------------------------

TEST(RawError, TimeExceededQuotingOurRequest) {
    expect_answer(read_expired(our_request()), AnswerKind::error, kRouter, kIpTtlExpiredTransit,
                  62);
}

TEST(RawError, UnreachableAndOtherReportsTakeTheirStatus) {
    const std::tuple<uint8_t, uint8_t, int32_t> cases[] = {
        {kIcmpDestUnreachable, 1, kIpDestHostUnreachable},
        {kIcmpDestUnreachable, 13, kIpDestHostUnreachable},
        {kIcmpDestUnreachable, 0, kIpDestNetUnreachable},
        {kIcmpParamProblem, 0, kIpParamProblem},
        {kIcmpSourceQuench, 0, kIpSourceQuench},
    };
    for (const auto& [type, code, status] : cases)
        EXPECT_EQ(read_raw(router_error(type, code, our_request())).status, status)
            << int(type) << "/" << int(code);
}

TEST(RawError, RedirectsAreNotAnswers) {
    expect_not_ours(read_raw(router_error(kIcmpRedirect, 1, our_request())));
}

TEST(RawError, QuotedRequestMustBeOurs) {
    expect_not_ours(read_expired(our_request(kId + 1, kSeq)));
    expect_not_ours(read_expired(our_request(kId, kSeq + 1)));
    expect_not_ours(read_expired(our_request(kId, kSeq, {.destination = kRouter})));
    expect_not_ours(read_expired(with_byte(our_request(), 9, 17)));  // UDP
    expect_not_ours(read_expired(with_byte(our_request(), 20, kIcmpEchoReply)));
    // A later fragment of the request.
    expect_not_ours(read_expired(our_request(kId, kSeq, {.fragment = 0x00b9})));
}

TEST(RawError, QuotedHeaderWithOptionsAndShortestQuote) {
    Bytes quoted = our_request(kId, kSeq, {.option_bytes = 12});
    EXPECT_EQ(read_expired(quoted).kind, AnswerKind::error);
    // Routers must quote the IP header and 8 bytes; that is enough.
    EXPECT_EQ(read_expired(Bytes(quoted.begin(), quoted.begin() + 32 + 8)).kind, AnswerKind::error);
    expect_not_ours(read_expired(Bytes(quoted.begin(), quoted.begin() + 32 + 7)));
    expect_not_ours(read_expired(Bytes(quoted.begin(), quoted.begin() + 20)));  // header only
}

// ---- Raw socket: hostile and broken datagrams ------------------------------------------

TEST(RawHostile, EveryCutShortDatagramIsNotOurs) {
    for (const Bytes& whole : {target_reply(), router_error(kIcmpTimeExceeded, 0, our_request())}) {
        ASSERT_NE(read_raw(whole).kind, AnswerKind::not_ours);
        for (size_t length = 0; length < whole.size(); ++length) {
            // A copy of exactly this length, so a read past it is caught by the sanitizer.
            Bytes cut(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(length));
            expect_not_ours(read_raw(cut));
        }
    }
}

TEST(RawHostile, BrokenIpHeaders) {
    const Bytes reply = target_reply();
    Bytes ihl_past_end = with_byte(reply, 0, 0x4f);
    ihl_past_end.resize(40);
    const uint16_t too_long = static_cast<uint16_t>(reply.size() + 1);
    // Version 6, a header below 20 bytes or past the end, TCP, a total length past the
    // end or below the header.
    for (const Bytes& broken : {with_byte(reply, 0, 0x65), with_byte(reply, 0, 0x44), ihl_past_end,
                                with_byte(reply, 9, 6), packet::with_u16(reply, 2, too_long),
                                packet::with_u16(reply, 2, 12)})
        expect_not_ours(read_raw(broken));
    // The quoted header claims 60 bytes, more than was quoted.
    Bytes quoted_bad = with_byte(router_error(kIcmpTimeExceeded, 0, our_request()), 28, 0x4f);
    expect_not_ours(read_raw(packet::reseal_icmp(quoted_bad)));
}

TEST(RawHostile, RandomBytesNeverAnswer) {
    std::mt19937 random(4);
    for (int round = 0; round < 20000; ++round) {
        Bytes bytes(random() % 120);
        for (uint8_t& byte : bytes)
            byte = static_cast<uint8_t>(random());
        if (!bytes.empty())
            bytes[0] = static_cast<uint8_t>(0x45 + random() % 3);
        expect_not_ours(read_raw(bytes));
    }
}

// ---- Datagram (ping) socket: echo replies -----------------------------------------------

TEST(PingEchoReply, OursTakesSenderAndTtlFromTheSocket) {
    Bytes message = icmp_message(kIcmpEchoReply, 0, kId, kSeq, payload(32));
    expect_answer(read_ping_datagram(message, kTarget, 57, our_match()), AnswerKind::echo_reply,
                  kTarget, kIpSuccess, 57);
}

TEST(PingEchoReply, OtherSequenceSenderTypeOrIdentifierIsNotOurs) {
    auto read = [](const Bytes& message, uint32_t from) {
        return read_ping_datagram(message, from, 64, our_match());
    };
    expect_not_ours(read(icmp_message(kIcmpEchoReply, 0, kId, kSeq - 1, {}), kTarget));
    expect_not_ours(read(icmp_message(kIcmpEchoReply, 0, kId + 1, kSeq, {}), kTarget));
    expect_not_ours(read(icmp_message(kIcmpEchoReply, 0, kId, kSeq, {}), kRouter));
    expect_not_ours(read(icmp_message(kIcmpEchoRequest, 0, kId, kSeq, {}), kTarget));
    expect_not_ours(read(icmp_message(kIcmpTimeExceeded, 0, kId, kSeq, {}), kTarget));
}

TEST(PingEchoReply, ShorterThanAHeaderIsNotOurs) {
    Bytes message = icmp_message(kIcmpEchoReply, 0, kId, kSeq, {});
    for (size_t length = 0; length < message.size(); ++length) {
        Bytes cut(message.begin(), message.begin() + static_cast<ptrdiff_t>(length));
        expect_not_ours(read_ping_datagram(cut, kTarget, 64, our_match()));
    }
    EXPECT_EQ(read_ping_datagram(message, kTarget, 64, our_match()).kind, AnswerKind::echo_reply);
}

// ---- Datagram (ping) socket: error-queue reports ----------------------------------------

namespace {

ErrorReport icmp_report(uint8_t type, uint8_t code) {
    return {.from_icmp = true,
            .type = type,
            .code = code,
            .offender = kRouter,
            .destination = kTarget,
            .ttl = 61};
}

// The error queue hands back our request from its ICMP header on.
Bytes quoted_request(uint16_t id = kId, uint16_t seq = kSeq) {
    return icmp_message(kIcmpEchoRequest, 0, id, seq, payload(32));
}

IcmpAnswer read_report(const ErrorReport& report, const Bytes& quoted = quoted_request()) {
    return read_error_report(report, quoted, our_match());
}

}  // namespace

TEST(PingErrorReport, TimeExceededFromTheOffender) {
    expect_answer(read_report(icmp_report(kIcmpTimeExceeded, 0)), AnswerKind::error, kRouter,
                  kIpTtlExpiredTransit, 61);
}

TEST(PingErrorReport, StatusFollowsTheTable) {
    for (uint8_t code = 0; code < 16; ++code) {
        SCOPED_TRACE(testing::Message() << "code " << int(code));
        expect_answer(read_report(icmp_report(kIcmpDestUnreachable, code)), AnswerKind::error,
                      kRouter, *icmp_answer_status(kIcmpDestUnreachable, code), 61);
    }
    EXPECT_EQ(read_report(icmp_report(kIcmpTimeExceeded, 1)).status, kIpTtlExpiredReassem);
}

TEST(PingErrorReport, LocalErrorsRedirectsAndStrangeTypesAreNotAnswers) {
    ErrorReport local = icmp_report(kIcmpDestUnreachable, 4);
    local.from_icmp = false;
    expect_not_ours(read_report(local));
    expect_not_ours(read_report(icmp_report(kIcmpRedirect, 1)));
    expect_not_ours(read_report(icmp_report(kIcmpEchoReply, 0)));
    expect_not_ours(read_report(icmp_report(99, 0)));
}

TEST(PingErrorReport, AStaleReportOfAnEarlierProbeIsNotOurs) {
    expect_not_ours(read_report(icmp_report(kIcmpTimeExceeded, 0), quoted_request(kId, kSeq - 1)));
    expect_not_ours(read_report(icmp_report(kIcmpTimeExceeded, 0), quoted_request(kId + 1, kSeq)));
    ErrorReport elsewhere = icmp_report(kIcmpTimeExceeded, 0);
    elsewhere.destination = kRouter;
    expect_not_ours(read_report(elsewhere));
}

TEST(PingErrorReport, QuotedBytesCutShortOrNotARequest) {
    const ErrorReport expired = icmp_report(kIcmpTimeExceeded, 0);
    Bytes quoted = quoted_request();
    for (size_t length = 0; length < kIcmpHeaderSize; ++length)
        expect_not_ours(read_report(expired, Bytes(quoted.begin(), quoted.begin() + length)));
    Bytes header_only(quoted.begin(), quoted.begin() + kIcmpHeaderSize);
    EXPECT_EQ(read_report(expired, header_only).kind, AnswerKind::error);
    expect_not_ours(read_report(expired, icmp_message(kIcmpEchoReply, 0, kId, kSeq, {})));
}
