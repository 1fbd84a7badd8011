// The target: which texts read as addresses and which go to the resolver, and the banner.
// Nothing here looks a name up: resolve_target only sees address texts with -d, or an
// address whose name the cache already holds.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "names/host_cache.h"
#include "names/target.h"
#include "settings/run_settings.h"
#include "support/packets.h"
#include "unit_helpers.h"

namespace {

using packet::address_of;

const uint32_t kTarget = address_of(198, 18, 9, 2);

TEST(TargetAddress, DottedFormsAsTheSocketLayerReadsThem) {
    // Each line of tests/unit/data/uother_target_texts.txt: a target text, then a tab and the
    // address it reads as in dotted form, 0.0.0.0 for a text that goes to the resolver. Short forms
    // (the last part fills the remaining bytes), octal and hexadecimal parts; the limited
    // broadcast only for its exact text, other texts that read as all ones go to the
    // resolver, as do zero and names.
    const std::vector<std::vector<std::string>> rows = unit_data_rows("uother_target_texts.txt");
    EXPECT_EQ(rows.size(), 25u);
    for (const std::vector<std::string>& row : rows) {
        in_addr expected{};
        ASSERT_EQ(inet_pton(AF_INET, row.at(1).c_str(), &expected), 1) << row.at(1);
        EXPECT_EQ(target_address_from_text(row[0].c_str()), expected.s_addr)
            << '"' << row[0] << '"';
    }
}

// resolve_target for a text that must not reach the resolver: it resolves to the address
// the text reads as, with this display name.
void expect_resolved(const char* text, const RunSettings& settings,
                     const std::optional<std::string>& display_name) {
    ASSERT_NE(target_address_from_text(text), 0u) << text << " would go to the resolver";
    TargetResolution target = resolve_target(text, settings);
    EXPECT_TRUE(target.ok) << text;
    EXPECT_EQ(target.address, target_address_from_text(text)) << text;
    EXPECT_EQ(target.display_name, display_name) << text;
}

TEST(ResolveTarget, AddressTextWithoutNameLookups) {
    for (const char* text : {"127.0.0.1", "100", "255.255.255.255", "198.18.9.2"})
        expect_resolved(text, {.no_resolve = true}, std::nullopt);
}

TEST(ResolveTarget, DisplayNameComesFromTheCache) {
    clear_host_cache();
    remember_host_name(kTarget, std::string("target.lab"));
    remember_host_name(address_of(198, 18, 9, 3), std::nullopt);
    ASSERT_TRUE(cached_host_name(kTarget).has_value());
    expect_resolved("198.18.9.2", {.use_cache = true}, "target.lab");
    ASSERT_TRUE(cached_host_name(address_of(198, 18, 9, 3)).has_value());
    expect_resolved("198.18.9.3", {.use_cache = true}, std::nullopt);
    // -d: no display name even though the cache knows one.
    expect_resolved("198.18.9.2", {.no_resolve = true, .use_cache = true}, std::nullopt);
    clear_host_cache();
}

TEST(Banner, TraceAndPingOnlyLines) {
    // Each banner is one line, an empty one before and after; the lines of
    // tests/unit/data/uother_banners.txt are the banners of these in turn.
    const RunSettings ping{.ping_only = true, .max_hops = 7, .data_size = 100};
    const struct {
        uint32_t address;
        std::optional<std::string> name;
        RunSettings settings;
    } banners[] = {
        {kTarget, "target.lab", {}},
        {kTarget, std::nullopt, {}},
        {kTarget, "a\x1b]0;x\x07", {}},
        // The number is the hop limit, not the data size.
        {kTarget, std::nullopt, {.max_hops = 5, .data_size = 100}},
        // An empty name is still a name.
        {kTarget, "", {.max_hops = 5, .data_size = 100}},
        {kTarget, "target.lab", {.ping_only = true}},
        {kTarget, "target.lab", ping},
        {kTarget, std::nullopt, ping},
        {address_of(0, 0, 0, 100), std::nullopt, ping},
        {0xffffffffu, std::nullopt, ping},
        // The name is shown terminal safe.
        {kTarget, "evil\x1b]0;title\x07\r\nname\x7f\xc3\xa9.lab", {}},
        // The longest name a cache record holds is shown whole.
        {kTarget, std::string(255, 'n'), {}},
    };
    const std::vector<std::vector<std::string>> lines = unit_data_rows("uother_banners.txt");
    ASSERT_EQ(lines.size(), std::size(banners));
    for (size_t i = 0; i < lines.size(); ++i) {
        const auto& [address, name, settings] = banners[i];
        EXPECT_EQ(captured([&] { print_banner(address, name, settings); }),
                  "\n" + lines[i].at(0) + "\n\n");
    }
}

TEST(ResolveFailure, MessageNamesTheTextAndTheErrorNumber) {
    EXPECT_EQ(captured([] { print_resolve_failure("nosuch.lab", 11001); }),
              "Couldn't resolve nosuch.lab. Winsock error code 11001\n");
}

}  // namespace
