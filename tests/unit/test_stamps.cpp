// The kernel's time stamps: the round trip they give, with the guard against a step of
// the realtime clock, and the reading of the control messages that carry them.
#include <gtest/gtest.h>

#include <netinet/in.h>

#include <cstring>

#include "platform/posix/stamps.h"

namespace {

constexpr int64_t kMs = 1000000;

// Sent at realtime 1000 s, monotonic 50 s; woken 9.9 ms later on the monotonic clock.
constexpr SendClock kSent{50000 * kMs, 1000000 * kMs};
constexpr int64_t kWoke = kSent.monotonic_ns + 9900000;

TEST(Stamps, RoundTripFromStampsOrTheMonotonicClock) {
    const int64_t departed = kSent.realtime_ns + 200000;  // the kernel stamps 0.2 ms later
    // From stamp to stamp, cut: 5.999 ms shows as 5.
    EXPECT_EQ(round_trip_ms(kSent, departed, departed + 5999999, kWoke), 5);
    // No transmit stamp: from the clock read before the send.
    EXPECT_EQ(round_trip_ms(kSent, 0, kSent.realtime_ns + 7000000, kWoke), 7);
    // A transmit stamp from before the send belongs to an earlier one.
    EXPECT_EQ(round_trip_ms(kSent, kSent.realtime_ns - 3 * kMs, kSent.realtime_ns + 2 * kMs, kWoke),
              2);
    // No receive stamp: the monotonic clock up to the wake-up.
    EXPECT_EQ(round_trip_ms(kSent, departed, 0, kWoke), 9);
    // The realtime clock stepped back or forward in between: the monotonic clock.
    EXPECT_EQ(round_trip_ms(kSent, departed, departed - kMs, kWoke), 9);
    EXPECT_EQ(round_trip_ms(kSent, departed, departed + 3600000 * kMs, kWoke), 9);
}

// A control buffer as recvmsg fills it, from the messages given.
struct Control {
    template <typename T>
    void add(int level, int type, const T& value) {
        cmsghdr* header = reinterpret_cast<cmsghdr*>(buffer + used);
        header->cmsg_len = CMSG_LEN(sizeof value);
        header->cmsg_level = level;
        header->cmsg_type = type;
        std::memcpy(CMSG_DATA(header), &value, sizeof value);
        used += CMSG_SPACE(sizeof value);
    }
    msghdr message() {
        msghdr message{};
        message.msg_control = buffer;
        message.msg_controllen = used;
        return message;
    }

    alignas(cmsghdr) uint8_t buffer[512] = {};
    size_t used = 0;
};

TEST(Stamps, ControlMessagesTellTransmitStampsFromIcmpErrors) {
    scm_timestamping stamps{};
    stamps.ts[0] = timespec{1000, 250};
    stamps.ts[2] = timespec{7, 7};  // the hardware's: not used

    sock_extended_err departure{};
    departure.ee_origin = SO_EE_ORIGIN_TIMESTAMPING;
    departure.ee_info = SCM_TSTAMP_SCHED;
    Control sent;
    sent.add(IPPROTO_IP, IP_RECVERR, departure);
    sent.add(SOL_SOCKET, SCM_TIMESTAMPING, stamps);
    ControlData got = read_control(sent.message());
    ASSERT_NE(got.report, nullptr);
    EXPECT_TRUE(is_transmit_stamp(*got.report));
    EXPECT_EQ(departure_stamp(*got.report, got.stamp_ns), 1000000000250);
    EXPECT_EQ(got.ttl, -1);

    // The driver's stamp comes after the packet left: not the departure.
    departure.ee_info = SCM_TSTAMP_SND;
    EXPECT_EQ(departure_stamp(departure, 5), 0);

    sock_extended_err error{};
    error.ee_origin = SO_EE_ORIGIN_ICMP;
    error.ee_type = 11;
    const int ttl = 61;
    timespec arrival{1000, 900};
    Control answer;
    answer.add(IPPROTO_IP, IP_TTL, ttl);
    answer.add(IPPROTO_IP, IP_RECVERR, error);
    answer.add(SOL_SOCKET, SCM_TIMESTAMPNS, arrival);
    got = read_control(answer.message());
    ASSERT_NE(got.report, nullptr);
    EXPECT_FALSE(is_transmit_stamp(*got.report));
    EXPECT_EQ(departure_stamp(*got.report, got.stamp_ns), 0);
    EXPECT_EQ(got.report->ee_type, 11);
    EXPECT_EQ(got.ttl, 61);
    EXPECT_EQ(got.stamp_ns, 1000000000900);
}

}  // namespace
