// Reverse lookups and the host-name cache that remembers their answers between runs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cli/run_settings.h"

// The name to show for an address, or none. With -d: none at once. With -c the cache
// is asked first and every resolver answer (no name included) is remembered.
std::optional<std::string> lookup_host_name(uint32_t address, const RunSettings& settings);

// The cache file's path: the executable's path with its file-name extension replaced
// by ".cache" (or ".cache" appended when the file name has none). Empty when the
// executable's path cannot be had.
std::string host_cache_path();

// Fills the process-wide cache from the file; a missing or unreadable file is empty.
void load_host_cache();

// Writes the process-wide cache to the file, all or nothing; failures are silent.
void save_host_cache();

// The same for a file named by the caller, and emptying the in-memory cache; the run
// uses the two above.
void load_host_cache_file(const std::string& path);
bool save_host_cache_file(const std::string& path);
void clear_host_cache();
