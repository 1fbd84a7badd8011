// Fuzzes the cache file loader: any bytes load without harm, and what is saved back
// holds whole records only and survives a second load and save unchanged.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "names/host_cache.h"
#include "platform/platform.h"

namespace {

std::string scratch(const char* name) {
    return "/tmp/tarnhop-fuzz-" + std::to_string(getpid()) + "-" + name;
}

std::vector<uint8_t> read_back(const std::string& path) {
    std::vector<uint8_t> bytes;
    if (!platform_read_file(path, &bytes))
        std::abort();
    return bytes;
}

bool whole_records(const std::vector<uint8_t>& bytes) {
    size_t at = 0;
    while (at < bytes.size()) {
        if (bytes.size() - at < 5)
            return false;
        size_t length = bytes[at + 4];
        if (bytes.size() - at - 5 < length)
            return false;
        for (size_t i = 0; i < length; ++i) {
            if (bytes[at + 5 + i] == 0)
                return false;  // a name ends at its first zero byte, so none is saved
        }
        at += 5 + length;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string input = scratch("input");
    static const std::string first = scratch("first");
    static const std::string second = scratch("second");

    if (!platform_replace_file(input, data, size))
        std::abort();
    clear_host_cache();
    load_host_cache_file(input);
    if (!save_host_cache_file(first))
        std::abort();
    std::vector<uint8_t> saved = read_back(first);
    if (saved.size() > size || !whole_records(saved))
        std::abort();

    clear_host_cache();
    load_host_cache_file(first);
    if (!save_host_cache_file(second))
        std::abort();
    if (read_back(second) != saved)
        std::abort();
    return 0;
}
