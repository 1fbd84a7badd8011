// netsim responder: probe reading, and choosing and building the answers of the scenario
// on the shared packet builder.
#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>

#include "netsim.h"
#include "wire/bytes.h"
#include "wire/icmp.h"
#include "wire/udp.h"

namespace netsim {

namespace {

constexpr uint16_t kNoiseIdentifier = 0x4e53;
constexpr uint16_t kOtherIdentifierMask = 0x5a5a;

// The identifier and sequence of an echo request as one word, 0 for a UDP probe.
uint32_t echo_word(const Probe& probe) {
    return probe.kind == Probe::Kind::echo
               ? static_cast<uint32_t>(probe.word(4)) << 16 | probe.word(6)
               : 0;
}

Bytes payload_of(const Probe& probe) {
    return Bytes(probe.datagram.end() - static_cast<ptrdiff_t>(probe.payload_length),
                 probe.datagram.end());
}

const Answer& pick(const std::vector<Answer>& answers, int index) {
    return answers[std::min(static_cast<size_t>(index - 1), answers.size() - 1)];
}

// The same probe as another program would send it: another ICMP identifier (checksum
// redone) or another UDP source port (checksum left out).
Probe strangers_probe(const Probe& probe) {
    Probe other = probe;
    std::span<uint8_t> transport = std::span(other.datagram).subspan(other.header);
    if (probe.kind == Probe::Kind::echo) {
        write_u16(transport, 4, probe.word(4) ^ kOtherIdentifierMask);
        packet::reseal_icmp(other.datagram);
    } else if (probe.kind == Probe::Kind::udp) {
        write_u16(transport, 0, probe.word(0) ^ kOtherIdentifierMask);
        write_u16(transport, 6, 0);
    }
    return other;
}

}  // namespace

std::optional<Probe> read_probe(std::span<const uint8_t> datagram) {
    std::optional<Ipv4Header> ip = read_ipv4_header(datagram);
    if (!ip || ip->total_length < ip->header_length || ip->total_length > datagram.size())
        return std::nullopt;
    Probe probe;
    probe.datagram.assign(datagram.begin(), datagram.begin() + ip->total_length);
    probe.header = ip->header_length;
    probe.tos = datagram[1];
    probe.ttl = ip->ttl;
    probe.protocol = ip->protocol;
    probe.src = ntohl(ip->source);
    probe.dst = ntohl(ip->destination);
    probe.fragment = (ip->fragment & (kIpv4MoreFragments | kIpv4FragmentOffsetMask)) != 0;
    // The ICMP and the UDP header are both 8 bytes long.
    static_assert(kIcmpHeaderSize == kUdpHeaderSize);
    if (probe.fragment || ip->total_length - ip->header_length < kUdpHeaderSize)
        return probe;
    probe.payload_length = ip->total_length - ip->header_length - kUdpHeaderSize;
    if (probe.protocol == kProtocolIcmp && probe.word(0) == kIcmpEchoRequest << 8)
        probe.kind = Probe::Kind::echo;
    else if (probe.protocol == kProtocolUdp)
        probe.kind = Probe::Kind::udp;
    return probe;
}

Bytes quote_probe(const Probe& probe, int hops_before, size_t limit) {
    int ttl = std::max(0, static_cast<int>(probe.ttl) - hops_before);
    return packet::quote_datagram(probe.datagram, static_cast<uint8_t>(ttl), limit);
}

std::string address_text(uint32_t address) { return packet::dotted(htonl(address)); }

std::optional<uint32_t> parse_address(std::string_view text) {
    in_addr in{};
    if (inet_pton(AF_INET, std::string(text).c_str(), &in) != 1)
        return std::nullopt;
    return ntohl(in.s_addr);
}

std::string probe_text(const Probe& probe) {
    bool echo = probe.kind == Probe::Kind::echo;
    char fields[64];
    if (echo)
        std::snprintf(fields, sizeof fields, "id=%d seq=%d", probe.word(4), probe.word(6));
    else
        std::snprintf(fields, sizeof fields, "sport=%d dport=%d ulen=%d csum=%d", probe.word(0),
                      probe.word(2), probe.word(4), probe.word(6));
    std::string first = probe.payload_length == 0
                            ? "-"
                            : std::to_string(probe.datagram[probe.header + kUdpHeaderSize]);
    char text[192];
    std::snprintf(text, sizeof text, "%s src=%s dst=%s ttl=%d tos=%d %s len=%zu first=%s",
                  echo ? "icmp" : "udp", address_text(probe.src).c_str(),
                  address_text(probe.dst).c_str(), probe.ttl, probe.tos, fields,
                  probe.payload_length, first.c_str());
    return text;
}

std::vector<Outgoing> Responder::on_probe(const Probe& probe) {
    ++probes_;
    run_index_ = probe.ttl == run_ttl_ ? run_index_ + 1 : 1;
    run_ttl_ = probe.ttl;
    std::vector<Outgoing> out;
    auto keep = [&out](std::optional<Outgoing> packet) {
        if (packet)
            out.push_back(std::move(*packet));
    };
    int hop = 0;
    const Answer* chosen = choose(probe, &hop);
    if (chosen != nullptr)
        keep(build(probe, *chosen, hop, probe.dst));
    for (const Injection& injection : scenario_.injections) {
        int number = injection.when == Injection::When::probe ? probes_ : probe.ttl;
        if (injection.when == Injection::When::every || injection.number == number)
            keep(inject(probe, injection, chosen, hop));
    }
    previous_ = probe;
    return out;
}

const Answer* Responder::choose(const Probe& probe, int* hop) const {
    for (const Target& target : scenario_.targets) {
        if (target.address == probe.dst && probe.ttl >= target.at) {
            *hop = target.at;
            return &pick(target.answers, run_index_);
        }
    }
    // The last line that names the TTL.
    auto found = std::find_if(scenario_.hops.rbegin(), scenario_.hops.rend(), [&](const Hop& line) {
        return probe.ttl >= line.first && probe.ttl <= line.last;
    });
    if (found == scenario_.hops.rend())
        return nullptr;
    *hop = probe.ttl;
    return &pick(found->answers, run_index_);
}

std::optional<Outgoing> Responder::build(const Probe& probe, const Answer& answer, int hop,
                                         uint32_t default_from, const std::string& prefix,
                                         const char* suffix) {
    if (answer.silent)
        return std::nullopt;
    uint32_t from = answer.from.value_or(default_from);
    int ttl = std::max(1, 65 - hop);
    bool echo = probe.kind == Probe::Kind::echo;
    if (answer.kind == Answer::Kind::echo_reply || (answer.kind == Answer::Kind::reply && echo)) {
        Bytes icmp = icmp_message(0, 0, echo_word(probe), payload_of(probe));
        return packet(answer, from, probe.src, ttl, probe.tos, icmp,
                      prefix + "echo-reply" + suffix);
    }
    uint8_t type = answer.kind == Answer::Kind::reply ? 3 : answer.type;
    uint8_t code = answer.kind == Answer::Kind::reply ? 3 : answer.code;
    Bytes quote = quote_probe(probe, std::max(0, hop - 1), answer.quote);
    Bytes icmp = icmp_message(type, code, answer.rest, quote);
    std::string what =
        prefix + "icmp " + std::to_string(type) + "/" + std::to_string(code) + suffix;
    return packet(answer, from, probe.src, ttl, 0xc0, icmp, what);
}

std::optional<Outgoing> Responder::inject(const Probe& probe, const Injection& injection,
                                          const Answer* chosen, int hop) {
    const Answer& wanted = injection.answer;
    uint32_t noise_from = wanted.from.value_or(kNoiseSource);
    switch (injection.what) {
    case Injection::What::echo_request: {
        constexpr std::string_view kBody = "abcdefghijklmnopqrstuvwabcdefghi";
        Bytes icmp = icmp_message(8, 0, static_cast<uint32_t>(kNoiseIdentifier) << 16 | 1,
                                  Bytes(kBody.begin(), kBody.end()));
        return packet(wanted, noise_from, probe.src, 64, 0, icmp, "noise echo-request");
    }
    case Injection::What::other_reply: {
        uint32_t other = echo_word(probe) ^ static_cast<uint32_t>(kOtherIdentifierMask) << 16;
        Bytes icmp = icmp_message(0, 0, other, payload_of(probe));
        return packet(wanted, wanted.from.value_or(probe.dst), probe.src, 64, 0, icmp,
                      "noise echo-reply other id");
    }
    case Injection::What::earlier:
        if (!previous_)
            return std::nullopt;
        return build(*previous_, wanted, previous_->ttl, previous_->dst, "late ",
                     " to the previous probe");
    case Injection::What::duplicate: {
        if (chosen == nullptr)
            return std::nullopt;
        Answer copy = *chosen;
        copy.delay_ms = wanted.delay_ms;
        copy.options = wanted.options;
        return build(probe, copy, hop, probe.dst, "duplicate ");
    }
    case Injection::What::truncated: {
        Bytes icmp = icmp_message(11, 0, 0, quote_probe(probe, 0, 12));
        return packet(wanted, noise_from, probe.src, 64, 0xc0, icmp, "noise truncated quote");
    }
    case Injection::What::bad_checksum: {
        Bytes icmp = icmp_message(11, 0, 0, quote_probe(probe, 0, kDefaultQuote));
        icmp[2] ^= 0x5a;
        return packet(wanted, noise_from, probe.src, 64, 0xc0, icmp, "noise bad checksum");
    }
    case Injection::What::tiny: {
        // The checksum of the 8-byte header holds for its first 4 bytes too: the rest are 0.
        Bytes icmp = icmp_message(11, 0, 0, {});
        icmp.resize(4);
        return packet(wanted, noise_from, probe.src, 64, 0xc0, icmp, "noise 4-byte icmp");
    }
    case Injection::What::stranger:
        return build(strangers_probe(probe), wanted, std::max(hop, 1), kNoiseSource, "noise ",
                     " about a stranger's probe");
    case Injection::What::answer:
        return build(probe, wanted, std::max(hop, 1), kNoiseSource, "noise ");
    }
    return std::nullopt;
}

Outgoing Responder::packet(const Answer& answer, uint32_t from, uint32_t to, int default_ttl,
                           uint8_t tos, const Bytes& icmp, std::string what) {
    uint8_t ttl = static_cast<uint8_t>(answer.ttl >= 0 ? answer.ttl : default_ttl);
    packet::Ipv4 ip{htonl(from), htonl(to), ttl, kProtocolIcmp, tos, ident_++, answer.options};
    return Outgoing{answer.delay_ms, packet::ipv4_datagram(ip, icmp), std::move(what)};
}

}  // namespace netsim
