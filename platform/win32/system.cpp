// Windows: socket layer, timer, clock, sleep, console and system message texts.
// The system headers work only in this order.
// clang-format off
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <winsock2.h>
#include <windows.h>
#include <mmsystem.h>
// clang-format on

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

int32_t platform_socket_startup() {
    WSADATA granted{};
    return WSAStartup(MAKEWORD(2, 2), &granted);
}

void platform_socket_cleanup() { WSACleanup(); }

void platform_timer_raise() { timeBeginPeriod(1); }
void platform_timer_restore() { timeEndPeriod(1); }

void platform_sleep_ms(int32_t ms) {
    if (ms > 0)
        Sleep(static_cast<DWORD>(ms));
}

size_t platform_format(char* out, const char* format, va_list args) {
    // wvsprintfA writes at most 1,024 bytes, terminating zero included, and cuts the
    // rest; kFormatCap is that size. The program never formats a zero byte, so the
    // text ends at the first one.
    static_assert(kFormatCap == 1024);
    if (wvsprintfA(out, format, args) < 0)
        out[0] = '\0';
    out[kFormatCap - 1] = '\0';
    return std::strlen(out);
}

void platform_stdout_unbuffered() { std::setvbuf(stdout, nullptr, _IONBF, 0); }

// Standard output stays in the C runtime's text mode, as for any console program here:
// each line end reaches the console or file as CR LF.
void platform_write_stdout(const char* text, size_t length) {
    if (length > 0)
        std::fwrite(text, 1, length, stdout);
}

std::string platform_system_message(int32_t code) {
    // The text is shown as the system gives it, its own CR LF at the end included.
    // Inserts stay unexpanded: there are no arguments to put into them.
    char* text = nullptr;
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string message;
    if (length > 0 && text != nullptr)
        message.assign(text, length);
    if (text != nullptr)
        LocalFree(text);
    if (message.empty())
        return "Unknown error.";
    return message;
}
