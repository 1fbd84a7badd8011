// Option parsing and the usage text.
#include "cli/options.h"

#include <array>
#include <climits>
#include <cstring>

#include "cli/console.h"

namespace {

// Reads a number the way atoi does (leading white space, one sign, decimal digits,
// anything after them ignored, 0 when there are none), saturated to 32 bits so that
// out-of-range values stay defined.
int32_t read_number(const char* text) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r'))
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-')
        negative = *text++ == '-';
    int64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + (*text - '0');
        if (value > static_cast<int64_t>(INT32_MAX) + 1)
            value = static_cast<int64_t>(INT32_MAX) + 1;
    }
    if (negative)
        return static_cast<int32_t>(-value);
    return value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
}

struct ValueOption {
    char letter;
    int32_t RunSettings::*field;
};

constexpr std::array<ValueOption, 7> kValueOptions = {{
    {'t', &RunSettings::max_hops},
    {'n', &RunSettings::probe_gap_ms},
    {'i', &RunSettings::probes_per_hop},
    {'p', &RunSettings::hop_pause_ms},
    {'l', &RunSettings::data_size},
    {'w', &RunSettings::timeout_ms},
    {'v', &RunSettings::tos},
}};

struct FlagOption {
    char letter;
    bool RunSettings::*field;
};

constexpr std::array<FlagOption, 4> kFlagOptions = {{
    {'d', &RunSettings::no_resolve},
    {'c', &RunSettings::use_cache},
    {'o', &RunSettings::ping_only},
    {'u', &RunSettings::use_udp},
}};

ParseOutcome failure(std::string message) { return {ParseResult::error, std::move(message)}; }

std::string bad_argument(char letter) { return std::string("Bad argument for -") + letter + ".\n"; }

std::string data_too_big(int32_t limit) {
    return "Data Length is too big (must be <= " + std::to_string(limit) + ")\n";
}

// Reads one value option's argument into settings; returns the message on failure.
std::string read_value(const ValueOption& option, const char* value, RunSettings* settings) {
    if (option.letter == 'l') {
        int32_t size = read_number(value);
        if (size > kMaxDataSize)
            return data_too_big(kMaxDataSize);
        if (size < 0)
            return bad_argument('l');
        settings->data_size = size;
        return {};
    }
    if (value[0] < '0' || value[0] > '9')
        return bad_argument(option.letter);
    settings->*option.field = read_number(value);
    return {};
}

}  // namespace

ParseOutcome parse_command_line(int argc, const char* const* argv, RunSettings* settings) {
    bool skip = false;
    for (int i = 1; i < argc - 1; ++i) {
        if (skip) {
            skip = false;
            continue;
        }
        const char* argument = argv[i];
        if (argument[0] != '-' || argument[1] == '\0')
            return {ParseResult::show_usage, {}};
        char letter = argument[1];
        bool known = false;
        for (const FlagOption& flag : kFlagOptions) {
            if (flag.letter == letter) {
                settings->*flag.field = true;
                known = true;
            }
        }
        for (const ValueOption& option : kValueOptions) {
            if (option.letter != letter)
                continue;
            // The value is the next argument, whatever it looks like; it may be the
            // last one, which is then the target too.
            std::string message = read_value(option, argv[i + 1], settings);
            if (!message.empty())
                return failure(std::move(message));
            skip = true;
            known = true;
        }
        if (!known)
            return failure(std::string("Unrecognized option: ") + argument + "\n");
    }
    if (settings->use_udp && settings->data_size > kUdpMaxPayload)
        return failure(data_too_big(kUdpMaxPayload));
    return {};
}

bool is_help_word(const char* argument) {
    for (const char* word : {"/help", "/?", "-help", "-?"}) {
        if (std::strcmp(argument, word) == 0)
            return true;
    }
    return false;
}

namespace {

constexpr const char* kUsageFormat =
    "tarnhop v1.4a compiled %s  https://tarnhop.example\n"
    "Written by the tarnhop developers.\n"
    "Traces the route to an IPv4 host, or pings it, with ICMP echo or UDP probes.\n"
    "\nUsage: tarnhop [options] target_name\n\nOptions available:\n"
    "\t-d             \t Do not attempt to resolve hostnames\n"
    "\t-c             \t Create and use hostname cache for DNS (tarnhop.cache)\n"
    "\t-u             \t Use UDP instead of ICMP (raw sockets required)\n"
    "\t-o             \t Only ping host, don't do trace (useful for UDP ping)\n"
    "\t-t <TimeToLive>\t Maximum number of hops (default: 32)\n"
    "\t-p <PauseTime> \t Pause after each hop in ms (default: 0)\n"
    "\t-n <WaitTime > \t Delay between consecutive pings in ms (default: 10)\n"
    "\t-l <BuffSize>  \t Number of bytes of data to send (default: 32)\n"
    "\t-w <TimeOut>   \t Timeout (in milliseconds) (default: 1500)\n"
    "\t-i <PPIP>      \t Number of pings to send to each hop (default: 3)\n"
    "\t-v <ToS>       \t Set Type of Service field bits (experts only)\n";

constexpr const char* kCompileDate = __DATE__;

}  // namespace

std::string usage_text() {
    std::string format = kUsageFormat;
    size_t at = format.find("%s");
    return format.substr(0, at) + kCompileDate + format.substr(at + 2);
}

void print_usage() { console_printf(kUsageFormat, kCompileDate); }
