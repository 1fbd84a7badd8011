// Command-line parsing and the usage text.
#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <iterator>
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

// The settings of a command line that must parse.
RunSettings parsed_ok(const std::vector<const char*>& arguments) {
    Parsed parsed = parse(arguments);
    EXPECT_EQ(parsed.outcome.result, ParseResult::ok);
    return parsed.settings;
}

void expect_error(const std::vector<const char*>& arguments, const std::string& message) {
    Parsed parsed = parse(arguments);
    EXPECT_EQ(parsed.outcome.result, ParseResult::error);
    EXPECT_EQ(parsed.outcome.message, message);
}

// Each option with a value: its letter, the field it sets, that field's default, and a
// value to give it with what it reads as.
struct ValueOption {
    const char* letter;
    int32_t RunSettings::*field;
    int32_t default_value;
    const char* given;
    int32_t value;
};
const ValueOption kValueOptions[] = {
    {"-t", &RunSettings::max_hops, 32, "7", 7},
    {"-p", &RunSettings::hop_pause_ms, 0, "20", 20},
    {"-n", &RunSettings::probe_gap_ms, 10, "0", 0},
    {"-l", &RunSettings::data_size, 32, "100", 100},
    {"-w", &RunSettings::timeout_ms, 1500, "250", 250},
    {"-i", &RunSettings::probes_per_hop, 3, "5", 5},
    {"-v", &RunSettings::tos, 0, "184", 184},
};

}  // namespace

TEST(HelpWords, OnlyTheFourExactWords) {
    for (const char* word : {"/help", "/?", "-help", "-?"})
        EXPECT_TRUE(is_help_word(word)) << word;
    for (const char* word : {"-HELP", "/HELP", "-h", "--help", "/help ", "?", "", "-help2"})
        EXPECT_FALSE(is_help_word(word)) << word;
}

TEST(Defaults, MatchTheUsageText) {
    const RunSettings s = parsed_ok({"host"});
    EXPECT_FALSE(s.no_resolve || s.use_cache || s.use_udp || s.ping_only);
    for (const ValueOption& option : kValueOptions)
        EXPECT_EQ(s.*option.field, option.default_value) << option.letter;
}

TEST(Flags, EachSetsItsFieldAndOnlySecondCharacterCounts) {
    RunSettings parsed = parsed_ok({"-d", "-cache", "-u", "-o", "host"});
    EXPECT_TRUE(parsed.no_resolve);
    EXPECT_TRUE(parsed.use_cache);
    EXPECT_TRUE(parsed.use_udp);
    EXPECT_TRUE(parsed.ping_only);

    RunSettings combined = parsed_ok({"-dcu", "host"});
    EXPECT_TRUE(combined.no_resolve);
    EXPECT_FALSE(combined.use_cache);
    EXPECT_FALSE(combined.use_udp);
}

TEST(ValueOptions, EachLetterSetsItsField) {
    std::vector<const char*> arguments;
    for (const ValueOption& option : kValueOptions)
        arguments.insert(arguments.end(), {option.letter, option.given});
    arguments.push_back("host");
    RunSettings parsed = parsed_ok(arguments);
    for (const ValueOption& option : kValueOptions)
        EXPECT_EQ(parsed.*option.field, option.value) << option.letter;
}

TEST(CommandLines, GiveTheValuesMessageOrUsageOfTheirRow) {
    // Each line of tests/unit/data/uother_command_lines.txt: the arguments, then what
    // parsing them gives, all separated by tabs: "ok" and the values options then have
    // ("-w 15"), the error message, or "usage". The last occurrence wins and text after the
    // digits is ignored; the last argument is both a value and the target; numbers too
    // large saturate. A value must start with a digit; only the letter counts, so -t5 takes
    // "host" as its value. The data length is read like atoi within its limits, for UDP
    // the datagram's limit applies after parsing. Unknown letters name the whole argument;
    // a second non-option, "-" and "" show the usage.
    const std::vector<std::vector<std::string>> rows = unit_data_rows("uother_command_lines.txt");
    EXPECT_EQ(rows.size(), 28u);
    for (std::vector<std::string> fields : rows) {
        SCOPED_TRACE(testing::PrintToString(fields));
        const std::string outcome = fields.back();
        fields.pop_back();
        std::vector<const char*> arguments;
        for (const std::string& field : fields)
            arguments.push_back(field.c_str());
        if (outcome == "usage") {
            EXPECT_EQ(parse(arguments).outcome.result, ParseResult::show_usage);
        } else if (outcome.rfind("ok", 0) == 0) {
            const RunSettings settings = parsed_ok(arguments);
            std::istringstream values(outcome.substr(2));
            std::string letter;
            for (int32_t value = 0; values >> letter >> value;) {
                auto option =
                    std::find_if(std::begin(kValueOptions), std::end(kValueOptions),
                                 [&](const ValueOption& o) { return letter == o.letter; });
                ASSERT_NE(option, std::end(kValueOptions)) << letter;
                EXPECT_EQ(settings.*option->field, value) << letter;
            }
        } else {
            expect_error(arguments, outcome + "\n");
        }
    }
}

TEST(NonOptions, TheTargetIsNeverReadAsAnOption) { EXPECT_FALSE(parsed_ok({"-d"}).no_resolve); }

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
    EXPECT_EQ(head.rfind("tarnhop v1.4a compiled " __DATE__ "  ", 0), 0u) << head;
}

TEST(UsageText, CompileDateHasTheShortMonthForm) {
    const std::string date = __DATE__;
    ASSERT_EQ(date.size(), 11u);
    EXPECT_TRUE(std::isupper(static_cast<unsigned char>(date[0])));
    EXPECT_EQ(date[3], ' ');
    EXPECT_TRUE(date[4] == ' ' || std::isdigit(static_cast<unsigned char>(date[4])));
    EXPECT_EQ(date[6], ' ');
}
