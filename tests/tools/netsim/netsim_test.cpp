// Tests of the simulator's own logic: scenario reading, answer choice, packet building.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

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
    return packet::ipv4_datagram({htonl(kClient), htonl(kTarget), ttl, kProtocolIcmp, tos, 7},
                                 icmp);
}

Bytes udp_probe(uint8_t ttl, uint8_t first) {
    Bytes udp(8 + 32, 0);
    write_u16(udp, 0, 60001);
    write_u16(udp, 2, static_cast<uint16_t>(33434 + ttl));
    write_u16(udp, 4, static_cast<uint16_t>(udp.size()));
    udp[8] = first;
    return packet::ipv4_datagram({htonl(kClient), htonl(kTarget), ttl, kProtocolUdp, 0, 9}, udp);
}

Probe probe_of(const Bytes& datagram) { return *read_probe(datagram); }

// The text of a file of cases/.
std::string read_text(const std::string& name) {
    std::ifstream file(std::string(NETSIM_CASES) + "/" + name);
    EXPECT_TRUE(file) << name;
    return std::string(std::istreambuf_iterator<char>(file), {});
}

Scenario scenario_of(const char* text) {
    std::string error;
    std::optional<Scenario> scenario = parse_scenario(text, &error);
    EXPECT_TRUE(scenario) << error;
    return scenario.value_or(Scenario{});
}

// A packet as the tests compare it: "DELAYms FROM>TO ttl=T SIZE bytes", " options=N" for N
// bytes of IP options, " icmp=TYPE/CODE", then the identifier and sequence of an echo
// message, or, in brackets, the probe_text of the probe an ICMP error quotes when it
// quotes all of it; " bad-ip", " bad-icmp" or " bad-quote" when the checksum of the IP
// header, of the ICMP message, or of the quoted IP header or ICMP message fails.
std::string text_of(const Outgoing& out) {
    std::optional<Probe> sent = read_probe(out.packet);
    if (!sent)
        return "not an IPv4 datagram";
    std::span<const uint8_t> ip = std::span(sent->datagram).first(sent->header);
    std::span<const uint8_t> icmp = std::span(sent->datagram).subspan(sent->header);
    char head[96];
    std::snprintf(head, sizeof head, "%ums %s>%s ttl=%d %zu bytes", out.delay_ms,
                  address_text(sent->src).c_str(), address_text(sent->dst).c_str(), sent->ttl,
                  sent->datagram.size());
    std::string text = head;
    if (sent->header > kIpv4MinHeaderSize)
        text += " options=" + std::to_string(sent->header - kIpv4MinHeaderSize);
    text += " icmp=" + std::to_string(icmp[0]) + "/" + std::to_string(icmp[1]);
    std::optional<Probe> quoted = read_probe(icmp.subspan(std::min<size_t>(8, icmp.size())));
    bool bad_quote = false;
    if (icmp[0] == 0 || icmp[0] == 8) {
        text += " id=" + std::to_string(read_u16(icmp, 4)) +
                " seq=" + std::to_string(read_u16(icmp, 6));
    } else if (quoted && quoted->kind != Probe::Kind::other) {
        text += " [" + probe_text(*quoted) + "]";
        std::span<const uint8_t> quoted_icmp = std::span(quoted->datagram).subspan(quoted->header);
        bad_quote = internet_checksum(std::span(quoted->datagram).first(quoted->header)) != 0 ||
                    (quoted->kind == Probe::Kind::echo && internet_checksum(quoted_icmp) != 0);
    }
    text += internet_checksum(ip) == 0 ? "" : " bad-ip";
    text += internet_checksum(icmp) == 0 ? "" : " bad-icmp";
    return text + (bad_quote ? " bad-quote" : "");
}

// Runs the case NAME of cases/: the responder of NAME.sim gets the probes of NAME.out,
// one a line ("> echo ttl=T seq=S" or "> udp ttl=T first=F"), and what it sends back for
// each, one text_of a line after the probe's line, must be the rest of NAME.out. Returns
// the packets sent for the last probe.
std::vector<Outgoing> check_case(const std::string& name) {
    SCOPED_TRACE(name);
    Responder responder(scenario_of(read_text(name + ".sim").c_str()));
    std::string want = read_text(name + ".out");
    std::istringstream lines(want);
    std::string got;
    std::vector<Outgoing> out;
    int probes = 0;
    for (std::string line; std::getline(lines, line);) {
        char kind[8] = "";
        int ttl = 0;
        int number = 0;
        if (std::sscanf(line.c_str(), "> %7s ttl=%d %*[a-z]=%d", kind, &ttl, &number) != 3)
            continue;
        auto byte = [](int n) { return static_cast<uint8_t>(n); };
        Bytes datagram = std::string(kind) == "echo"
                             ? echo_request(byte(ttl), static_cast<uint16_t>(number))
                             : udp_probe(byte(ttl), byte(number));
        out = responder.on_probe(probe_of(datagram));
        ++probes;
        got += line + "\n";
        for (const Outgoing& packet : out)
            got += text_of(packet) + "\n";
    }
    EXPECT_GT(probes, 0);
    EXPECT_EQ(got, want);
    EXPECT_EQ(responder.probes_seen(), probes);
    return out;
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

// Each scenario of cases/mistakes.txt (its lines up to the next "=> " line) is refused
// with the mistake that line names.
TEST(Scenario, NamesTheLineOfAMistake) {
    std::istringstream lines(read_text("mistakes.txt"));
    std::string text;
    int mistakes = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("=> ", 0) != 0) {
            text += line + "\n";
            continue;
        }
        std::string error;
        EXPECT_FALSE(parse_scenario(text, &error)) << text;
        EXPECT_EQ(error, line.substr(3)) << text;
        text.clear();
        ++mistakes;
    }
    EXPECT_GT(mistakes, 0);
}

// The last answer of a hop stands for every later probe of the run.
TEST(Responder, AnswersPerHopAndPerProbeOfTheHop) { check_case("per_hop"); }

// The quote starts with the probe's IP header as the target saw it.
TEST(Responder, TargetBeyondTheLastHopAndUdpAnswers) { check_case("beyond_the_hops"); }

TEST(Responder, InjectsNoiseAtItsDelay) {
    std::vector<Outgoing> out = check_case("noise");
    // The duplicate differs from the answer only in its IP identification.
    ASSERT_EQ(out.size(), 9u);
    Bytes duplicate = out[4].packet;
    for (size_t at : {4, 5, 10, 11})
        duplicate[at] = out[0].packet[at];
    EXPECT_EQ(duplicate, out[0].packet);
}

// A stranger's probe is like the probe, with another ICMP identifier or UDP source port.
TEST(Responder, IpOptionsAndStrangersProbes) { check_case("strangers"); }

}  // namespace
}  // namespace netsim
