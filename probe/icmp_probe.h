// The ICMP echo probe, through the system's ICMP echo service.
#pragma once

#include "probe/probe_loop.h"
#include "settings/run_settings.h"

// Opens the echo service; on failure prints the reason and returns false.
bool open_icmp_service();

// One echo request with this TTL, and its answer.
ProbeReply icmp_probe(uint32_t target, uint8_t ttl, const RunSettings& settings);

// Closes the echo service; a failure is reported and otherwise ignored.
void close_icmp_service();
