// The target: which texts read as addresses and which go to the resolver, and the banner.
// Nothing here looks a name up: resolve_target only sees address texts with -d, or an
// address whose name the cache already holds.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "names/host_cache.h"
#include "names/target.h"
#include "settings/run_settings.h"
#include "support/packets.h"
#include "unit_helpers.h"

namespace {

using packet::address_of;

const uint32_t kTarget = address_of(198, 18, 9, 2);

TEST(TargetAddress, DottedFormsAsTheSocketLayerReadsThem) {
    EXPECT_EQ(target_address_from_text("198.18.9.2"), address_of(198, 18, 9, 2));
    EXPECT_EQ(target_address_from_text("127.0.0.1"), address_of(127, 0, 0, 1));
    // Short forms: the last part fills the remaining bytes.
    EXPECT_EQ(target_address_from_text("100"), address_of(0, 0, 0, 100));
    EXPECT_EQ(target_address_from_text("1.300"), address_of(1, 0, 1, 44));
    EXPECT_EQ(target_address_from_text("10.1.258"), address_of(10, 1, 1, 2));
    // Octal and hexadecimal parts.
    EXPECT_EQ(target_address_from_text("0x7f.1"), address_of(127, 0, 0, 1));
    EXPECT_EQ(target_address_from_text("010.0.0.1"), address_of(8, 0, 0, 1));
    EXPECT_EQ(target_address_from_text("3232235777"), address_of(192, 168, 1, 1));
}

TEST(TargetAddress, LimitedBroadcastOnlyForItsExactText) {
    EXPECT_EQ(target_address_from_text("255.255.255.255"), 0xffffffffu);
    // Other texts that read as all ones are not addresses: they go to the resolver.
    EXPECT_EQ(target_address_from_text("4294967295"), 0u);
    EXPECT_EQ(target_address_from_text("0xffffffff"), 0u);
    EXPECT_EQ(target_address_from_text("255.255.255.0xff"), 0u);
}

TEST(TargetAddress, ZeroAndNamesGoToTheResolver) {
    for (const char* text : {"0.0.0.0", "0", "0x0", "target.lab", "r1", "", "256.1.1.1", "1.2.3.4.",
                             "1..2", "08", "-1", "4294967296", "-d"})
        EXPECT_EQ(target_address_from_text(text), 0u) << '"' << text << '"';
}

// resolve_target for a text that must not reach the resolver.
TargetResolution resolve_address_text(const char* text, const RunSettings& settings) {
    EXPECT_NE(target_address_from_text(text), 0u) << text << " would go to the resolver";
    if (target_address_from_text(text) == 0)
        return {};
    return resolve_target(text, settings);
}

TEST(ResolveTarget, AddressTextWithoutNameLookups) {
    const RunSettings settings{.no_resolve = true};
    for (const char* text : {"127.0.0.1", "100", "255.255.255.255", "198.18.9.2"}) {
        TargetResolution target = resolve_address_text(text, settings);
        EXPECT_TRUE(target.ok) << text;
        EXPECT_EQ(target.address, target_address_from_text(text)) << text;
        EXPECT_EQ(target.display_name, std::nullopt) << text;
    }
}

TEST(ResolveTarget, DisplayNameComesFromTheCache) {
    clear_host_cache();
    remember_host_name(kTarget, std::string("target.lab"));
    remember_host_name(address_of(198, 18, 9, 3), std::nullopt);
    RunSettings settings{.use_cache = true};
    ASSERT_TRUE(cached_host_name(kTarget).has_value());
    TargetResolution named = resolve_address_text("198.18.9.2", settings);
    EXPECT_TRUE(named.ok);
    EXPECT_EQ(named.display_name, std::optional<std::string>("target.lab"));

    ASSERT_TRUE(cached_host_name(address_of(198, 18, 9, 3)).has_value());
    TargetResolution unnamed = resolve_address_text("198.18.9.3", settings);
    EXPECT_TRUE(unnamed.ok);
    EXPECT_EQ(unnamed.display_name, std::nullopt);

    // -d: no display name even though the cache knows one.
    settings.no_resolve = true;
    EXPECT_EQ(resolve_address_text("198.18.9.2", settings).display_name, std::nullopt);
    clear_host_cache();
}

std::string banner(uint32_t address, const std::optional<std::string>& name,
                   const RunSettings& settings) {
    return captured([&] { print_banner(address, name, settings); });
}

TEST(Banner, TraceMode) {
    RunSettings settings;
    EXPECT_EQ(banner(kTarget, std::string("target.lab"), settings),
              "\nTracing route to target.lab [198.18.9.2] with TTL of 32:\n\n");
    EXPECT_EQ(banner(kTarget, std::nullopt, settings),
              "\nTracing route to 198.18.9.2 with TTL of 32:\n\n");
    EXPECT_EQ(banner(kTarget, std::string("a\x1b]0;x\x07"), settings),
              "\nTracing route to a?]0;x? [198.18.9.2] with TTL of 32:\n\n");
    // The number is the hop limit, not the data size.
    settings.max_hops = 5;
    settings.data_size = 100;
    EXPECT_EQ(banner(kTarget, std::nullopt, settings),
              "\nTracing route to 198.18.9.2 with TTL of 5:\n\n");
    // An empty name is still a name.
    EXPECT_EQ(banner(kTarget, std::string(), settings),
              "\nTracing route to  [198.18.9.2] with TTL of 5:\n\n");
}

TEST(Banner, PingOnlyMode) {
    RunSettings settings{.ping_only = true};
    EXPECT_EQ(banner(kTarget, std::string("target.lab"), settings),
              "\nPinging target.lab [198.18.9.2] with data size of 32:\n\n");
    settings.data_size = 100;
    settings.max_hops = 7;
    EXPECT_EQ(banner(kTarget, std::string("target.lab"), settings),
              "\nPinging target.lab [198.18.9.2] with data size of 100:\n\n");
    EXPECT_EQ(banner(kTarget, std::nullopt, settings),
              "\nPinging 198.18.9.2 with data size of 100:\n\n");
    EXPECT_EQ(banner(address_of(0, 0, 0, 100), std::nullopt, settings),
              "\nPinging 0.0.0.100 with data size of 100:\n\n");
    EXPECT_EQ(banner(0xffffffffu, std::nullopt, settings),
              "\nPinging 255.255.255.255 with data size of 100:\n\n");
}

TEST(Banner, NameIsShownTerminalSafe) {
    RunSettings settings;
    std::string hostile = "evil\x1b]0;title\x07\r\nname\x7f\xc3\xa9.lab";
    EXPECT_EQ(banner(kTarget, hostile, settings),
              "\nTracing route to evil?]0;title???name???.lab [198.18.9.2] with TTL of 32:\n\n");
    // The longest name a cache record holds is shown whole.
    std::string longest(255, 'n');
    EXPECT_EQ(banner(kTarget, longest, settings),
              "\nTracing route to " + longest + " [198.18.9.2] with TTL of 32:\n\n");
}

TEST(ResolveFailure, MessageNamesTheTextAndTheErrorNumber) {
    EXPECT_EQ(captured([] { print_resolve_failure("nosuch.lab", 11001); }),
              "Couldn't resolve nosuch.lab. Winsock error code 11001\n");
}

}  // namespace
