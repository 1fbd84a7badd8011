// The UDP probe and its sockets for real, against 127.0.0.1 only: the answer from the
// closed port, the counter, TTL 0, and a wait that other arrivals do not stretch.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "probe/probe_loop.h"
#include "probe/udp_packet.h"
#include "probe/udp_probe.h"
#include "settings/run_settings.h"

namespace {

using Clock = std::chrono::steady_clock;

const uint32_t kLoopback = inet_addr("127.0.0.1");

// A datagram the program would send with this TTL, and the exchange around it.
struct LoopbackExchange {
    std::vector<uint8_t> datagram = std::vector<uint8_t>(kUdpDatagramSize);
    UdpExchange exchange;

    LoopbackExchange(uint8_t ttl, int32_t timeout_ms) {
        const uint8_t payload[] = {5, 33, 34, 35};
        datagram.resize(build_udp_datagram(datagram, ttl, payload));
        exchange.target = kLoopback;
        exchange.ttl = ttl;
        exchange.source_port = kUdpSourcePort;
        exchange.destination_port = udp_destination_port(ttl);
        exchange.datagram = datagram.data();
        exchange.datagram_length = datagram.size();
        exchange.timeout_ms = timeout_ms;
    }
};

}  // namespace

TEST(UdpProbe, LoopbackAnswersFromThePortAndTheCounterRises) {
    const RunSettings settings{.data_size = 16, .timeout_ms = 3000};
    fill_payload(request_payload().data(), settings.data_size);
    ProbeReply first = udp_probe(kLoopback, 64, settings);
    uint8_t first_counter = request_payload()[0];
    ASSERT_TRUE(first.answered);
    EXPECT_EQ(first.responder, kLoopback);
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(first.reply_ttl, 64);
    EXPECT_GE(first.rtt_ms, 0);
    ProbeReply second = udp_probe(kLoopback, 64, settings);
    EXPECT_TRUE(second.answered);
    EXPECT_EQ(request_payload()[0], static_cast<uint8_t>(first_counter + 1));
    EXPECT_EQ(request_payload()[1], 33);  // only byte 0 is rewritten
}

TEST(UdpProbe, TtlZeroIsUnansweredWithoutWaiting) {
    const RunSettings settings{.timeout_ms = 20000};
    auto start = Clock::now();
    ProbeReply reply = udp_probe(kLoopback, 0, settings);
    EXPECT_FALSE(reply.answered);
    // Far below the 20-second wait: the probe did not wait for an answer at all.
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
}

TEST(UdpProbe, TransportNeverSendsWithAnotherTtlThanAsked) {
    // TTL 0 cannot be set; had the datagram left with the default TTL instead, the
    // port-unreachable answer would arrive and be accepted here.
    LoopbackExchange zero(0, 1000);
    zero.exchange.accept = [](const UdpArrival&, void*) { return true; };
    EXPECT_FALSE(platform_udp_exchange(zero.exchange).answered);
    LoopbackExchange three(3, 1000);
    three.exchange.accept = zero.exchange.accept;
    EXPECT_TRUE(platform_udp_exchange(three.exchange).answered);
}

TEST(UdpProbe, ArrivalsThatAreNotAnswersDoNotStretchTheWait) {
    if (geteuid() != 0)
        GTEST_SKIP() << "only a raw ICMP socket hears the other datagrams' reports";
    // For 3 seconds another socket sends to a closed port of 127.0.0.1 every 20 ms;
    // each of its port-unreachable reports reaches the probe's ICMP socket.
    std::atomic<bool> stop{false};
    std::thread feeder([&stop] {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = kLoopback;
        to.sin_port = htons(33999);
        auto until = Clock::now() + std::chrono::seconds(3);
        while (!stop && Clock::now() < until) {
            sendto(fd, "x", 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        close(fd);
    });
    LoopbackExchange probe(64, 300);
    int arrivals = 0;
    probe.exchange.accept = [](const UdpArrival&, void* count) {
        ++*static_cast<int*>(count);
        return false;
    };
    probe.exchange.context = &arrivals;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto start = Clock::now();
    UdpOutcome outcome = platform_udp_exchange(probe.exchange);
    auto waited = Clock::now() - start;
    stop = true;
    feeder.join();
    EXPECT_FALSE(outcome.answered);
    EXPECT_GT(arrivals, 3);  // the probe's own report and the feeder's
    // 300 ms in all; restarting the wait at each arrival would last until the feeder stops.
    EXPECT_LT(waited, std::chrono::milliseconds(2000));
}
