// The probe loop's display and stop rules, driven by scripted replies.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <deque>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "probe/probe_loop.h"
#include "unit_helpers.h"

namespace {

uint32_t addr(const char* text) { return inet_addr(text); }

const uint32_t kTarget = addr("198.18.9.2");
const uint32_t kHop1 = addr("198.18.1.1");
const uint32_t kHop2 = addr("198.18.2.1");
const uint32_t kHop3 = addr("198.18.3.1");

ProbeReply answer(uint32_t from, int32_t status, int32_t rtt, uint8_t ttl = 64) {
    return ProbeReply{true, rtt, from, status, ttl};
}
ProbeReply expired(uint32_t from, int32_t rtt) { return answer(from, 11013, rtt, 255); }
ProbeReply reached(int32_t rtt, uint8_t ttl = 60) { return answer(kTarget, 0, rtt, ttl); }
ProbeReply silence() { return ProbeReply{}; }

// Plays replies in order (unanswered once the script runs out) and records the run.
struct ScriptedRun {
    explicit ScriptedRun(std::deque<ProbeReply> replies = {}) : script(std::move(replies)) {}

    std::deque<ProbeReply> script;
    std::map<uint32_t, std::string> names = {{kHop1, "hop1.lab"}, {kTarget, "target.lab"}};
    std::vector<int> ttls;
    std::vector<int32_t> sleeps;
    std::vector<uint32_t> looked_up;
    std::vector<std::vector<uint8_t>> payloads;

    std::string run(const RunSettings& settings, uint8_t start_ttl = 0) {
        ProbeLoopServices services;
        services.probe = [this](uint32_t target, uint8_t ttl, const RunSettings& s) {
            EXPECT_EQ(target, kTarget);
            ttls.push_back(ttl);
            const uint8_t* data = request_payload().data();
            payloads.emplace_back(data, data + s.data_size);
            if (script.empty())
                return silence();
            ProbeReply reply = script.front();
            script.pop_front();
            return reply;
        };
        services.lookup_name = [this](uint32_t address) -> std::optional<std::string> {
            looked_up.push_back(address);
            auto found = names.find(address);
            return found == names.end() ? std::nullopt : std::optional(found->second);
        };
        services.sleep = [this](int32_t ms) { sleeps.push_back(ms); };
        return captured([&] { run_probe_loop(kTarget, settings, start_ttl, services); });
    }
};

// The display a run must print, from tests/unit/data/probe_loop/name.out.
std::string expected(const std::string& name) { return unit_data("probe_loop/" + name + ".out"); }

RunSettings trace(int32_t probes = 3, int32_t max_hops = RunSettings{}.max_hops) {
    return {.max_hops = max_hops, .probe_gap_ms = 0, .probes_per_hop = probes};
}

RunSettings ping(int32_t probes = 3) {
    return {.ping_only = true, .probe_gap_ms = 0, .probes_per_hop = probes};
}

// Runs the loop on the replies, the names given replacing those of the run, and checks what
// it prints, the TTLs it probes with and the addresses it looks up.
void expect_run(std::deque<ProbeReply> replies, const RunSettings& settings, uint8_t start_ttl,
                const std::string& shown, const std::vector<int>& ttls,
                const std::vector<uint32_t>& looked_up = {},
                const std::map<uint32_t, std::string>& names = {}) {
    ScriptedRun run(std::move(replies));
    for (const auto& [address, name] : names)
        run.names[address] = name;
    EXPECT_EQ(run.run(settings, start_ttl), shown);
    EXPECT_EQ(run.ttls, ttls);
    EXPECT_EQ(run.looked_up, looked_up);
}

}  // namespace

// ---- Trace display ------------------------------------------------------------------

TEST(TraceDisplay, HopLinesNamesAndCompletion) {
    expect_run({expired(kHop1, 1), expired(kHop1, 2), expired(kHop1, 3), expired(kHop2, 12),
                silence(), expired(kHop2, 150), reached(5), reached(6), reached(7)},
               trace(), 0, expected("trace_hop_lines"), {1, 1, 1, 2, 2, 2, 3, 3, 3},
               {kHop1, kHop2, kTarget});
}

TEST(TraceDisplay, UnansweredPassPrintsStarsAndTimedOut) {
    expect_run({}, trace(3, 2), 0, expected("trace_unanswered"), {1, 1, 1, 2, 2, 2});
}

TEST(TraceDisplay, CellsAreSevenColumnsAndLongTimesAreCut) {
    expect_run({reached(0), reached(9999), reached(10000), reached(123456)}, trace(4), 0,
               expected("trace_cells"), {1, 1, 1, 1}, {kTarget});
}

TEST(TraceDisplay, LastAnsweringRouterNamesTheHop) {
    expect_run({expired(kHop1, 4), expired(kHop3, 5), silence()}, trace(3, 1), 0,
               " 1  4ms    5ms     *     198.18.3.1\n", {1, 1, 1}, {kHop3});
}

TEST(TraceDisplay, NamesAreMadeSafeForTheTerminal) {
    expect_run({expired(kHop1, 1)}, trace(1, 1), 0, " 1  1ms    evil?]0;x?.lab [198.18.1.1]\n", {1},
               {kHop1}, {{kHop1, "evil\x1b]0;x\x07.lab"}});
}

TEST(TraceDisplay, HopNumbersWidenPast99AndWrapAfter255) {
    expect_run({}, trace(0, 3), 98, expected("trace_hop_99"), {});
    expect_run({}, trace(1, 3), 254, expected("trace_hop_wrap"), {255, 0, 1});
}

TEST(TraceDisplay, NegativeTimesAndEmptyNames) {
    expect_run({answer(kHop2, 11013, -5)}, trace(1, 1), 0, " 1  -5ms    [198.18.2.1]\n", {1},
               {kHop2}, {{kHop2, ""}});
}

// ---- Stop rules ---------------------------------------------------------------------

TEST(StopRules, PassStatusIsTheLastAnsweredProbes) {
    // The target answered the first probe, the others went unanswered: still complete.
    expect_run({reached(3), silence(), silence()}, trace(), 0,
               expected("trace_first_probe_reached"), {1, 1, 1}, {kTarget});
    // A router's report after the target's answer decides the pass.
    expect_run({reached(3), answer(kHop2, 11003, 4)}, trace(2), 0,
               expected("trace_report_after_target"), {1, 1}, {kHop2});
}

TEST(StopRules, RouterReportsEndTheTraceWithTheirText) {
    // The status, then the text the report line ends with.
    for (auto [status, text] : {std::pair{11002, "Destination network unreachable."},
                                {11003, "Destination host unreachable."},
                                {11005, "Destination port unreachable."},
                                {11008, "Hardware error."},
                                {11014, "TTL expired during reassembly."},
                                {11000, "(11000) Unknown error."}}) {
        SCOPED_TRACE(status);
        expect_run({expired(kHop1, 1), answer(kHop2, status, 2)}, trace(1), 0,
                   expected("trace_router_report_head") + text + "\n", {1, 2}, {kHop1, kHop2});
    }
}

TEST(StopRules, HopLimitEndsWithoutMessage) {
    expect_run({expired(kHop2, 0), expired(kHop2, 1), expired(kHop2, 2), expired(kHop2, 3)},
               trace(1, 4), 0, expected("trace_hop_limit"), {1, 2, 3, 4},
               {kHop2, kHop2, kHop2, kHop2});
}

TEST(StopRules, NoPassWithZeroHops) { expect_run({}, trace(3, 0), 0, "", {}); }

TEST(StopRules, ZeroProbesPerHop) {
    expect_run({}, trace(0, 2), 0, " 1  Request timed out.\n 2  Request timed out.\n", {});
    expect_run({}, ping(0), 0, "", {});
}

TEST(StopRules, TimeoutMarkerInAnAnswerGoesOn) {
    expect_run({answer(kHop1, 11010, 1), reached(2)}, trace(1), 0, expected("trace_timeout_marker"),
               {1, 2}, {kHop1, kTarget});
}

// ---- Ping-only display --------------------------------------------------------------

TEST(PingDisplay, ReplyLinesAndCompletion) {
    // The name is still looked up, though not shown.
    expect_run({reached(1, 64), silence(), reached(12, 63)},
               {.ping_only = true, .probe_gap_ms = 0, .data_size = 100}, 127,
               expected("ping_replies"), {128, 128, 128}, {kTarget});
}

TEST(PingDisplay, SilentTargetEndsAfterOnePass) {
    expect_run({}, ping(), 127, "Request timed out.\nRequest timed out.\nRequest timed out.\n",
               {128, 128, 128});
}

TEST(PingDisplay, ExpiredAnswersShowTheTargetAndRaiseTheTtl) {
    expect_run({expired(kHop1, 2), expired(kHop1, 3), reached(4, 1)}, ping(2), 127,
               expected("ping_expired"), {128, 128, 129, 129}, {kHop1, kTarget});
}

TEST(PingDisplay, RouterReportEndsThePing) {
    expect_run({answer(kHop2, 11003, 2), answer(kHop2, 11003, 3)}, ping(2), 127,
               expected("ping_router_report"), {128, 128}, {kHop2});
}

// ---- Pauses and payload -------------------------------------------------------------

TEST(Pauses, GapAfterEveryProbeAndPauseAfterPassesThatGoOn) {
    ScriptedRun run({expired(kHop1, 1), expired(kHop1, 1), reached(1), reached(1)});
    run.run({.hop_pause_ms = 40, .probe_gap_ms = 7, .probes_per_hop = 2});
    // The pass that completes the trace is not followed by a pause.
    EXPECT_EQ(run.sleeps, (std::vector<int32_t>{7, 7, 40, 7, 7}));

    ScriptedRun none;
    none.run(trace(2));
    EXPECT_TRUE(none.sleeps.empty());
}

TEST(Pauses, PingPausesLikeTheTraceAndSilentPassesPauseToo) {
    ScriptedRun ping_run({expired(kHop1, 1), expired(kHop1, 1), reached(1), reached(1)});
    ping_run.run({.ping_only = true, .hop_pause_ms = 40, .probe_gap_ms = 7, .probes_per_hop = 2},
                 127);
    EXPECT_EQ(ping_run.sleeps, (std::vector<int32_t>{7, 7, 40, 7, 7}));

    ScriptedRun silent;
    silent.run({.max_hops = 2, .hop_pause_ms = 40, .probe_gap_ms = 0, .probes_per_hop = 0});
    EXPECT_EQ(silent.sleeps, (std::vector<int32_t>{40, 40}));
}

TEST(Payload, PrintableCycleFromSpaceToBrace) {
    // Byte i is 32 + i % 94: from the space to '}', again and again; nothing after the end.
    std::vector<uint8_t> cycle(200, 0);
    for (size_t i = 0; i < 190; ++i)
        cycle[i] = static_cast<uint8_t>(32 + i % 94);
    ASSERT_EQ(cycle[93], '}');
    std::vector<uint8_t> payload(200, 0);
    fill_payload(payload.data(), 190);
    EXPECT_EQ(payload, cycle);

    ScriptedRun run;
    run.run({.ping_only = true, .probe_gap_ms = 0, .data_size = 100, .probes_per_hop = 1}, 127);
    EXPECT_EQ(run.payloads,
              (std::vector<std::vector<uint8_t>>{{cycle.begin(), cycle.begin() + 100}}));
}
