// netsim scenario: what the simulated network answers, read from a small text file.
// The format is described at the top of tests/sim/example.sim.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace netsim {

// Linux routers quote at most 576 bytes of IP datagram in all: 576 - 20 - 8.
constexpr size_t kDefaultQuote = 548;
// Where noise comes from unless the scenario says otherwise.
constexpr uint32_t kNoiseSource = 0xc6130707;  // 198.19.7.7

// What one responder sends back for one probe. Addresses are in host byte order.
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
    uint32_t rest = 0;  // ICMP header word after the checksum: MTU, gateway, pointer
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
    enum class What {
        echo_request,  // someone else's echo request to the client
        other_reply,   // an echo reply carrying another identifier
        earlier,       // the answer (answer.kind) to the probe before this one
        duplicate,     // a second copy of this probe's own answer
        truncated,     // time exceeded whose quote stops inside the IP header
        bad_checksum,  // time exceeded quoting this probe, ICMP checksum wrong
        tiny,          // an ICMP message of 4 bytes, shorter than its header
        stranger,      // an error about someone else's probe like this one
        answer,        // any answer kind (redirect, time-exceeded...) about this probe
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

}  // namespace netsim
