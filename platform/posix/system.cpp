// POSIX: socket layer, timer, clock, sleep, console and system message texts.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/platform.h"

// The POSIX socket layer needs no start-up; keeping the calls keeps the run's order.
int32_t platform_socket_startup() { return 0; }
void platform_socket_cleanup() {}

// The POSIX timers already have sub-millisecond resolution.
void platform_timer_raise() {}
void platform_timer_restore() {}

void platform_sleep_ms(int32_t ms) {
    if (ms <= 0)
        return;
    timespec rest{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

__attribute__((format(printf, 2, 0))) size_t platform_format(char* out, const char* format,
                                                             va_list args) {
    int written = std::vsnprintf(out, kFormatCap, format, args);
    if (written < 0) {
        out[0] = '\0';
        return 0;
    }
    size_t length = static_cast<size_t>(written);
    return length < kFormatCap ? length : kFormatCap - 1;
}

void platform_stdout_unbuffered() { std::setvbuf(stdout, nullptr, _IONBF, 0); }

void platform_write_stdout(const char* text, size_t length) {
    if (length > 0)
        std::fwrite(text, 1, length, stdout);
}

std::string platform_system_message(int32_t code) {
    // strerrordesc_np answers only for numbers the system knows.
    if (const char* text = strerrordesc_np(code))
        return text;
    return "Unknown error.";
}
