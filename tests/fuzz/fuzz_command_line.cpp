// Fuzzes the command-line parser: the input is split at zero bytes into arguments.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> arguments{"tarnhop"};
    std::string current;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            arguments.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    arguments.push_back(current);
    std::vector<const char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(argument.c_str());

    RunSettings settings;
    ParseOutcome outcome =
        parse_command_line(static_cast<int>(argv.size()), argv.data(), &settings);
    switch (outcome.result) {
    case ParseResult::ok:
        // Accepted settings are always within what the probes can send.
        if (settings.data_size < 0 || settings.data_size > kMaxDataSize)
            std::abort();
        if (settings.use_udp && settings.data_size > kMaxUdpDataSize)
            std::abort();
        if (settings.max_hops < 0 || settings.timeout_ms < 0 || settings.probes_per_hop < 0 ||
            settings.probe_gap_ms < 0 || settings.hop_pause_ms < 0 || settings.tos < 0)
            std::abort();
        break;
    case ParseResult::error:
        if (outcome.message.empty() || outcome.message.back() != '\n')
            std::abort();
        break;
    case ParseResult::show_usage:
        break;
    }
    (void)is_help_word(argv.back());
    return 0;
}
