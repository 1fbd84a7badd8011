// The UDP probe: a datagram to a high port, answered by an ICMP error that quotes it.
#pragma once

#include "probe/probe_loop.h"
#include "settings/run_settings.h"

// One UDP datagram with this TTL, and its answer.
ProbeReply udp_probe(uint32_t target, uint8_t ttl, const RunSettings& settings);
