// The target: its address from the command line, its display name, and the banner.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cli/run_settings.h"

struct TargetResolution {
    bool ok = false;
    uint32_t address = 0;  // network byte order
    int32_t error = 0;     // resolver error code when !ok
    std::optional<std::string> display_name;
};

// Turns the target text into an address (dotted forms first, then the resolver) and
// finds its display name through the reverse lookup. Never prints.
TargetResolution resolve_target(const char* text, const RunSettings& settings);

// Prints the message for a target that could not be resolved.
void print_resolve_failure(const char* text, int32_t error);

// Prints the banner that opens the display.
void print_banner(uint32_t address, const std::optional<std::string>& display_name,
                  const RunSettings& settings);
