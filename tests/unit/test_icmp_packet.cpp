// ICMP echo packets: the request we build and the reading of every kind of arrival.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "answer_table.h"
#include "cli/console.h"
#include "probe/probe_loop.h"
#include "support/packets.h"
#include "wire/bytes.h"
#include "wire/checksum.h"
#include "wire/icmp_echo.h"

namespace {

using packet::address_of;
using packet::Bytes;
using packet::first;

const uint32_t kRouter = address_of(198, 18, 2, 2);
const uint32_t kTarget = address_of(198, 18, 5, 2);
constexpr uint16_t kId = 0x4a21;
constexpr uint16_t kSeq = 7;

EchoMatch our_match() { return {.target = kTarget, .identifier = kId, .sequence = kSeq}; }

Bytes icmp_message(uint8_t type, uint8_t code, uint16_t id, uint16_t seq, const Bytes& body) {
    return packet::icmp_message(type, code, static_cast<uint32_t>(id) << 16 | seq, body);
}

// The program's own payload of this size.
Bytes payload(size_t size) {
    Bytes bytes(size);
    fill_payload(bytes.data(), static_cast<int32_t>(size));
    return bytes;
}

// What an answer tells: that it is not ours, or its kind, who sent it, the status and
// the TTL.
using Reading = std::string;
const Reading kNotOurs = "not ours";

Reading reading(const IcmpAnswer& found) {
    if (found.kind == AnswerKind::not_ours)
        return kNotOurs;
    return (found.kind == AnswerKind::error ? "error from " : "echo reply from ") +
           packet::dotted(found.responder) + ", status " + std::to_string(found.status) + ", TTL " +
           std::to_string(found.ttl);
}

Reading echo(int ttl) { return "echo reply from 198.18.5.2, status 0, TTL " + std::to_string(ttl); }
// The reading of the router's error report from the error queue (icmp_report below: TTL 61).
Reading error(int32_t status) {
    return "error from 198.18.2.2, status " + std::to_string(status) + ", TTL 61";
}

Reading read_raw(const Bytes& bytes) { return reading(read_raw_datagram(bytes, our_match())); }

// A message on the ping socket, and the sender the socket names.
using Message = std::pair<Bytes, uint32_t>;
Reading read_ping(const Message& message) {
    return reading(read_ping_datagram(message.first, message.second, 57, our_match()));
}

// A message of this type with this identifier and sequence and no payload, from from.
Message ping(uint8_t type, uint16_t id, uint16_t seq, uint32_t from = kTarget) {
    return {icmp_message(type, 0, id, seq, {}), from};
}

// An error-queue report and the part of our request it quotes, from its ICMP header on.
using Queued = std::pair<ErrorReport, Bytes>;
Reading read_queued(const Queued& queued) {
    return reading(read_error_report(queued.first, queued.second, our_match()));
}

// The status of a message of type bytes[0] and code bytes[1].
Reading status_of(const Bytes& bytes) {
    std::optional<int32_t> status = icmp_answer_status(bytes.at(0), bytes.at(1));
    return status ? "status " + std::to_string(*status) : "no answer";
}
constexpr const char* kStatusData = "upkt_icmp_status.txt";
const packet::AnswerTable<Bytes> kStatus{status_of};

// The raw datagrams' rows.
constexpr const char* kData = "upkt_icmp_raw.txt";
const packet::AnswerTable<Bytes> kRaw{read_raw};
const packet::AnswerTable<Message> kPing{read_ping};
const packet::AnswerTable<Queued> kQueued{read_queued};

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

TEST(IcmpStatus, EchoReplyTimeExceededAndTheOtherReports) { kStatus.expect_file(kStatusData); }

TEST(IcmpStatus, UnreachableCodes) { kStatus.expect_file(kStatusData); }

TEST(IcmpStatus, RedirectsRequestsAndUnknownTypesAreNoAnswer) { kStatus.expect_file(kStatusData); }

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

TEST(RawEchoReply, OursGivesResponderStatusAndTtl) { kRaw.expect_file(kData); }

TEST(RawEchoReply, OtherIdentifierSequenceOrSenderIsNotOurs) { kRaw.expect_file(kData); }

TEST(RawEchoReply, RequestsAndBadChecksumsAreNotOurs) { kRaw.expect_file(kData); }

TEST(RawEchoReply, IpOptionsAndTrailingBytes) { kRaw.expect_file(kData); }

TEST(RawEchoReply, FragmentsAreNotOurs) { kRaw.expect_file(kData); }

// ---- Raw socket: error reports -------------------------------------------------------

TEST(RawError, TimeExceededQuotingOurRequest) { kRaw.expect_file(kData); }

TEST(RawError, UnreachableAndOtherReportsTakeTheirStatus) { kRaw.expect_file(kData); }

TEST(RawError, RedirectsAreNotAnswers) { kRaw.expect_file(kData); }

TEST(RawError, QuotedRequestMustBeOurs) { kRaw.expect_file(kData); }

TEST(RawError, QuotedHeaderWithOptionsAndShortestQuote) { kRaw.expect_file(kData); }

// ---- Raw socket: hostile and broken datagrams ------------------------------------------

TEST(RawHostile, EveryCutShortDatagramIsNotOurs) {
    for (const Bytes& whole :
         {packet::row_bytes(kData, "RawEchoReply.OursGivesResponderStatusAndTtl", "ours"),
          packet::row_bytes(kData, "RawError.TimeExceededQuotingOurRequest", "time exceeded")}) {
        ASSERT_NE(read_raw(whole), kNotOurs);
        // A copy of exactly this length, so a read past it is caught by the sanitizer.
        for (size_t length = 0; length < whole.size(); ++length)
            EXPECT_EQ(read_raw(first(whole, length)), kNotOurs) << length;
    }
}

TEST(RawHostile, BrokenIpHeaders) { kRaw.expect_file(kData); }

TEST(RawHostile, RandomBytesNeverAnswer) {
    std::mt19937 random(4);
    for (int round = 0; round < 20000; ++round) {
        Bytes bytes(random() % 120);
        for (uint8_t& byte : bytes)
            byte = static_cast<uint8_t>(random());
        if (!bytes.empty())
            bytes[0] = static_cast<uint8_t>(0x45 + random() % 3);
        EXPECT_EQ(read_raw(bytes), kNotOurs);
    }
}

// ---- Datagram (ping) socket: echo replies -----------------------------------------------

TEST(PingEchoReply, OursTakesSenderAndTtlFromTheSocket) {
    kPing.expect(
        {{"ours", {icmp_message(kIcmpEchoReply, 0, kId, kSeq, payload(32)), kTarget}, echo(57)}});
}

TEST(PingEchoReply, OtherSequenceSenderTypeOrIdentifierIsNotOurs) {
    kPing.expect({
        {"an earlier sequence", ping(kIcmpEchoReply, kId, kSeq - 1), kNotOurs},
        {"another identifier", ping(kIcmpEchoReply, kId + 1, kSeq), kNotOurs},
        {"another sender", ping(kIcmpEchoReply, kId, kSeq, kRouter), kNotOurs},
        {"a request", ping(kIcmpEchoRequest, kId, kSeq), kNotOurs},
        {"an error", ping(kIcmpTimeExceeded, kId, kSeq), kNotOurs},
    });
}

TEST(PingEchoReply, ShorterThanAHeaderIsNotOurs) {
    const Message whole = ping(kIcmpEchoReply, kId, kSeq);
    for (size_t length = 0; length < whole.first.size(); ++length)
        EXPECT_EQ(read_ping({first(whole.first, length), kTarget}), kNotOurs) << length;
    EXPECT_EQ(read_ping(whole), echo(57));
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

// A report of this type and code about our request.
Queued queued(uint8_t type, uint8_t code) { return {icmp_report(type, code), quoted_request()}; }

}  // namespace

TEST(PingErrorReport, TimeExceededFromTheOffender) {
    EXPECT_EQ(read_queued(queued(kIcmpTimeExceeded, 0)), error(kIpTtlExpiredTransit));
}

TEST(PingErrorReport, StatusFollowsTheTable) {
    for (uint8_t code = 0; code < 16; ++code) {
        EXPECT_EQ(read_queued(queued(kIcmpDestUnreachable, code)),
                  error(*icmp_answer_status(kIcmpDestUnreachable, code)))
            << "code " << int(code);
    }
    EXPECT_EQ(read_queued(queued(kIcmpTimeExceeded, 1)), error(kIpTtlExpiredReassem));
}

TEST(PingErrorReport, LocalErrorsRedirectsAndStrangeTypesAreNotAnswers) {
    Queued local = queued(kIcmpDestUnreachable, 4);
    local.first.from_icmp = false;
    kQueued.expect({
        {"local error", local, kNotOurs},
        {"redirect", queued(kIcmpRedirect, 1), kNotOurs},
        {"echo reply", queued(kIcmpEchoReply, 0), kNotOurs},
        {"type 99", queued(99, 0), kNotOurs},
    });
}

TEST(PingErrorReport, AStaleReportOfAnEarlierProbeIsNotOurs) {
    const ErrorReport expired = icmp_report(kIcmpTimeExceeded, 0);
    Queued elsewhere = queued(kIcmpTimeExceeded, 0);
    elsewhere.first.destination = kRouter;
    kQueued.expect({
        {"an earlier sequence", {expired, quoted_request(kId, kSeq - 1)}, kNotOurs},
        {"another identifier", {expired, quoted_request(kId + 1, kSeq)}, kNotOurs},
        {"another destination", elsewhere, kNotOurs},
    });
}

TEST(PingErrorReport, QuotedBytesCutShortOrNotARequest) {
    const ErrorReport expired = icmp_report(kIcmpTimeExceeded, 0);
    for (size_t length = 0; length < kIcmpHeaderSize; ++length)
        EXPECT_EQ(read_queued({expired, first(quoted_request(), length)}), kNotOurs) << length;
    kQueued.expect({
        {"ICMP header only",
         {expired, first(quoted_request(), kIcmpHeaderSize)},
         error(kIpTtlExpiredTransit)},
        {"quoting a reply", {expired, icmp_message(kIcmpEchoReply, 0, kId, kSeq, {})}, kNotOurs},
    });
}
