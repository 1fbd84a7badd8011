// The probe loop: TTL by TTL, a fixed number of probes each, one display line per hop
// (or one reply line per probe when pinging), until the target answers, a router
// reports an error, a ping pass goes unanswered, or the hop limit is reached.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "settings/run_settings.h"

// The outcome of one probe; the other fields mean something only when answered.
struct ProbeReply {
    bool answered = false;
    int32_t rtt_ms = 0;      // whole milliseconds
    uint32_t responder = 0;  // network byte order
    int32_t status = 0;      // IP status code of the answer
    uint8_t reply_ttl = 0;   // TTL of the answering packet
};

using ProbeFunction =
    std::function<ProbeReply(uint32_t target, uint8_t ttl, const RunSettings& settings)>;
using NameLookup = std::function<std::optional<std::string>(uint32_t address)>;
using SleepFunction = std::function<void(int32_t ms)>;

struct ProbeLoopServices {
    ProbeFunction probe;
    NameLookup lookup_name;
    SleepFunction sleep;
};

// The first TTL sent is start_ttl + 1 (wrapping at one byte).
void run_probe_loop(uint32_t target, const RunSettings& settings, uint8_t start_ttl,
                    const ProbeLoopServices& services);

// The request payload shared by every probe: 8192 bytes, of which the first data_size
// are sent.
std::array<uint8_t, kMaxDataSize>& request_payload();

// Fills the first size bytes with the printable cycle 32, 33, ... 125, 32, ...
void fill_payload(uint8_t* payload, int32_t size);
