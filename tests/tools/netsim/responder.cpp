// netsim responder: choosing and building the answers of the scenario.
#include "responder.h"

#include <algorithm>

#include "wire/bytes.h"
#include "wire/checksum.h"

namespace netsim {

namespace {

constexpr uint16_t kNoiseIdentifier = 0x4e53;
constexpr uint16_t kOtherIdentifierMask = 0x5a5a;

Bytes payload_of(const Probe& probe) {
    return Bytes(probe.datagram.end() - static_cast<ptrdiff_t>(probe.payload_length),
                 probe.datagram.end());
}

const Answer& pick(const std::vector<Answer>& answers, int index) {
    size_t at = std::min(static_cast<size_t>(index - 1), answers.size() - 1);
    return answers[at];
}

std::string kind_text(uint8_t type, uint8_t code) {
    return "icmp " + std::to_string(type) + "/" + std::to_string(code);
}

// The same probe as another program would send it: another ICMP identifier (checksum
// redone) or another UDP source port (checksum left out).
Probe strangers_probe(const Probe& probe) {
    Probe other = probe;
    size_t header = static_cast<size_t>(other.datagram[0] & 0x0f) * 4;
    if (other.datagram.size() < header + 8)
        return other;
    std::span<uint8_t> transport = std::span(other.datagram).subspan(header);
    if (probe.kind == Probe::Kind::echo) {
        other.id = static_cast<uint16_t>(probe.id ^ kOtherIdentifierMask);
        write_u16(transport, 4, other.id);
        write_u16(transport, 2, 0);
        write_u16(transport, 2, internet_checksum(transport));
    } else if (probe.kind == Probe::Kind::udp) {
        other.sport = static_cast<uint16_t>(probe.sport ^ kOtherIdentifierMask);
        write_u16(transport, 0, other.sport);
        write_u16(transport, 6, 0);
    }
    return other;
}

// Names a packet built like an answer as the log shows it: prefix, its kind, suffix.
std::optional<Outgoing> labelled(std::optional<Outgoing> out, const char* prefix,
                                 const char* suffix = "") {
    if (out)
        out->what = prefix + out->what + suffix;
    return out;
}

bool injection_applies(const Injection& injection, const Probe& probe, int number) {
    switch (injection.when) {
    case Injection::When::probe:
        return injection.number == number;
    case Injection::When::ttl:
        return injection.number == probe.ttl;
    case Injection::When::every:
        return true;
    }
    return false;
}

}  // namespace

std::vector<Outgoing> Responder::on_probe(const Probe& probe) {
    ++probes_;
    if (probe.ttl == run_ttl_) {
        ++run_index_;
    } else {
        run_ttl_ = probe.ttl;
        run_index_ = 1;
    }
    std::vector<Outgoing> out;
    auto keep = [&out](std::optional<Outgoing> packet, size_t options) {
        if (packet) {
            add_ip_options(packet->packet, options);
            out.push_back(std::move(*packet));
        }
    };
    int hop = 0;
    if (const Answer* chosen = choose(probe, &hop))
        keep(build(probe, *chosen, hop, probe.dst), chosen->options);
    for (const Injection& injection : scenario_.injections) {
        if (injection_applies(injection, probe, probes_))
            keep(inject(probe, injection, hop), injection.answer.options);
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
    const Hop* found = nullptr;
    for (const Hop& line : scenario_.hops) {
        if (probe.ttl >= line.first && probe.ttl <= line.last)
            found = &line;
    }
    if (found == nullptr)
        return nullptr;
    *hop = probe.ttl;
    return &pick(found->answers, run_index_);
}

std::optional<Outgoing> Responder::build(const Probe& probe, const Answer& answer, int hop,
                                         uint32_t default_from) {
    if (answer.silent)
        return std::nullopt;
    uint32_t from = answer.from.value_or(default_from);
    int ttl = answer.ttl >= 0 ? answer.ttl : std::max(1, 65 - hop);
    bool echo = probe.kind == Probe::Kind::echo;
    bool echo_reply =
        answer.kind == Answer::Kind::echo_reply || (answer.kind == Answer::Kind::reply && echo);
    if (echo_reply) {
        uint32_t rest = echo ? static_cast<uint32_t>(probe.id) << 16 | probe.seq : 0;
        Bytes icmp = icmp_message(0, 0, rest, payload_of(probe));
        return packet(from, probe.src, ttl, probe.tos, icmp, answer.delay_ms, "echo-reply");
    }
    uint8_t type = answer.kind == Answer::Kind::reply ? 3 : answer.type;
    uint8_t code = answer.kind == Answer::Kind::reply ? 3 : answer.code;
    Bytes quote = quote_probe(probe, std::max(0, hop - 1), answer.quote);
    Bytes icmp = icmp_message(type, code, answer.rest, quote);
    return packet(from, probe.src, ttl, 0xc0, icmp, answer.delay_ms, kind_text(type, code));
}

std::optional<Outgoing> Responder::inject(const Probe& probe, const Injection& injection, int hop) {
    const Answer& wanted = injection.answer;
    uint32_t noise_from = wanted.from.value_or(kNoiseSource);
    int ttl = wanted.ttl >= 0 ? wanted.ttl : 64;
    uint32_t delay = wanted.delay_ms;
    switch (injection.what) {
    case Injection::What::echo_request: {
        Bytes body(32);
        for (size_t i = 0; i < body.size(); ++i)
            body[i] = static_cast<uint8_t>('a' + i % 23);
        Bytes icmp = icmp_message(8, 0, static_cast<uint32_t>(kNoiseIdentifier) << 16 | 1, body);
        return packet(noise_from, probe.src, ttl, 0, icmp, delay, "noise echo-request");
    }
    case Injection::What::other_reply: {
        uint16_t id = static_cast<uint16_t>(probe.id ^ kOtherIdentifierMask);
        uint32_t rest = static_cast<uint32_t>(id) << 16 | probe.seq;
        Bytes icmp = icmp_message(0, 0, rest, payload_of(probe));
        return packet(wanted.from.value_or(probe.dst), probe.src, ttl, 0, icmp, delay,
                      "noise echo-reply other id");
    }
    case Injection::What::earlier: {
        if (!previous_)
            return std::nullopt;
        return labelled(build(*previous_, wanted, previous_->ttl, previous_->dst), "late ",
                        " to the previous probe");
    }
    case Injection::What::duplicate: {
        int own_hop = 0;
        const Answer* chosen = choose(probe, &own_hop);
        if (chosen == nullptr || chosen->silent)
            return std::nullopt;
        Answer copy = *chosen;
        copy.delay_ms = delay;
        return labelled(build(probe, copy, own_hop, probe.dst), "duplicate ");
    }
    case Injection::What::truncated: {
        Bytes icmp = icmp_message(11, 0, 0, quote_probe(probe, 0, 12));
        return packet(noise_from, probe.src, ttl, 0xc0, icmp, delay, "noise truncated quote");
    }
    case Injection::What::bad_checksum: {
        Bytes icmp = icmp_message(11, 0, 0, quote_probe(probe, 0, kDefaultQuote));
        icmp[2] ^= 0x5a;
        return packet(noise_from, probe.src, ttl, 0xc0, icmp, delay, "noise bad checksum");
    }
    case Injection::What::tiny: {
        Bytes icmp{11, 0, 0, 0};
        write_u16(icmp, 2, internet_checksum(icmp));
        return packet(noise_from, probe.src, ttl, 0xc0, icmp, delay, "noise 4-byte icmp");
    }
    case Injection::What::stranger:
        return labelled(build(strangers_probe(probe), wanted, std::max(hop, 1), kNoiseSource),
                        "noise ", " about a stranger's probe");
    case Injection::What::answer:
        return labelled(build(probe, wanted, std::max(hop, 1), kNoiseSource), "noise ");
    }
    return std::nullopt;
}

Outgoing Responder::packet(uint32_t from, uint32_t to, int ttl, uint8_t tos, const Bytes& icmp,
                           uint32_t delay_ms, std::string what) {
    Outgoing out;
    out.delay_ms = delay_ms;
    out.packet = make_ipv4(from, to, static_cast<uint8_t>(ttl), tos, ident_++, icmp);
    out.what = std::move(what);
    return out;
}

}  // namespace netsim
