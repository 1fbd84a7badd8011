// The target: its address from the command line, its display name, and the banner.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "settings/run_settings.h"

struct TargetResolution {
    bool ok = false;
    uint32_t address = 0;  // network byte order
    int32_t error = 0;     // resolver error code when !ok
    std::optional<std::string> display_name;
};

// The address that the target text reads as, without asking the resolver: the dotted
// forms the socket layer reads (short forms such as "100" for 0.0.0.100 included), and
// the all-ones address only for the exact text "255.255.255.255". 0 when the text has
// to go to the resolver (a name, "0.0.0.0", anything else that reads as all ones).
uint32_t target_address_from_text(const char* text);

// Turns the target text into an address (dotted forms first, then the resolver) and
// finds its display name through the reverse lookup. Never prints.
TargetResolution resolve_target(const char* text, const RunSettings& settings);

// Prints the message for a target that could not be resolved.
void print_resolve_failure(const char* text, int32_t error);

// Prints the banner that opens the display.
void print_banner(uint32_t address, const std::optional<std::string>& display_name,
                  const RunSettings& settings);
