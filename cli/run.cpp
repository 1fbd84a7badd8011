// The run sequence: help check, socket layer, options, cache, target, banner, probe
// loop, clean-up. Exit status 0 once the probe loop has run, 1 for every earlier exit.
#include "cli/run.h"

#include "cli/console.h"
#include "cli/options.h"
#include "names/host_cache.h"
#include "names/target.h"
#include "platform/platform.h"
#include "probe/icmp_probe.h"
#include "probe/probe_loop.h"
#include "probe/udp_probe.h"

namespace {

constexpr int kExitRun = 0;
constexpr int kExitError = 1;
constexpr int32_t kSettlingWaitMs = 50;
constexpr uint8_t kPingStartTtl = 127;
constexpr uint8_t kTraceStartTtl = 0;

}  // namespace

int run_tarnhop(int argc, const char* const* argv) {
    // A closed standard output would otherwise be the first socket or file opened, and
    // the console lines would go into it.
    platform_guard_standard_descriptors();
    if (argc < 2 || is_help_word(argv[1])) {
        print_usage();
        return kExitError;
    }
    if (int32_t error = platform_socket_startup(); error != 0) {
        console_printf("WSAStartup() failed, err: %d\n", error);
        return kExitError;
    }

    RunSettings settings;
    clear_host_cache();
    platform_stdout_unbuffered();

    ParseOutcome parsed = parse_command_line(argc, argv, &settings);
    if (parsed.result == ParseResult::show_usage) {
        print_usage();
        return kExitError;
    }
    if (parsed.result == ParseResult::error) {
        console_printf("%s", parsed.message.c_str());
        return kExitError;
    }

    if (settings.use_cache)
        load_host_cache();

    const char* target_text = argv[argc - 1];
    TargetResolution target = resolve_target(target_text, settings);
    if (!target.ok) {
        print_resolve_failure(target_text, target.error);
        platform_socket_cleanup();
        return kExitError;
    }

    uint8_t start_ttl = settings.ping_only ? kPingStartTtl : kTraceStartTtl;
    print_banner(target.address, target.display_name, settings);

    platform_timer_raise();
    if (!settings.use_udp && !open_icmp_service())
        return kExitError;
    platform_sleep_ms(kSettlingWaitMs);

    ProbeLoopServices services;
    services.probe = settings.use_udp ? ProbeFunction(udp_probe) : ProbeFunction(icmp_probe);
    services.lookup_name = [&settings](uint32_t address) {
        return lookup_host_name(address, settings);
    };
    services.sleep = platform_sleep_ms;
    run_probe_loop(target.address, settings, start_ttl, services);

    platform_timer_restore();
    if (settings.use_cache)
        save_host_cache();
    if (!settings.use_udp)
        close_icmp_service();
    platform_socket_cleanup();
    return kExitRun;
}
