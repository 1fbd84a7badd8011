// Checks of the Windows platform layer that a run of the program does not reach: the
// formatter's conversions and cap, address texts, files, clock and sleep, message texts.
// Built by tests/win/run_wine.sh against the cross-built core library; runs under wine
// and touches no network. Prints one line per failed check and "N passed, M failed".
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

int passed = 0;
int failed = 0;

// Counts a check; prints what failed.
void check(bool ok, const std::string& what) {
    ++(ok ? passed : failed);
    if (!ok)
        std::printf("FAIL %s\n", what.c_str());
}

std::string format(const char* text, ...) {
    char out[kFormatCap];
    va_list args;
    va_start(args, text);
    size_t length = platform_format(out, text, args);
    va_end(args);
    return std::string(out, length);
}

void check_format(const std::string& got, const std::string& want) {
    check(got == want, "format: \"" + got + "\", want \"" + want + "\"");
}

void check_formatter() {
    check_format(format("%-7.7s|", "0ms"), "0ms    |");
    check_format(format("%-7.7s|", "10000ms"), "10000ms|");
    check_format(format("%-7.7s|", "123456789ms"), "1234567|");
    check_format(format("%2d|%2d|%2d", 5, 99, 100), " 5|99|100");
    check_format(format("%d %d %d", 0, -2147483647 - 1, 2147483647), "0 -2147483648 2147483647");
    check_format(format("(%d) %s", 11023, "x"), "(11023) x");
    std::string long_text(1500, 'y');
    std::string cut = format("Unrecognized option: %s\n", long_text.c_str());
    check(cut.size() == kFormatCap - 1,
          "format cap: " + std::to_string(cut.size()) + " characters");
    check(cut.compare(0, 21, "Unrecognized option: ") == 0 && cut.back() == 'y',
          "format cap: text");
    std::string fits(kFormatCap - 2, 'z');
    check(format("%s\n", fits.c_str()) == fits + "\n", "format: 1023 characters fit whole");
}

void check_addresses() {
    auto address = [](unsigned a, unsigned b, unsigned c, unsigned d) {
        return static_cast<uint32_t>(a | b << 8 | c << 16 | d << 24);
    };
    check(platform_inet_addr("198.18.5.2") == address(198, 18, 5, 2), "inet_addr dotted");
    check(platform_inet_addr("100") == address(0, 0, 0, 100), "inet_addr 100 is 0.0.0.100");
    check(platform_inet_addr("127.1") == address(127, 0, 0, 1), "inet_addr 127.1");
    check(platform_inet_addr("0x7f.0.0.1") == address(127, 0, 0, 1), "inet_addr hex part");
    check(platform_inet_addr("0.0.0.0") == 0, "inet_addr 0.0.0.0");
    check(platform_inet_addr("255.255.255.255") == kAddressNone, "inet_addr broadcast");
    check(platform_inet_addr("target.lab") == kAddressNone, "inet_addr of a name");
    check(platform_inet_addr("1.2.3.256") == kAddressNone, "inet_addr part too big");
    check(platform_inet_ntoa(address(198, 18, 5, 2)) == "198.18.5.2", "inet_ntoa");
    check(platform_inet_ntoa(kAddressNone) == "255.255.255.255", "inet_ntoa broadcast");
}

// The file's bytes as text; none when it cannot be read.
std::optional<std::string> read_text(const std::string& path) {
    std::vector<uint8_t> bytes;
    if (!platform_read_file(path, &bytes))
        return std::nullopt;
    return std::string(bytes.begin(), bytes.end());
}

// Replaces the file at path with text, whatever it held.
bool replace_text(const std::string& path, const std::string& text) {
    return platform_update_file(path, FileStamp{}, [&text](std::vector<uint8_t>*) {
        return FileUpdate{true, reinterpret_cast<const uint8_t*>(text.data()), text.size()};
    });
}

void check_files() {
    std::string exe = platform_executable_path();
    check(exe.size() > 16 && exe.ends_with("\\seam_check.exe"), "executable path: " + exe);
    std::string folder = exe.substr(0, exe.find_last_of('\\') + 1);
    std::string path = folder + "seam_check.data";
    check(!read_text(path), "reading a missing file fails");
    std::string first(70000, 'a');
    check(replace_text(path, first), "new file written");
    check(read_text(path) == first, "new file read back");
    std::string second = "second";
    check(replace_text(path, second), "file replaced");
    check(read_text(path) == second, "replaced file read back");
    check(replace_text(path, "") && read_text(path) == "", "file replaced by an empty one");
    check(!replace_text(folder + "no such folder\\x.data", second),
          "a file in a missing folder is not written");
    check(!read_text(folder), "a folder is no file");
}

// Milliseconds since an arbitrary start, on a steady clock.
long long now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void check_clock_and_texts() {
    platform_timer_raise();
    long long before = now_ms();
    platform_sleep_ms(30);
    long long spent = now_ms() - before;
    platform_timer_restore();
    check(spent >= 29 && spent < 5000, "30 ms sleep took " + std::to_string(spent) + " ms");
    before = now_ms();
    platform_sleep_ms(0);
    platform_sleep_ms(-5);
    check(now_ms() - before < 1000, "sleep of 0 or less returns");
    for (int32_t code : {5, 11023, -1})
        check(!platform_system_message(code).empty(), "system text for " + std::to_string(code));
}

}  // namespace

int main() {
    check(platform_socket_startup() == 0, "socket layer start-up");
    check_formatter();
    check_addresses();
    check_files();
    check_clock_and_texts();
    platform_socket_cleanup();
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
