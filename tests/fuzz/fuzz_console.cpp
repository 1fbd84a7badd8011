// Fuzzes what reaches the terminal. The first byte picks one of two parts:
// - the formatter with each of the program's own formats and arbitrary arguments: the
//   result fits the cap, is terminated, and is what the C library makes of it cut to the
//   cap;
// - the display of a whole run: the banner and the probe loop with settings, replies
//   (times, responders, status codes, TTLs) and host names taken from the input. It
//   must not crash, ask for more probes than its passes hold, or leave a line open, and
//   every byte written must be printable ASCII or a line end, whatever the names hold.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "cli/console.h"
#include "fuzz/second_reading.h"
#include "names/target.h"
#include "platform/platform.h"
#include "probe/probe_loop.h"

namespace {

bool printable(char c) { return c >= 0x20 && c <= 0x7e; }

// The program's formatter and the C library's on the same format and arguments: the
// program's result fits the cap, is terminated, and is the library's cut to the cap.
__attribute__((format(printf, 1, 2))) void compare_formats(const char* fmt, ...) {
    va_list args;
    va_list copy;
    va_start(args, fmt);
    va_copy(copy, args);
    char out[kFormatCap];
    char want[kFormatCap];
    size_t length = platform_format(out, fmt, args);
    std::vsnprintf(want, sizeof want, fmt, copy);
    va_end(copy);
    va_end(args);
    require(length <= kFormatCap - 1 && std::strlen(out) == length && std::strcmp(want, out) == 0);
}

void check_formatter(const uint8_t* data, size_t size) {
    if (size < 5)
        return;
    int32_t number;
    std::memcpy(&number, data + 1, sizeof number);
    std::string text(reinterpret_cast<const char*>(data + 5), size - 5);
    const char* argument = text.c_str();
    compare_formats("Unrecognized option: %s\n", argument);
    compare_formats("Couldn't resolve %s. Winsock error code %d\n", argument, number);
    compare_formats("%2d  ", number);
    compare_formats("%-7.7s", argument);
    compare_formats("%s [%s]\n", argument, argument);
    // Every byte outside printable ASCII becomes a '?'.
    std::string safe = text;
    std::ranges::replace_if(
        safe, [](char c) { return !printable(c); }, '?');
    require(terminal_safe(text) == safe);
}

// Reads the fuzz input front to back; zeros once it is used up.
struct Input {
    const uint8_t* data;
    size_t size;
    size_t at = 0;

    uint8_t byte() { return at < size ? data[at++] : 0; }
    uint32_t u32() {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i)
            value = value << 8 | byte();
        return value;
    }
    bool empty() const { return at >= size; }
};

// A host name as a lookup yields it: none, or text of up to 255 bytes without a zero.
std::optional<std::string> read_name(Input& in) {
    uint8_t length = in.byte();
    if (length == 0)
        return std::nullopt;
    std::string name;
    while (name.size() + 1u < length && !in.empty())
        name.push_back(static_cast<char>(in.byte()));
    return name.substr(0, name.find('\0'));
}

// A reply: answered or not, a time of up to 16 or 32 bits, a responder, then success,
// TTL expired, a code near the status texts' range or any code, and a TTL.
ProbeReply read_reply(Input& in) {
    uint8_t kind = in.byte();
    int status_kind = kind >> 3 & 3;
    return {.answered = (kind & 3) != 0,
            .rtt_ms = static_cast<int32_t>(in.u32() & ((kind & 4) ? 0xffffffffu : 0xffffu)),
            .responder = in.u32(),
            .status = status_kind == 0   ? 0
                      : status_kind == 1 ? 11013
                      : status_kind == 2 ? 11000 + static_cast<int32_t>(in.byte() % 32)
                                         : static_cast<int32_t>(in.u32()),
            .reply_ttl = in.byte()};
}

// The next scripted item, a default one once they are used up; *at counts every call.
template <typename T>
T next_of(const std::vector<T>& items, size_t* at) {
    size_t i = (*at)++;
    return i < items.size() ? items[i] : T{};
}

int capture_fd = -1;

// Everything written to standard output since the last call.
std::string take_output() {
    std::fflush(stdout);
    std::string out(static_cast<size_t>(lseek(capture_fd, 0, SEEK_END)), '\0');
    require(pread(capture_fd, out.data(), out.size(), 0) == static_cast<ssize_t>(out.size()) &&
            ftruncate(capture_fd, 0) == 0 && std::fseek(stdout, 0, SEEK_SET) == 0);
    return out;
}

void check_display(const uint8_t* data, size_t size) {
    Input in{data, size};
    RunSettings settings;
    uint8_t flags = in.byte();
    settings.ping_only = flags & 2;
    settings.max_hops = (flags & 4) ? in.byte() + 8 : in.byte() % 8;
    settings.probes_per_hop = in.byte() % ((flags & 4) ? 2 : 5);
    settings.data_size = static_cast<int32_t>(in.u32() % (kMaxDataSize + 1));
    settings.probe_gap_ms = flags & 8 ? 1 : 0;
    settings.hop_pause_ms = flags & 16 ? 1 : 0;
    uint8_t start_ttl = in.byte();
    uint32_t target = in.u32();
    std::optional<std::string> banner_name = read_name(in);

    std::vector<ProbeReply> replies;
    std::vector<std::optional<std::string>> names;
    size_t next_reply = 0;
    size_t next_name = 0;
    size_t probes =
        static_cast<size_t>(settings.max_hops) * static_cast<size_t>(settings.probes_per_hop);
    while (!in.empty() && replies.size() < probes) {
        replies.push_back(read_reply(in));
        if (in.byte() & 1)
            names.push_back(read_name(in));
    }

    print_banner(target, banner_name, settings);
    ProbeLoopServices services;
    services.probe = [&](uint32_t, uint8_t, const RunSettings&) {
        return next_of(replies, &next_reply);
    };
    services.lookup_name = [&](uint32_t) { return next_of(names, &next_name); };
    services.sleep = [](int32_t) {};
    run_probe_loop(target, settings, start_ttl, services);
    std::string shown = take_output();

    // What the display rules give for each case is proved in test_probe_loop.cpp and
    // test_target.cpp; here only what holds for every input: no more probes than the
    // passes allow, every line ended, and every byte printable ASCII or a line end.
    require(next_reply <= probes && (shown.empty() || shown.back() == '\n'));
    for (char c : shown)
        require(c == '\n' || printable(c));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Standard output goes to a file in memory that each run reads back.
    capture_fd = memfd_create("tarnhop-fuzz-console", 0);
    require(capture_fd >= 0 && dup2(capture_fd, STDOUT_FILENO) >= 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    if (data[0] & 1)
        check_display(data + 1, size - 1);
    else
        check_formatter(data, size);
    return 0;
}
