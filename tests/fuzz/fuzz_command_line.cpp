// Fuzzes the command-line parser: the input is split at zero bytes into arguments. The
// parser's outcome and settings are compared with a plain second reading of the rules:
// the last argument is the target and never an option; only an argument's second
// character selects the option; a value option takes the next argument whatever it is;
// -t -n -i -p -w -v need a leading digit; -l reads like atoi and must lie in 0..8192
// (1492 with -u); the last occurrence wins; the first error ends the parse.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include "cli/options.h"
#include "fuzz/second_reading.h"

namespace {

// The options by their letter: value options name an int32_t field, flags a bool one.
struct Option {
    char letter;
    int32_t RunSettings::*value;
    bool RunSettings::*flag;
};
constexpr Option kOptions[] = {
    {'t', &RunSettings::max_hops, nullptr},
    {'n', &RunSettings::probe_gap_ms, nullptr},
    {'i', &RunSettings::probes_per_hop, nullptr},
    {'p', &RunSettings::hop_pause_ms, nullptr},
    {'l', &RunSettings::data_size, nullptr},
    {'w', &RunSettings::timeout_ms, nullptr},
    {'v', &RunSettings::tos, nullptr},
    {'d', nullptr, &RunSettings::no_resolve},
    {'c', nullptr, &RunSettings::use_cache},
    {'o', nullptr, &RunSettings::ping_only},
    {'u', nullptr, &RunSettings::use_udp},
};

// Every field of the settings is an option's.
bool same(const RunSettings& a, const RunSettings& b) {
    return std::ranges::all_of(kOptions, [&](const Option& option) {
        return option.flag ? a.*option.flag == b.*option.flag : a.*option.value == b.*option.value;
    });
}

ParseOutcome fail(const std::string& message) { return {ParseResult::error, message}; }

// The second reading; settings start from the defaults.
ParseOutcome expected_parse(const std::vector<std::string>& arguments, RunSettings* settings) {
    const std::string too_big = "Data Length is too big (must be <= ";
    for (size_t i = 1; i + 1 < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument.size() < 2 || argument[0] != '-')
            return {ParseResult::show_usage, {}};
        char letter = argument[1];
        const Option* option = std::ranges::find(kOptions, letter, &Option::letter);
        if (option == std::end(kOptions))
            return fail("Unrecognized option: " + argument + "\n");
        if (option->flag != nullptr) {
            settings->*option->flag = true;
            continue;
        }
        const std::string& value = arguments[++i];
        // Leading white space, one sign, decimal digits, as the C library reads them;
        // values beyond 32 bits stay at the nearest end.
        int64_t number = std::clamp<int64_t>(std::strtoll(value.c_str(), nullptr, 10),
                                             -(int64_t{1} << 32), int64_t{1} << 32);
        if (letter == 'l') {
            if (number > 8192)
                return fail(too_big + "8192)\n");
            if (number < 0)
                return fail("Bad argument for -l.\n");
        } else if (value.empty() || value[0] < '0' || value[0] > '9') {
            return fail(std::string("Bad argument for -") + letter + ".\n");
        }
        settings->*option->value = static_cast<int32_t>(std::min<int64_t>(number, INT32_MAX));
    }
    if (settings->use_udp && settings->data_size > 1492)
        return fail(too_big + "1492)\n");
    return {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> arguments{"tarnhop", ""};
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            arguments.emplace_back();
        else
            arguments.back().push_back(static_cast<char>(data[i]));
    }
    std::vector<const char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(argument.c_str());

    RunSettings settings;
    ParseOutcome outcome =
        parse_command_line(static_cast<int>(argv.size()), argv.data(), &settings);
    RunSettings expected_settings;
    ParseOutcome expected = expected_parse(arguments, &expected_settings);
    require(outcome.result == expected.result && outcome.message == expected.message);
    if (outcome.result == ParseResult::ok) {
        require(same(settings, expected_settings));
        // Accepted settings are always within what the probes can send.
        require(settings.data_size >= 0 && settings.data_size <= kMaxDataSize &&
                (!settings.use_udp || settings.data_size <= kUdpMaxPayload));
    }
    // The help words are compared byte for byte.
    const std::string& first = arguments[1];
    require(is_help_word(argv[1]) ==
            (first == "/help" || first == "/?" || first == "-help" || first == "-?"));
    return 0;
}
