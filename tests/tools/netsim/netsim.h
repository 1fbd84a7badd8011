// netsim core: the probes that arrive on the TUN device, the scenario that says what the
// simulated network answers (read from a small text file; the format is described at the
// top of tests/sim/example.sim) and the responder that turns each probe into the packets
// sent back. Pure byte work: no sockets, clock or output here. Addresses are in host
// byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/packets.h"
#include "wire/bytes.h"

namespace netsim {

using packet::Bytes;
using packet::icmp_message;

// Linux routers quote at most 576 bytes of IP datagram in all: 576 - 20 - 8.
constexpr size_t kDefaultQuote = 548;
// Where noise comes from unless the scenario says otherwise.
constexpr uint32_t kNoiseSource = 0xc6130707;  // 198.19.7.7

// One IPv4 datagram read from the TUN device.
struct Probe {
    enum class Kind { echo, udp, other };
    Kind kind = Kind::other;
    Bytes datagram;     // the whole datagram as it arrived
    size_t header = 0;  // the IP header's length: the ICMP or UDP header follows it
    uint32_t src = 0;
    uint32_t dst = 0;
    uint8_t ttl = 0;
    uint8_t tos = 0;
    uint8_t protocol = 0;
    bool fragment = false;      // MF set or a nonzero offset: never answered
    size_t payload_length = 0;  // bytes after the ICMP or UDP header

    // The 16-bit field at `at` of the ICMP or UDP header (an echo request's identifier
    // at 4 and sequence at 6, a UDP header's ports at 0 and 2, length and checksum at 4
    // and 6); the datagram must hold that header.
    uint16_t word(size_t at) const { return read_u16(datagram, header + at); }
};

// Reads a datagram; nothing when it is not a whole IPv4 datagram.
std::optional<Probe> read_probe(std::span<const uint8_t> datagram);

// The part of the probe that an ICMP error quotes: the probe's IP header with its TTL
// lowered by hops_before (what the reporting router saw) and its header checksum
// redone, then the following bytes, in all at most limit bytes of the datagram.
Bytes quote_probe(const Probe& probe, int hops_before, size_t limit);

// Dotted-decimal text of an address, and the reverse (strict a.b.c.d form).
std::string address_text(uint32_t address);
std::optional<uint32_t> parse_address(std::string_view text);

// An echo request or UDP probe as its log line shows it after "probe N t=MS ":
//   icmp src=A dst=B ttl=T tos=X id=I seq=S len=L first=F
//   udp src=A dst=B ttl=T tos=X sport=P dport=Q ulen=U csum=C len=L first=F
// (len: payload bytes after the ICMP or UDP header; first: the first of them, "-" when
// there is none).
std::string probe_text(const Probe& probe);

// What one responder sends back for one probe.
struct Answer {
    enum class Kind {
        reply,       // echo reply to an echo request, port unreachable to anything else
        echo_reply,  // echo reply, also to a UDP probe (identifier and sequence 0)
        icmp_error,  // type/code below, quoting the probe
    };
    bool silent = false;
    std::optional<uint32_t> from;  // unset: the probe's destination
    Kind kind = Kind::reply;
    uint8_t type = 0;
    uint8_t code = 0;
    uint32_t rest = 0;  // ICMP header word after the checksum: MTU, gateway
    uint32_t delay_ms = 0;
    int ttl = -1;  // TTL of the answer; -1: 65 minus the hop, at least 1
    size_t quote = kDefaultQuote;
    size_t options = 0;  // bytes of IP options in the answer's header (0 to 40, by 4)
};

// Routers at TTL first..last: the n-th probe of a run of probes with one TTL gets
// answers[n-1], the last entry standing for all later probes.
struct Hop {
    int first = 0;
    int last = 0;
    std::vector<Answer> answers;
};

// A destination that answers probes whose TTL reaches it (TTL >= at).
struct Target {
    uint32_t address = 0;
    int at = 0;  // 0 until parsed: one past the last hop line
    std::vector<Answer> answers;
};

// An extra packet sent while a probe waits, answer.delay_ms after the probe arrived.
struct Injection {
    enum class When { probe, ttl, every };
    enum class What {  // in the order of their names in scenario.cpp
        echo_request,  // someone else's echo request to the client
        other_reply,   // an echo reply carrying another identifier
        earlier,       // the answer (answer.kind) to the probe before this one
        duplicate,     // a second copy of this probe's own answer
        truncated,     // time exceeded whose quote stops inside the IP header
        bad_checksum,  // time exceeded quoting this probe, ICMP checksum wrong
        tiny,          // an ICMP message of 4 bytes, shorter than its header
        stranger,      // an error about someone else's probe like this one
        answer,        // any error kind (redirect, time-exceeded...) about this probe
    };
    When when = When::every;
    int number = 0;  // probe number (from 1) or TTL
    What what = What::answer;
    Answer answer;
};

struct Scenario {
    std::vector<Target> targets;
    std::vector<Hop> hops;
    std::vector<Injection> injections;
};

// Reads a scenario. On a mistake returns nothing and sets *error to "line N: why".
std::optional<Scenario> parse_scenario(std::string_view text, std::string* error);

struct Outgoing {
    uint32_t delay_ms = 0;
    Bytes packet;
    std::string what;  // for the log: the kind of packet and why it was sent
};

// Turns each probe into the packets the scenario sends back, each with its delay after
// the probe's arrival.
class Responder {
public:
    explicit Responder(Scenario scenario) : scenario_(std::move(scenario)) {}

    // Answers one probe (an echo request or a UDP datagram, not a fragment) and
    // counts it; the result is empty when the probe meets silence.
    std::vector<Outgoing> on_probe(const Probe& probe);

    int probes_seen() const { return probes_; }

private:
    // The scenario's answer for the probe and the hop it comes from, or nothing.
    const Answer* choose(const Probe& probe, int* hop) const;
    // The packet of an answer, named in the log "prefix KIND suffix".
    std::optional<Outgoing> build(const Probe& probe, const Answer& answer, int hop,
                                  uint32_t default_from, const std::string& prefix = "",
                                  const char* suffix = "");
    // The packet of an injection; chosen and hop: the probe's own answer and its hop.
    std::optional<Outgoing> inject(const Probe& probe, const Injection& injection,
                                   const Answer* chosen, int hop);
    // The answer's packet: its delay, IP options and TTL (default_ttl when it sets none).
    Outgoing packet(const Answer& answer, uint32_t from, uint32_t to, int default_ttl, uint8_t tos,
                    const Bytes& icmp, std::string what);

    Scenario scenario_;
    int probes_ = 0;
    int run_ttl_ = -1;  // TTL of the current run of probes and their count so far
    int run_index_ = 0;
    std::optional<Probe> previous_;
    uint16_t ident_ = 1;
};

}  // namespace netsim
