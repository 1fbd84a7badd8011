// ICMP echo packets: building the request, reading answers, and the one table that
// turns ICMP types and codes into IP status codes.
#include "wire/icmp_echo.h"

#include <array>
#include <cstring>

#include "wire/bytes.h"
#include "wire/checksum.h"
#include "wire/ip_status.h"
#include "wire/ipv4.h"

namespace {

constexpr int16_t kAnyCode = -1;

struct StatusRule {
    uint8_t type;
    int16_t code;  // kAnyCode: every code not matched by an earlier rule
    int32_t status;
};

// The first rule that matches decides. Types without a rule (redirects, requests,
// anything unknown) are no answer to a probe.
constexpr std::array<StatusRule, 15> kStatusRules = {{
    {kIcmpEchoReply, kAnyCode, kIpSuccess},
    {kIcmpDestUnreachable, 0, kIpDestNetUnreachable},
    {kIcmpDestUnreachable, 1, kIpDestHostUnreachable},
    {kIcmpDestUnreachable, 2, kIpDestProtUnreachable},
    {kIcmpDestUnreachable, 3, kIpDestPortUnreachable},
    {kIcmpDestUnreachable, 4, kIpPacketTooBig},         // fragmentation needed
    {kIcmpDestUnreachable, 5, kIpBadRoute},             // source route failed
    {kIcmpDestUnreachable, 6, kIpDestNetUnreachable},   // network unknown
    {kIcmpDestUnreachable, 9, kIpDestNetUnreachable},   // network prohibited
    {kIcmpDestUnreachable, 11, kIpDestNetUnreachable},  // network, for this ToS
    {kIcmpDestUnreachable, kAnyCode, kIpDestHostUnreachable},
    {kIcmpSourceQuench, kAnyCode, kIpSourceQuench},
    {kIcmpTimeExceeded, 1, kIpTtlExpiredReassem},
    {kIcmpTimeExceeded, kAnyCode, kIpTtlExpiredTransit},
    {kIcmpParamProblem, kAnyCode, kIpParamProblem},
}};

bool is_our_request(std::span<const uint8_t> icmp, const EchoMatch& match) {
    return icmp.size() >= kIcmpHeaderSize && icmp[0] == kIcmpEchoRequest && icmp[1] == 0 &&
           read_u16(icmp, 4) == match.identifier && read_u16(icmp, 6) == match.sequence;
}

bool is_our_reply(std::span<const uint8_t> icmp, uint32_t source, const EchoMatch& match) {
    return icmp.size() >= kIcmpHeaderSize && icmp[0] == kIcmpEchoReply && icmp[1] == 0 &&
           read_u16(icmp, 4) == match.identifier && read_u16(icmp, 6) == match.sequence &&
           source == match.target;
}

// The quoted part of an error: our request's IP header, then at least its ICMP header.
bool quotes_our_request(std::span<const uint8_t> quoted, const EchoMatch& match) {
    std::optional<Ipv4Header> ip = read_ipv4_header(quoted);
    if (!ip || ip->protocol != kProtocolIcmp || ip->destination != match.target)
        return false;
    // Only the first fragment carries the ICMP header.
    if ((ip->fragment & kIpv4FragmentOffsetMask) != 0)
        return false;
    return is_our_request(quoted.subspan(ip->header_length), match);
}

IcmpAnswer answer(AnswerKind kind, uint32_t responder, int32_t status, uint8_t ttl) {
    IcmpAnswer found;
    found.kind = kind;
    found.responder = responder;
    found.status = status;
    found.ttl = ttl;
    return found;
}

}  // namespace

size_t build_echo_request(std::span<uint8_t> out, uint16_t identifier, uint16_t sequence,
                          std::span<const uint8_t> payload) {
    size_t length = kIcmpHeaderSize + payload.size();
    if (out.size() < length)
        return 0;
    out[0] = kIcmpEchoRequest;
    out[1] = 0;
    write_u16(out, 2, 0);
    write_u16(out, 4, identifier);
    write_u16(out, 6, sequence);
    if (!payload.empty())
        std::memcpy(out.data() + kIcmpHeaderSize, payload.data(), payload.size());
    uint16_t checksum = internet_checksum(out.first(length));
    write_u16(out, 2, checksum);
    return length;
}

std::optional<int32_t> icmp_answer_status(uint8_t type, uint8_t code) {
    for (const StatusRule& rule : kStatusRules) {
        if (rule.type == type && (rule.code == kAnyCode || rule.code == code))
            return rule.status;
    }
    return std::nullopt;
}

IcmpAnswer read_raw_datagram(std::span<const uint8_t> datagram, const EchoMatch& match) {
    std::optional<Ipv4Header> ip = read_ipv4_header(datagram);
    if (!ip || ip->protocol != kProtocolIcmp)
        return {};
    // A whole, reassembled datagram only: anything cut short or a lone fragment is
    // not an answer we can check.
    if (ip->total_length > datagram.size() || ip->total_length < ip->header_length)
        return {};
    if ((ip->fragment & (kIpv4MoreFragments | kIpv4FragmentOffsetMask)) != 0)
        return {};
    std::span<const uint8_t> icmp =
        datagram.subspan(ip->header_length, ip->total_length - ip->header_length);
    if (icmp.size() < kIcmpHeaderSize || !checksum_holds(icmp))
        return {};
    if (icmp[0] == kIcmpEchoReply) {
        if (!is_our_reply(icmp, ip->source, match))
            return {};
        return answer(AnswerKind::echo_reply, ip->source, kIpSuccess, ip->ttl);
    }
    std::optional<int32_t> status = icmp_answer_status(icmp[0], icmp[1]);
    if (!status || !quotes_our_request(icmp.subspan(kIcmpHeaderSize), match))
        return {};
    return answer(AnswerKind::error, ip->source, *status, ip->ttl);
}

IcmpAnswer read_ping_datagram(std::span<const uint8_t> message, uint32_t source, uint8_t ttl,
                              const EchoMatch& match) {
    if (!is_our_reply(message, source, match))
        return {};
    return answer(AnswerKind::echo_reply, source, kIpSuccess, ttl);
}

IcmpAnswer read_error_report(const ErrorReport& report, std::span<const uint8_t> quoted,
                             const EchoMatch& match) {
    if (!report.from_icmp || report.type == kIcmpEchoReply)
        return {};
    std::optional<int32_t> status = icmp_answer_status(report.type, report.code);
    if (!status || report.destination != match.target || !is_our_request(quoted, match))
        return {};
    return answer(AnswerKind::error, report.offender, *status, report.ttl);
}
