// netsim responder: turns each probe into the packets the scenario sends back, each
// with its delay after the probe's arrival. Pure: the caller owns the clock and device.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "packets.h"
#include "scenario.h"

namespace netsim {

struct Outgoing {
    uint32_t delay_ms = 0;
    Bytes packet;
    std::string what;  // for the log: the kind of packet and why it was sent
};

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
    std::optional<Outgoing> build(const Probe& probe, const Answer& answer, int hop,
                                  uint32_t default_from);
    std::optional<Outgoing> inject(const Probe& probe, const Injection& injection, int hop);
    Outgoing packet(uint32_t from, uint32_t to, int ttl, uint8_t tos, const Bytes& icmp,
                    uint32_t delay_ms, std::string what);

    Scenario scenario_;
    int probes_ = 0;
    int run_ttl_ = -1;  // TTL of the current run of probes and their count so far
    int run_index_ = 0;
    std::optional<Probe> previous_;
    uint16_t ident_ = 1;
};

}  // namespace netsim
