// The host-name cache on the file's bytes, without a file: what a load of given bytes
// makes of them and the image that a save writes. No test here reaches the resolver.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "names/host_cache.h"

namespace {

using Name = std::optional<std::string>;

uint32_t address_of(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t address;
    std::memcpy(&address, bytes, 4);
    return address;
}

std::string record(uint32_t address, const std::string& name) {
    std::string bytes(reinterpret_cast<const char*>(&address), 4);
    bytes.push_back(static_cast<char>(name.size()));
    return bytes + name;
}

std::vector<uint8_t> bytes_of(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::string image() {
    std::span<const uint8_t> bytes = host_cache_image();
    return std::string(bytes.begin(), bytes.end());
}

class HostCacheBytesTest : public ::testing::Test {
protected:
    void SetUp() override { clear_host_cache(); }
    void TearDown() override { clear_host_cache(); }
};

const uint32_t kHop1 = address_of(198, 18, 1, 1);
const uint32_t kHop2 = address_of(198, 18, 2, 1);

TEST_F(HostCacheBytesTest, ImageIsTheLoadedRecordsMadeWhole) {
    std::string zero_name = record(kHop2, std::string("r2\0junk", 7));
    std::string bytes = record(kHop1, "r1.lab") + zero_name + record(kHop1, "second");
    load_host_cache_bytes(bytes_of(bytes + std::string("\xc6\x12", 2)));
    EXPECT_EQ(image(), record(kHop1, "r1.lab") + record(kHop2, "r2") + record(kHop1, "second"));
    EXPECT_EQ(cached_host_name(kHop1), std::optional<Name>(Name("r1.lab")));
    EXPECT_EQ(cached_host_name(kHop2), std::optional<Name>(Name("r2")));
}

TEST_F(HostCacheBytesTest, SecondLoadAppendsAndTheFirstRecordStillAnswers) {
    load_host_cache_bytes(bytes_of(record(kHop1, "first")));
    remember_host_name(kHop2, std::nullopt);
    load_host_cache_bytes(bytes_of(record(kHop1, "later") + record(kHop2, "named")));
    EXPECT_EQ(image(), record(kHop1, "first") + record(kHop2, "") + record(kHop1, "later") +
                           record(kHop2, "named"));
    EXPECT_EQ(cached_host_name(kHop1), std::optional<Name>(Name("first")));
    EXPECT_EQ(cached_host_name(kHop2), std::optional<Name>(std::in_place, std::nullopt));
}

TEST_F(HostCacheBytesTest, NameStartingWithZeroIsEmptyNowAndNoNameOnceSaved) {
    load_host_cache_bytes(bytes_of(record(kHop1, std::string("\0x", 2))));
    EXPECT_EQ(cached_host_name(kHop1), std::optional<Name>(Name("")));
    std::string saved = image();
    EXPECT_EQ(saved, record(kHop1, ""));
    clear_host_cache();
    load_host_cache_bytes(bytes_of(saved));
    EXPECT_EQ(cached_host_name(kHop1), std::optional<Name>(std::in_place, std::nullopt));
}

}  // namespace
