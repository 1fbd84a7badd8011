// Target resolution and the banner.
#include "names/target.h"

#include <cstring>

#include "cli/console.h"
#include "names/host_cache.h"
#include "platform/platform.h"

uint32_t target_address_from_text(const char* text) {
    uint32_t address = platform_inet_addr(text);
    // The all-ones answer means "not an address", unless the text is the limited
    // broadcast address itself.
    if (address == kAddressNone && std::strcmp(text, "255.255.255.255") != 0)
        return 0;
    return address;
}

TargetResolution resolve_target(const char* text, const RunSettings& settings) {
    TargetResolution resolution;
    uint32_t address = target_address_from_text(text);
    if (address == 0 && !platform_resolve_name(text, &address, &resolution.error))
        return resolution;
    resolution.ok = true;
    resolution.address = address;
    if (!settings.no_resolve)
        resolution.display_name = lookup_host_name(address, settings);
    return resolution;
}

void print_resolve_failure(const char* text, int32_t error) {
    console_printf("Couldn't resolve %s. Winsock error code %d\n", text, error);
}

void print_banner(uint32_t address, const std::optional<std::string>& display_name,
                  const RunSettings& settings) {
    const char* verb = settings.ping_only ? "Pinging" : "Tracing route to";
    const char* quantity = settings.ping_only ? "data size" : "TTL";
    int32_t number = settings.ping_only ? settings.data_size : settings.max_hops;
    std::string dotted = platform_inet_ntoa(address);
    if (display_name) {
        console_printf("\n%s %s [%s] with %s of %d:\n\n", verb,
                       terminal_safe(*display_name).c_str(), dotted.c_str(), quantity, number);
    } else {
        console_printf("\n%s %s with %s of %d:\n\n", verb, dotted.c_str(), quantity, number);
    }
}
