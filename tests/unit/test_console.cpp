// Console output: the formatter's cap, the status texts and the system-text path.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "cli/console.h"
#include "platform/platform.h"
#include "unit_helpers.h"

TEST(ConsolePrintf, FormatsTheConversionsTheProgramUses) {
    EXPECT_EQ(captured([] { console_printf("%s|%d|%2d|%2d|%-7.7s|", "ab", -5, 7, 123, "12ms "); }),
              "ab|-5| 7|123|12ms   |");
    // A cell of ten thousand milliseconds or more is cut to seven characters.
    EXPECT_EQ(captured([] { console_printf("%-7.7s|", "10000ms "); }), "10000ms|");
}

TEST(ConsolePrintf, OneCallPrintsAtMost1023Characters) {
    const std::string longest(1023, 'x');
    EXPECT_EQ(captured([&] { console_printf("%s", longest.c_str()); }), longest);

    const std::string argument(2000, 'y');
    // 1023 characters in all: the line end was cut off with the rest.
    EXPECT_EQ(captured([&] { console_printf("Unrecognized option: %s\n", argument.c_str()); }),
              "Unrecognized option: " + std::string(1023 - 21, 'y'));
}

TEST(ConsolePrintf, FormatterCapIsExact) {
    char out[kFormatCap];
    std::string text(1500, 'z');
    auto format = [&](const char* fmt, ...) {
        va_list args;
        va_start(args, fmt);
        size_t length = platform_format(out, fmt, args);
        va_end(args);
        return length;
    };
    EXPECT_EQ(format("%s", text.c_str()), 1023u);
    EXPECT_EQ(std::strlen(out), 1023u);
    EXPECT_EQ(format("%s", "short"), 5u);
    EXPECT_STREQ(out, "short");
}

TEST(StatusTable, EveryCodeHasItsText) {
    // Each line of tests/unit/data/uother_status_lines.txt: a status, a tab, the line
    // print_ip_status prints for it. 11001 to 11022 have texts of their own; the others
    // (11000 and 11023 too) have none and take the system text path: errno values have
    // system texts, the others get ours.
    const std::vector<std::vector<std::string>> rows = unit_data_rows("uother_status_lines.txt");
    EXPECT_EQ(rows.size(), 26u);
    for (const std::vector<std::string>& row : rows) {
        const int32_t code = std::stoi(row.at(0));
        const bool own = code >= 11001 && code <= 11022;
        EXPECT_STREQ(ip_status_text(code), own ? row.at(1).c_str() : nullptr) << code;
        EXPECT_EQ(captured([&] { print_ip_status(code); }), row.at(1) + "\n") << code;
    }
    EXPECT_EQ(ip_status_text(0), nullptr);
    EXPECT_EQ(captured([] { print_ip_status(0); }), "(0) " + platform_system_message(0) + "\n");
}

TEST(SystemMessage, IsPrintedAsPlainTextWithoutLineEnd) {
    EXPECT_EQ(captured([] { print_system_message(EPERM); }), "Operation not permitted");
    EXPECT_FALSE(platform_system_message(0).empty());
    EXPECT_FALSE(platform_system_message(123456).empty());
}

TEST(TerminalSafe, ReplacesEveryByteOutsidePrintableAscii) {
    EXPECT_EQ(terminal_safe("router-1.lab"), "router-1.lab");
    EXPECT_EQ(terminal_safe("a\x1b[31mb"), "a?[31mb");
    EXPECT_EQ(terminal_safe(std::string("x\0y\x7f\x80\xff ~", 8)), "x?y??? ~");
    EXPECT_EQ(terminal_safe("\r\n\t"), "???");
}
