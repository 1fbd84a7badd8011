// Fuzzes the console formatter with the program's own formats and arbitrary arguments,
// and the terminal filter for names.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/console.h"
#include "platform/platform.h"

namespace {

size_t format(char* out, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    size_t length = platform_format(out, fmt, args);
    va_end(args);
    return length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5)
        return 0;
    int32_t number;
    std::memcpy(&number, data + 1, sizeof number);
    std::string text(reinterpret_cast<const char*>(data + 5), size - 5);
    const char* argument = text.c_str();

    char out[kFormatCap];
    size_t length = 0;
    switch (data[0] % 5) {
    case 0:
        length = format(out, "Unrecognized option: %s\n", argument);
        break;
    case 1:
        length = format(out, "Couldn't resolve %s. Winsock error code %d\n", argument, number);
        break;
    case 2:
        length = format(out, "%2d  ", number);
        break;
    case 3:
        length = format(out, "%-7.7s", argument);
        break;
    default:
        length = format(out, "%s [%s]\n", argument, argument);
        break;
    }
    // The result always fits the cap, is terminated, and its length is what was written.
    if (length > kFormatCap - 1 || std::strlen(out) != length)
        std::abort();

    std::string safe = terminal_safe(text);
    if (safe.size() != text.size())
        std::abort();
    for (char c : safe) {
        if (c < 0x20 || c > 0x7e)
            std::abort();
    }
    return 0;
}
