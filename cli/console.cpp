// Console output and the texts of IP status codes.
#include "cli/console.h"

#include <array>
#include <cstdarg>

#include "platform/platform.h"

namespace {

constexpr int32_t kFirstTextCode = 11001;

constexpr std::array<const char*, 22> kStatusTexts = {
    "Buffer too small.",
    "Destination network unreachable.",
    "Destination host unreachable.",
    "Destination protocol unreachable.",
    "Destination port unreachable.",
    "No resources.",
    "Bad option.",
    "Hardware error.",
    "Packet too big.",
    "IP_REQ_TIMED_OUT",
    "Bad request.",
    "Bad route.",
    "IP_TTL_EXPIRED_TRANSIT",
    "TTL expired during reassembly.",
    "Parameter problem.",
    "Source quench.",
    "Option too big.",
    "Bad destination.",
    "IP address deleted.",
    "IP_SPEC_MTU_CHANGE",
    "IP_MTU_CHANGE",
    "IP_UNLOAD",
};

}  // namespace

void console_printf(const char* format, ...) {
    char text[kFormatCap];
    va_list args;
    va_start(args, format);
    size_t length = platform_format(text, format, args);
    va_end(args);
    platform_write_stdout(text, length);
}

const char* ip_status_text(int32_t code) {
    if (code < kFirstTextCode || code >= kFirstTextCode + static_cast<int32_t>(kStatusTexts.size()))
        return nullptr;
    return kStatusTexts[static_cast<size_t>(code - kFirstTextCode)];
}

void print_ip_status(int32_t code) {
    if (const char* text = ip_status_text(code)) {
        console_printf("%s\n", text);
        return;
    }
    console_printf("(%d) ", code);
    print_system_message(code);
    console_printf("\n");
}

void print_system_message(int32_t code) {
    console_printf("%s", platform_system_message(code).c_str());
}

std::string terminal_safe(const std::string& name) {
    std::string shown = name;
    for (char& c : shown) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7e)
            c = '?';
    }
    return shown;
}
