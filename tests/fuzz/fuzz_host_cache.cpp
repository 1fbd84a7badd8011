// Fuzzes the cache file loader on the file's bytes: any bytes load without harm; what a
// save would write holds whole records only, no more bytes than were read, and survives
// a second load unchanged; a second copy of the file appended after the first changes
// no answer; and every answer of the cache is the first record's for its address. The
// input read as an executable's path gives a cache path by the path rule.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "fuzz/second_reading.h"
#include "names/host_cache.h"
#include "settings/run_settings.h"
#include "wire/bytes.h"

namespace {

constexpr size_t kHead = 5;

struct Record {
    uint32_t address;  // network byte order
    size_t length;     // N
    const uint8_t* name;
};

// The whole records at the start of bytes, in order; *rest is the number of bytes after
// them (a cut record).
std::vector<Record> records_of(std::span<const uint8_t> bytes, size_t* rest) {
    std::vector<Record> records;
    size_t at = 0;
    while (bytes.size() - at >= kHead && bytes.size() - at - kHead >= bytes[at + 4]) {
        records.push_back({read_address(bytes, at), bytes[at + 4], bytes.data() + at + kHead});
        at += kHead + records.back().length;
    }
    *rest = bytes.size() - at;
    return records;
}

// What the loader makes of a record read from a file: the name up to its first zero
// byte; "no name" for N = 0 and the empty text for a name that starts with a zero byte.
std::optional<std::string> loaded_name(const Record& record) {
    if (record.length == 0)
        return std::nullopt;
    return std::string(reinterpret_cast<const char*>(record.name),
                       strnlen(reinterpret_cast<const char*>(record.name), record.length));
}

// Each address answers with its first record's name, read from the input as loaded.
void check_answers(const std::vector<Record>& input) {
    std::unordered_set<uint32_t> seen;
    for (const Record& record : input) {
        std::optional<std::optional<std::string>> answer = cached_host_name(record.address);
        require(answer && (!seen.insert(record.address).second || *answer == loaded_name(record)));
    }
}

// The cache file's path for an executable path: the path with the file name's
// extension (from its last '.' after the name's first byte) replaced by ".cache".
void check_path_rule(const std::string& executable) {
    std::string path = host_cache_path_for(executable);
    if (executable.empty()) {
        require(path.empty());
        return;
    }
    constexpr std::string_view kSuffix = ".cache";
    require(path.ends_with(kSuffix));
    std::string kept = path.substr(0, path.size() - kSuffix.size());
    require(executable.compare(0, kept.size(), kept) == 0);
    std::string cut = executable.substr(kept.size());
    size_t name_start = executable.find_last_of("/\\");
    name_start = name_start == std::string::npos ? 0 : name_start + 1;
    if (!cut.empty()) {
        // Only an extension goes: a '.' inside the file name, after its first byte, and
        // the last one.
        require(cut[0] == '.' && kept.size() > name_start &&
                cut.find_first_of("/\\") == std::string::npos &&
                cut.find('.', 1) == std::string::npos);
    } else {
        size_t dot = executable.rfind('.');
        require(dot == std::string::npos || dot <= name_start);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> input(data, data + size);
    size_t rest = 0;
    std::vector<Record> records = records_of(input, &rest);

    clear_host_cache();
    load_host_cache_bytes(input);
    const std::vector<uint8_t> saved(host_cache_image().begin(), host_cache_image().end());
    check_answers(records);

    // What is saved: the same records in the same order, each name cut at its first
    // zero byte, the cut record at the end dropped.
    std::vector<Record> written = records_of(saved, &rest);
    require(rest == 0 && written.size() == records.size() && saved.size() <= size);
    for (size_t i = 0; i < records.size(); ++i) {
        std::optional<std::string> name = loaded_name(records[i]);
        size_t length = name ? name->size() : 0;
        require(written[i].address == records[i].address && written[i].length == length &&
                std::memcmp(written[i].name, records[i].name, length) == 0);
    }

    // The same bytes appended after what the cache holds: the image doubles, and the
    // first copy still answers.
    load_host_cache_bytes(input);
    std::vector<uint8_t> doubled = saved;
    doubled.insert(doubled.end(), saved.begin(), saved.end());
    require(std::ranges::equal(host_cache_image(), doubled));
    check_answers(records);

    // Loading what was saved gives it back byte for byte, now without empty names.
    clear_host_cache();
    load_host_cache_bytes(saved);
    require(std::ranges::equal(host_cache_image(), saved));
    check_answers(written);

    const std::string text(reinterpret_cast<const char*>(data), std::min<size_t>(size, 300));
    check_path_rule(text);
    // With -d a lookup answers nothing, whatever the cache holds, and asks no resolver.
    const RunSettings no_resolve{.no_resolve = true, .use_cache = true};
    for (const Record& record : records)
        require(!lookup_host_name(record.address, no_resolve));

    // A lookup's answer appended at the tail is found unless the address has a record.
    if (size >= 4) {
        uint32_t address = read_address(input, 0);
        std::optional<std::optional<std::string>> before = cached_host_name(address);
        remember_host_name(address, text);
        std::optional<std::string> kept = text.substr(0, strnlen(text.c_str(), 255));
        std::optional<std::optional<std::string>> after = cached_host_name(address);
        require(after && *after == (before ? *before : kept));
    }
    return 0;
}
