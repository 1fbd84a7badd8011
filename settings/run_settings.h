// The settings of one run, filled with their defaults and then from the command line.
#pragma once

#include <cstdint>

struct RunSettings {
    bool no_resolve = false;     // -d: never look host names up
    bool use_cache = false;      // -c: load, extend and save the host-name cache file
    bool use_udp = false;        // -u: probe with UDP datagrams instead of ICMP echo
    bool ping_only = false;      // -o: ping the target only, no hop-by-hop trace
    int32_t max_hops = 32;       // -t: passes of the probe loop (highest TTL in a trace)
    int32_t hop_pause_ms = 0;    // -p: sleep after each pass that does not end the loop
    int32_t probe_gap_ms = 10;   // -n: sleep after each probe
    int32_t data_size = 32;      // -l: payload bytes per probe
    int32_t timeout_ms = 1500;   // -w: how long one probe waits for an answer
    int32_t probes_per_hop = 3;  // -i: probes per hop (per pass when pinging)
    int32_t tos = 0;             // -v: Type of Service; only the low 8 bits are sent
};

// The largest payload a probe carries.
constexpr int32_t kMaxDataSize = 8192;
