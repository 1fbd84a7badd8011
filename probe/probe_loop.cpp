// The probe loop and its display.
#include "probe/probe_loop.h"

#include <cstdio>

#include "cli/console.h"
#include "platform/platform.h"

std::array<uint8_t, kMaxDataSize>& request_payload() {
    static std::array<uint8_t, kMaxDataSize> payload{};
    return payload;
}

void fill_payload(uint8_t* payload, int32_t size) {
    uint8_t next = 32;
    for (int32_t i = 0; i < size; ++i) {
        if (next == 126)
            next = 32;
        payload[i] = next++;
    }
}

namespace {

void print_time_cell(int32_t rtt_ms) {
    char cell[32];
    std::snprintf(cell, sizeof cell, "%dms ", rtt_ms);
    console_printf("%-7.7s", cell);
}

}  // namespace

void run_probe_loop(uint32_t target, const RunSettings& settings, uint8_t start_ttl,
                    const ProbeLoopServices& services) {
    fill_payload(request_payload().data(), settings.data_size);
    const std::string target_text = platform_inet_ntoa(target);
    uint8_t ttl = start_ttl;
    for (int32_t pass = 0; pass < settings.max_hops; ++pass) {
        ++ttl;
        if (!settings.ping_only)
            console_printf("%2d  ", ttl);
        int32_t answered = 0;
        int32_t status = kIpReqTimedOut;
        uint32_t last_responder = 0;
        for (int32_t probe = 0; probe < settings.probes_per_hop; ++probe) {
            ProbeReply reply = services.probe(target, ttl, settings);
            if (reply.answered) {
                if (settings.ping_only) {
                    console_printf("Reply from %s: bytes=%d time=%dms TTL=%d\n",
                                   target_text.c_str(), settings.data_size, reply.rtt_ms,
                                   reply.reply_ttl);
                } else {
                    print_time_cell(reply.rtt_ms);
                }
                ++answered;
                last_responder = reply.responder;
                status = reply.status;
            } else {
                console_printf(settings.ping_only ? "Request timed out.\n" : " *     ");
            }
            if (settings.probe_gap_ms != 0)
                services.sleep(settings.probe_gap_ms);
        }
        if (answered > 0) {
            std::optional<std::string> name = services.lookup_name(last_responder);
            if (!settings.ping_only) {
                std::string address = platform_inet_ntoa(last_responder);
                if (name)
                    console_printf("%s [%s]\n", terminal_safe(*name).c_str(), address.c_str());
                else
                    console_printf("%s\n", address.c_str());
            }
        } else if (settings.ping_only) {
            return;
        } else {
            console_printf("Request timed out.\n");
        }
        if (status == kIpSuccess) {
            console_printf("\n%s complete.\n", settings.ping_only ? "Pinging" : "Traceroute");
            return;
        }
        if (status != kIpTtlExpiredTransit && status != kIpReqTimedOut) {
            console_printf("\n%s reports: ", platform_inet_ntoa(last_responder).c_str());
            print_ip_status(status);
            return;
        }
        if (settings.hop_pause_ms != 0)
            services.sleep(settings.hop_pause_ms);
    }
}
