// ICMP echo packets: building the request, reading answers, and the one table that
// turns ICMP types and codes into IP status codes.
#include "probe/icmp_packet.h"

#include <array>
#include <cstring>

#include "cli/console.h"

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

constexpr size_t kIpMinHeaderSize = 20;
constexpr uint8_t kProtocolIcmp = 1;
constexpr uint16_t kMoreFragments = 0x2000;
constexpr uint16_t kFragmentOffsetMask = 0x1fff;

uint16_t read_u16(std::span<const uint8_t> bytes, size_t at) {
    return static_cast<uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

// Addresses stay in network byte order: the bytes are copied as they are.
uint32_t read_address(std::span<const uint8_t> bytes, size_t at) {
    uint32_t address = 0;
    std::memcpy(&address, bytes.data() + at, sizeof address);
    return address;
}

struct IpHeader {
    size_t header_length = 0;
    uint16_t total_length = 0;
    uint16_t fragment = 0;  // flags and offset
    uint8_t ttl = 0;
    uint8_t protocol = 0;
    uint32_t source = 0;
    uint32_t destination = 0;
};

// The IPv4 header at the start of bytes, options included; nothing when the bytes
// cannot hold it or it is not IPv4.
std::optional<IpHeader> read_ip_header(std::span<const uint8_t> bytes) {
    if (bytes.size() < kIpMinHeaderSize || (bytes[0] >> 4) != 4)
        return std::nullopt;
    IpHeader ip;
    ip.header_length = static_cast<size_t>(bytes[0] & 0x0f) * 4;
    if (ip.header_length < kIpMinHeaderSize || ip.header_length > bytes.size())
        return std::nullopt;
    ip.total_length = read_u16(bytes, 2);
    ip.fragment = read_u16(bytes, 6);
    ip.ttl = bytes[8];
    ip.protocol = bytes[9];
    ip.source = read_address(bytes, 12);
    ip.destination = read_address(bytes, 16);
    return ip;
}

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
    std::optional<IpHeader> ip = read_ip_header(quoted);
    if (!ip || ip->protocol != kProtocolIcmp || ip->destination != match.target)
        return false;
    // Only the first fragment carries the ICMP header.
    if ((ip->fragment & kFragmentOffsetMask) != 0)
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

uint16_t internet_checksum(std::span<const uint8_t> bytes) {
    uint32_t sum = 0;
    size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2)
        sum += read_u16(bytes, i);
    if (i < bytes.size())
        sum += static_cast<uint32_t>(bytes[i]) << 8;
    while (sum > 0xffff)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum & 0xffff);
}

size_t build_echo_request(std::span<uint8_t> out, uint16_t identifier, uint16_t sequence,
                          std::span<const uint8_t> payload) {
    size_t length = kIcmpHeaderSize + payload.size();
    if (out.size() < length)
        return 0;
    out[0] = kIcmpEchoRequest;
    out[1] = 0;
    out[2] = 0;
    out[3] = 0;
    out[4] = static_cast<uint8_t>(identifier >> 8);
    out[5] = static_cast<uint8_t>(identifier & 0xff);
    out[6] = static_cast<uint8_t>(sequence >> 8);
    out[7] = static_cast<uint8_t>(sequence & 0xff);
    if (!payload.empty())
        std::memcpy(out.data() + kIcmpHeaderSize, payload.data(), payload.size());
    uint16_t checksum = internet_checksum(out.first(length));
    out[2] = static_cast<uint8_t>(checksum >> 8);
    out[3] = static_cast<uint8_t>(checksum & 0xff);
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
    std::optional<IpHeader> ip = read_ip_header(datagram);
    if (!ip || ip->protocol != kProtocolIcmp)
        return {};
    // A whole, reassembled datagram only: anything cut short or a lone fragment is
    // not an answer we can check.
    if (ip->total_length > datagram.size() || ip->total_length < ip->header_length)
        return {};
    if ((ip->fragment & (kMoreFragments | kFragmentOffsetMask)) != 0)
        return {};
    std::span<const uint8_t> icmp =
        datagram.subspan(ip->header_length, ip->total_length - ip->header_length);
    if (icmp.size() < kIcmpHeaderSize || internet_checksum(icmp) != 0)
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
