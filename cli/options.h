// The command line: options into RunSettings, and the usage text.
#pragma once

#include <string>

#include "settings/run_settings.h"
#include "wire/udp.h"

enum class ParseResult {
    ok,
    show_usage,  // not an option where one was expected
    error,       // message holds the one text to print
};

struct ParseOutcome {
    ParseResult result = ParseResult::ok;
    std::string message;
};

// Reads the options from argv[1] up to, not including, the last argument (the target).
// Never prints; the caller shows the message or the usage text and ends the run.
ParseOutcome parse_command_line(int argc, const char* const* argv, RunSettings* settings);

// True when the first argument is one of the help words.
bool is_help_word(const char* argument);

// The whole usage text, as print_usage prints it.
std::string usage_text();
void print_usage();
