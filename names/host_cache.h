// Reverse lookups and the host-name cache that remembers their answers between runs.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "settings/run_settings.h"

// The name to show for an address, or none. With -d: none at once. With -c the cache
// is asked first and every resolver answer (no name included) is remembered.
std::optional<std::string> lookup_host_name(uint32_t address, const RunSettings& settings);

// What the cache holds for an address, without asking the resolver: nullopt when it has
// no record for it, otherwise the first record's name (itself none for a "no name"
// record).
std::optional<std::optional<std::string>> cached_host_name(uint32_t address);

// Appends a record at the tail of the cache, as a lookup with -c does with the
// resolver's answer. A name ends at its first zero byte, and one longer than 255 bytes
// is kept cut to its first 255.
void remember_host_name(uint32_t address, const std::optional<std::string>& name);

// The cache file's path: the executable's path with its file-name extension replaced
// by ".cache" (or ".cache" appended when the file name has none). Empty when the
// executable's path cannot be had.
std::string host_cache_path();

// The same rule for a given executable path. Only a '.' inside the file name, after its
// first byte, starts an extension: a dot in a folder name does not, and neither does
// the leading dot of a hidden file (".tarnhop" gets ".tarnhop.cache", not ".cache").
std::string host_cache_path_for(const std::string& executable_path);

// Fills the process-wide cache from the file; a missing or unreadable file is empty.
void load_host_cache();

// Writes the process-wide cache to the file, all or nothing; failures are silent.
void save_host_cache();

// The same for a file named by the caller, and emptying the in-memory cache; the run
// uses the two above.
void load_host_cache_file(const std::string& path);
bool save_host_cache_file(const std::string& path);
void clear_host_cache();

// The file's bytes without the file: load_host_cache_file reads the file and hands its
// bytes to load_host_cache_bytes (they are reused as the cache's own, not copied), and
// save_host_cache_file writes host_cache_image. The records are appended after those
// the cache holds already; a record cut short by the end is dropped.
void load_host_cache_bytes(std::vector<uint8_t> bytes);
// Exactly the bytes a save writes; valid until the cache changes.
std::span<const uint8_t> host_cache_image();
