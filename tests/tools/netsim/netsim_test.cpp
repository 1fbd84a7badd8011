// Tests of the simulator's own logic: scenario reading, answer choice, packet building.
#include <gtest/gtest.h>

#include <cstdio>

#include "netsim.h"
#include "wire/bytes.h"
#include "wire/checksum.h"

namespace netsim {
namespace {

constexpr uint32_t kClient = 0xc6130001;  // 198.19.0.1
constexpr uint32_t kTarget = 0xc6130909;  // 198.19.9.9

uint32_t addr(const char* text) { return *parse_address(text); }

Bytes echo_request(uint8_t ttl, uint16_t seq, size_t payload = 32, uint8_t tos = 0) {
    Bytes icmp = icmp_message(8, 0, 0x1234u << 16 | seq, Bytes(payload, 0x20));
    return make_ipv4(kClient, kTarget, ttl, tos, 7, icmp);
}

Bytes udp_probe(uint8_t ttl, uint8_t first) {
    Bytes udp(8 + 32, 0);
    write_u16(udp, 0, 60001);
    write_u16(udp, 2, static_cast<uint16_t>(33434 + ttl));
    write_u16(udp, 4, static_cast<uint16_t>(udp.size()));
    udp[8] = first;
    return make_ipv4(kClient, kTarget, ttl, 0, 9, udp, kProtocolUdp);
}

Probe probe_of(const Bytes& datagram) { return *read_probe(datagram); }

Scenario scenario_of(const char* text) {
    std::string error;
    std::optional<Scenario> scenario = parse_scenario(text, &error);
    EXPECT_TRUE(scenario) << error;
    return scenario.value_or(Scenario{});
}

// What the responder sends for one datagram.
std::vector<Outgoing> answers_to(Responder& responder, const Bytes& datagram) {
    return responder.on_probe(probe_of(datagram));
}

// Each packet as the tests compare it: "DELAYms FROM>TO ttl=T SIZE bytes icmp=TYPE/CODE",
// then the identifier and sequence of an echo message, and " bad-ip" or " bad-icmp" when
// the checksum of the IP header or of the ICMP message fails.
std::vector<std::string> texts_of(const std::vector<Outgoing>& packets) {
    std::vector<std::string> texts;
    for (const Outgoing& out : packets) {
        const Bytes& d = out.packet;
        size_t header = (d[0] & 0x0fu) * 4;
        std::span<const uint8_t> icmp = std::span(d).subspan(header);
        char text[160];
        int n =
            std::snprintf(text, sizeof text, "%ums %s>%s ttl=%d %zu bytes icmp=%d/%d", out.delay_ms,
                          address_text(probe_of(d).src).c_str(),
                          address_text(probe_of(d).dst).c_str(), d[8], d.size(), icmp[0], icmp[1]);
        if (icmp[0] == 0 || icmp[0] == 8)
            std::snprintf(text + n, sizeof text - n, " id=%d seq=%d", read_u16(icmp, 4),
                          read_u16(icmp, 6));
        std::string sums = internet_checksum(std::span(d).first(header)) == 0 ? "" : " bad-ip";
        texts.push_back(text + sums + (internet_checksum(icmp) == 0 ? "" : " bad-icmp"));
    }
    return texts;
}

TEST(Packets, ChecksumsOfBuiltPacketsVerify) {
    Bytes packet = echo_request(5, 1, 33);
    EXPECT_EQ(internet_checksum(std::span(packet).first(20)), 0);
    EXPECT_EQ(internet_checksum(std::span(packet).subspan(20)), 0);
}

TEST(Packets, ReadsEchoAndUdpProbes) {
    EXPECT_EQ(probe_text(probe_of(echo_request(3, 9, 32, 184))),
              "icmp src=198.19.0.1 dst=198.19.9.9 ttl=3 tos=184 id=4660 seq=9 len=32 first=32");
    EXPECT_EQ(probe_of(echo_request(3, 9)).kind, Probe::Kind::echo);
    Probe udp = probe_of(udp_probe(2, 7));
    EXPECT_EQ(udp.kind, Probe::Kind::udp);
    EXPECT_EQ(probe_text(udp),
              "udp src=198.19.0.1 dst=198.19.9.9 ttl=2 tos=0 sport=60001 "
              "dport=33436 ulen=40 csum=0 len=32 first=7");
    EXPECT_FALSE(read_probe(Bytes(19, 0x45)));
}

TEST(Packets, QuoteLowersTheTtlAndKeepsTheHeaderValid) {
    Probe probe = probe_of(echo_request(10, 1, 1000));
    Bytes quote = quote_probe(probe, 9, kDefaultQuote);
    ASSERT_EQ(quote.size(), kDefaultQuote);
    EXPECT_EQ(quote[8], 1);
    EXPECT_EQ(internet_checksum(std::span(quote).first(20)), 0);
    EXPECT_EQ(quote_probe(probe, 0, 28).size(), 28u);
}

TEST(Packets, AddressText) {
    EXPECT_EQ(address_text(0xc6130102), "198.19.1.2");
    EXPECT_EQ(parse_address("198.19.1.2"), 0xc6130102u);
    EXPECT_FALSE(parse_address("198.19.1"));
    EXPECT_FALSE(parse_address("198.19.1.256"));
    EXPECT_FALSE(parse_address("198.19.1.2x"));
}

TEST(Scenario, ReadsHopsTargetsAndInjections) {
    Scenario s = scenario_of(
        "# a comment\n"
        "target 198.19.9.9 echo-reply delay 5 ttl 60\n"
        "hop 1 198.19.1.1 delay 5\n"
        "hop 2 silent\n"
        "hop 3 198.19.3.1 delay 300; 198.19.3.2 host-unreachable delay 10\n"
        "hop 4-9 198.19.4.1 reassembly-exceeded quote 28\n"
        "inject probe 1 echo-request from 198.19.7.7 after 2\n"
        "inject every redirect after 1\n");
    ASSERT_EQ(s.targets.size(), 1u);
    EXPECT_EQ(s.targets[0].at, 10);
    EXPECT_EQ(s.targets[0].answers[0].kind, Answer::Kind::echo_reply);
    EXPECT_EQ(s.targets[0].answers[0].ttl, 60);
    ASSERT_EQ(s.hops.size(), 4u);
    EXPECT_TRUE(s.hops[1].answers[0].silent);
    ASSERT_EQ(s.hops[2].answers.size(), 2u);
    EXPECT_EQ(s.hops[2].answers[1].type, 3);
    EXPECT_EQ(s.hops[2].answers[1].code, 1);
    EXPECT_EQ(s.hops[2].answers[1].delay_ms, 10u);
    EXPECT_EQ(s.hops[3].first, 4);
    EXPECT_EQ(s.hops[3].last, 9);
    EXPECT_EQ(s.hops[3].answers[0].quote, 28u);
    ASSERT_EQ(s.injections.size(), 2u);
    EXPECT_EQ(s.injections[0].what, Injection::What::echo_request);
    EXPECT_EQ(s.injections[0].answer.from, addr("198.19.7.7"));
    EXPECT_EQ(s.injections[1].what, Injection::What::answer);
    EXPECT_EQ(s.injections[1].answer.rest, addr("198.19.0.254"));  // the default gateway
}

TEST(Scenario, NamesTheLineOfAMistake) {
    const std::pair<const char*, const char*> kMistakes[] = {
        {"hop 1 198.19.1.1\nhop 2 delay 5\n", "line 2: a hop answer needs the router's address"},
        {"target 198.19.9\n", "line 1: target needs an address"},
        {"hop 0 silent\n", "line 1: bad hop number '0'"},
        {"hop 1 198.19.1.1 delay\n", "line 1: 'delay' needs a value"},
        {"hop 1 198.19.1.1 dleay 4\n", "line 1: unknown word 'dleay'"},
        {"inject probe 1 shout\n", "line 1: unknown word 'shout'"},
        {"route 1\n", "line 1: unknown line 'route'"},
        {"target 198.19.9.9 options 6\n", "line 1: bad value '6' for options"},
        {"inject every stranger echo-reply\n", "line 1: a stranger's probe gets an ICMP error"},
        {"hop 1 198.19.1.1 ;\n", "line 1: empty answer"},
        {"hop 1 silent 5\n", "line 1: nothing may follow 'silent'"},
        {"inject every earlier 198.19.1.1\n",
         "line 1: write the sender of an injected packet as 'from ADDR'"},
        {"inject every tiny silent\n", "line 1: an injection cannot be silent"},
    };
    for (const auto& [text, want] : kMistakes) {
        std::string error;
        EXPECT_FALSE(parse_scenario(text, &error)) << text;
        EXPECT_EQ(error, want) << text;
    }
}

TEST(Responder, AnswersPerHopAndPerProbeOfTheHop) {
    Responder responder(
        scenario_of("target 198.19.9.9 delay 5 ttl 61\n"
                    "hop 1 198.19.1.1 delay 50\n"
                    "hop 2 198.19.2.1 delay 300 ; silent ; 198.19.2.2 delay 10\n"));
    // The last answer of a hop stands for every later probe of the run.
    const std::pair<Bytes, std::vector<std::string>> kRun[] = {
        {echo_request(1, 1), {"50ms 198.19.1.1>198.19.0.1 ttl=64 88 bytes icmp=11/0"}},
        {echo_request(2, 2), {"300ms 198.19.2.1>198.19.0.1 ttl=63 88 bytes icmp=11/0"}},
        {echo_request(2, 3), {}},
        {echo_request(2, 4), {"10ms 198.19.2.2>198.19.0.1 ttl=63 88 bytes icmp=11/0"}},
        {echo_request(2, 5), {"10ms 198.19.2.2>198.19.0.1 ttl=63 88 bytes icmp=11/0"}},
        {echo_request(3, 6), {"5ms 198.19.9.9>198.19.0.1 ttl=61 60 bytes icmp=0/0 id=4660 seq=6"}},
    };
    for (const auto& [probe, want] : kRun)
        EXPECT_EQ(texts_of(answers_to(responder, probe)), want);
    EXPECT_EQ(responder.probes_seen(), 6);
}

TEST(Responder, TargetBeyondTheLastHopAndUdpAnswers) {
    Responder responder(scenario_of("target 198.19.9.9 at 130\nhop 1-129 198.19.1.1\n"));
    EXPECT_EQ(texts_of(answers_to(responder, udp_probe(129, 0))),
              std::vector<std::string>{"0ms 198.19.1.1>198.19.0.1 ttl=1 88 bytes icmp=11/0"});
    std::vector<Outgoing> reached = answers_to(responder, udp_probe(130, 1));
    ASSERT_EQ(texts_of(reached),
              std::vector<std::string>{"0ms 198.19.9.9>198.19.0.1 ttl=1 88 bytes icmp=3/3"});
    // The quote starts with the probe's IP header as the target saw it.
    EXPECT_EQ(reached[0].packet[28 + 8], 1);
}

TEST(Responder, InjectsNoiseAtItsDelay) {
    Responder responder(
        scenario_of("target 198.19.9.9 delay 20\n"
                    "inject probe 2 echo-request after 3\n"
                    "inject probe 2 other-reply after 4\n"
                    "inject probe 2 earlier from 198.19.5.5 after 5\n"
                    "inject probe 2 duplicate after 25\n"
                    "inject probe 2 truncated after 6\n"
                    "inject probe 2 bad-checksum after 7\n"
                    "inject probe 2 tiny after 8\n"
                    "inject probe 2 redirect from 198.19.0.254 after 9\n"));
    EXPECT_EQ(answers_to(responder, echo_request(64, 1)).size(), 1u);
    std::vector<Outgoing> out = answers_to(responder, echo_request(64, 2));
    // The other reply carries another identifier, the late one the earlier sequence.
    ASSERT_EQ(texts_of(out),
              (std::vector<std::string>{
                  "20ms 198.19.9.9>198.19.0.1 ttl=64 60 bytes icmp=0/0 id=4660 seq=2",
                  "3ms 198.19.7.7>198.19.0.1 ttl=64 60 bytes icmp=8/0 id=20051 seq=1",
                  "4ms 198.19.9.9>198.19.0.1 ttl=64 60 bytes icmp=0/0 id=18542 seq=2",
                  "5ms 198.19.5.5>198.19.0.1 ttl=1 60 bytes icmp=0/0 id=4660 seq=1",
                  "25ms 198.19.9.9>198.19.0.1 ttl=64 60 bytes icmp=0/0 id=4660 seq=2",
                  "6ms 198.19.7.7>198.19.0.1 ttl=64 40 bytes icmp=11/0",
                  "7ms 198.19.7.7>198.19.0.1 ttl=64 88 bytes icmp=11/0 bad-icmp",
                  "8ms 198.19.7.7>198.19.0.1 ttl=64 24 bytes icmp=11/0",
                  "9ms 198.19.0.254>198.19.0.1 ttl=64 88 bytes icmp=5/1",
              }));
    // The duplicate differs from the answer only in its IP identification.
    Bytes duplicate = out[4].packet;
    for (size_t at : {4, 5, 10, 11})
        duplicate[at] = out[0].packet[at];
    EXPECT_EQ(duplicate, out[0].packet);
}

TEST(Responder, IpOptionsAndStrangersProbes) {
    Responder responder(
        scenario_of("target 198.19.9.9 options 8\n"
                    "inject every stranger after 1\n"
                    "inject every stranger port-unreachable from 198.19.5.5 options 40\n"));
    std::vector<Outgoing> out = answers_to(responder, echo_request(64, 3));
    // Eight option bytes: a 28-byte header, valid, with the echo reply after it; then a
    // time exceeded about the same request with another identifier, checksums valid.
    ASSERT_EQ(texts_of(out), (std::vector<std::string>{
                                 "0ms 198.19.9.9>198.19.0.1 ttl=64 68 bytes icmp=0/0 id=4660 seq=3",
                                 "1ms 198.19.7.7>198.19.0.1 ttl=64 88 bytes icmp=11/0",
                                 "0ms 198.19.5.5>198.19.0.1 ttl=64 128 bytes icmp=3/3",
                             }));
    EXPECT_EQ(out[0].packet[0], 0x47);
    EXPECT_EQ(out[1].packet[52] << 8 | out[1].packet[53], 0x1234 ^ 0x5a5a);
    EXPECT_EQ(out[1].packet[54] << 8 | out[1].packet[55], 3);
    EXPECT_EQ(internet_checksum(std::span(out[1].packet).subspan(48)), 0);
    EXPECT_EQ(out[2].packet[0], 0x4f);
    // A UDP probe's stranger comes from another source port.
    std::vector<Outgoing> udp = answers_to(responder, udp_probe(64, 4));
    ASSERT_EQ(udp.size(), 3u);
    EXPECT_EQ(udp[1].packet[48] << 8 | udp[1].packet[49], 60001 ^ 0x5a5a);
    EXPECT_EQ(udp[1].packet[50] << 8 | udp[1].packet[51], 33434 + 64);
}

}  // namespace
}  // namespace netsim
