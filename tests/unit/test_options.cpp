// Command-line parsing and the usage text.
#include <fnmatch.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cli/options.h"
#include "unit_helpers.h"

namespace {

struct Parsed {
    ParseOutcome outcome;
    RunSettings settings;
};

Parsed parse(const std::vector<const char*>& arguments) {
    std::vector<const char*> argv{"tarnhop"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    Parsed parsed;
    parsed.outcome =
        parse_command_line(static_cast<int>(argv.size()), argv.data(), &parsed.settings);
    return parsed;
}

// What the settings hold for the option of this letter: its value, 1 or 0 for a flag.
int32_t setting(const RunSettings& s, const std::string& letter) {
    const std::map<std::string, int32_t> values = {
        {"-d", s.no_resolve}, {"-c", s.use_cache},      {"-u", s.use_udp},      {"-o", s.ping_only},
        {"-t", s.max_hops},   {"-p", s.hop_pause_ms},   {"-n", s.probe_gap_ms}, {"-l", s.data_size},
        {"-w", s.timeout_ms}, {"-i", s.probes_per_hop}, {"-v", s.tos}};
    EXPECT_EQ(values.count(letter), 1u) << "no option " << letter;
    return values.count(letter) == 1 ? values.at(letter) : -1;
}

}  // namespace

TEST(HelpWords, OnlyTheFourExactWords) {
    for (const char* word : {"/help", "/?", "-help", "-?"})
        EXPECT_TRUE(is_help_word(word)) << word;
    for (const char* word : {"-HELP", "/HELP", "-h", "--help", "/help ", "?", "", "-help2"})
        EXPECT_FALSE(is_help_word(word)) << word;
}

TEST(CommandLines, GiveTheValuesMessageOrUsageOfTheirRow) {
    // Each line of tests/unit/data/uother_command_lines.txt: the arguments, then what
    // parsing them gives, all separated by tabs: "ok" and the values options then have
    // ("-w 15", 1 or 0 for a flag), the error message, or "usage". The defaults are those
    // of the usage text; each letter sets its field; for a flag only the second character
    // counts; the target is never read as an option. The last occurrence wins and text
    // after the digits is ignored; the last argument is both a value and the target;
    // numbers too large saturate. A value must start with a digit; only the letter counts,
    // so -t5 takes "host" as its value. The data length is read like atoi within its
    // limits, for UDP the datagram's limit applies after parsing. Unknown letters name the
    // whole argument; a second non-option, "-" and "" show the usage.
    const std::vector<std::vector<std::string>> rows = unit_data_rows("uother_command_lines.txt");
    EXPECT_EQ(rows.size(), 33u);
    for (std::vector<std::string> fields : rows) {
        SCOPED_TRACE(testing::PrintToString(fields));
        const std::string outcome = fields.back();
        fields.pop_back();
        std::vector<const char*> arguments;
        for (const std::string& field : fields)
            arguments.push_back(field.c_str());
        const Parsed parsed = parse(arguments);
        if (outcome == "usage") {
            EXPECT_EQ(parsed.outcome.result, ParseResult::show_usage);
        } else if (outcome.rfind("ok", 0) == 0) {
            EXPECT_EQ(parsed.outcome.result, ParseResult::ok);
            std::istringstream values(outcome.substr(2));
            for (std::string letter; values >> letter;) {
                int32_t value = -1;
                EXPECT_TRUE(static_cast<bool>(values >> value)) << "no value for " << letter;
                EXPECT_EQ(setting(parsed.settings, letter), value) << letter;
            }
        } else {
            EXPECT_EQ(parsed.outcome.result, ParseResult::error);
            EXPECT_EQ(parsed.outcome.message, outcome + "\n");
        }
    }
}

// The shape of a compile date (__DATE__): "Dec  9 2026".
constexpr const char* kDateShape = "[A-Z][a-z][a-z] [ 1-3][0-9] [0-9][0-9][0-9][0-9]";

TEST(UsageText, FixedPartByteForByte) {
    const std::string text = usage_text();
    // From the usage line to the last option, byte for byte.
    const std::string fixed = unit_data("usage_options.txt");
    ASSERT_EQ(fixed.size(), 758u);
    ASSERT_GE(text.size(), fixed.size());
    EXPECT_EQ(text.substr(text.size() - fixed.size()), fixed);

    const std::string head = text.substr(0, text.size() - fixed.size());
    EXPECT_LE(head.size(), 265u);
    EXPECT_LT(text.size(), 1024u);
    // Three lines: version with the compile date, then two credit lines.
    EXPECT_EQ(std::count(head.begin(), head.end(), '\n'), 3);
    // The program's own compile date, which can be a day before this file's when the
    // build crosses midnight.
    const std::string version = "tarnhop v1.4a compiled " + std::string(kDateShape) + "  *";
    EXPECT_EQ(fnmatch(version.c_str(), head.c_str(), 0), 0) << head;
}

TEST(UsageText, CompileDateHasTheShortMonthForm) {
    EXPECT_EQ(fnmatch(kDateShape, __DATE__, 0), 0) << __DATE__;
}
