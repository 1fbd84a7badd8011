// netsim: a simulated IPv4 network behind a TUN device, for tarnhop's end-to-end tests.
// It reads every probe routed into the device, answers it from a scenario file at the
// chosen delays (monotonic clock, timer queue) and logs every probe and answer.
//
//   netsim --scenario FILE [--dev NAME] [--addr 198.19.0.1/16] [--log FILE] [--ready FILE]
//   netsim --check FILE       reads a scenario and reports its first mistake
#include <poll.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <queue>
#include <sstream>
#include <string>

#include "departures.h"
#include "packets.h"
#include "responder.h"
#include "scenario.h"
#include "tun.h"

namespace {

volatile sig_atomic_t g_stop = 0;

// The last stretch before a deadline is spent polling without sleeping: a wake-up from
// sleep can come late on a busy machine, a spin does not.
constexpr int64_t kSpinNs = 1000000;

void on_signal(int) { g_stop = 1; }

int64_t now_ns() { return netsim::clock_ns(CLOCK_MONOTONIC); }

struct Options {
    std::string scenario;
    std::string device = "netsim0";
    uint32_t address = 0xc6130001;  // 198.19.0.1
    int prefix = 16;
    std::string log;
    std::string ready;
    bool check_only = false;
};

struct Pending {
    int64_t due_ns = 0;
    uint64_t order = 0;  // keeps packets due at the same moment in scenario order
    int probe = 0;
    netsim::Outgoing out;
    bool operator>(const Pending& other) const {
        return due_ns != other.due_ns ? due_ns > other.due_ns : order > other.order;
    }
};

class Simulator {
public:
    Simulator(netsim::Scenario scenario, int fd, int tap, FILE* log)
        : responder_(std::move(scenario)),
          fd_(fd),
          tap_(tap),
          departures_(tap),
          log_(log),
          start_ns_(now_ns()) {}

    // Runs the answering code once on made-up probes, without sending or counting
    // anything, and opens the log: the first real answer must not pay for first use.
    void warm_up(const std::string& device);

    // Runs until SIGTERM, SIGINT or SIGHUP; false on a device error.
    bool run();

private:
    void read_packets();
    void take(std::span<const uint8_t> datagram, int64_t departure_ns, int64_t read_ns);
    void send_due();
    void log_probe(const netsim::Probe& probe, int64_t departure_ns, int64_t read_ns);
    void log_other(const netsim::Probe& probe, int64_t at_ns);
    double ms_since_start(int64_t at_ns) const { return (at_ns - start_ns_) / 1e6; }

    netsim::Responder responder_;
    int fd_;
    int tap_;
    netsim::Departures departures_;
    FILE* log_;
    int64_t start_ns_;
    uint64_t order_ = 0;
    std::priority_queue<Pending, std::vector<Pending>, std::greater<>> queue_;
};

void Simulator::warm_up(const std::string& device) {
    netsim::Bytes body(64, 0x20);
    netsim::Bytes echo = netsim::make_ipv4(0xc6130001, 0xc6130909, 1, 0, 1,
                                           netsim::icmp_message(8, 0, 0x10001, body));
    netsim::Bytes udp = echo;
    udp[9] = 17;
    netsim::Responder trial = responder_;
    std::string scratch;
    for (int ttl : {1, 2, 64, 255}) {
        for (netsim::Bytes* datagram : {&echo, &udp}) {
            (*datagram)[8] = static_cast<uint8_t>(ttl);
            std::optional<netsim::Probe> probe = netsim::read_probe(*datagram);
            if (!probe)
                continue;
            for (const netsim::Outgoing& out : trial.on_probe(*probe))
                scratch += netsim::address_text(netsim::read_probe(out.packet)->src) + out.what;
        }
    }
    if (log_ != nullptr) {
        std::fprintf(log_, "start t=%.3f dev=%s warm-up=%zu\n", ms_since_start(now_ns()),
                     device.c_str(), scratch.size());
        std::fflush(log_);
    }
}

bool Simulator::run() {
    sigset_t open_mask;
    sigemptyset(&open_mask);
    while (!g_stop) {
        timespec wait{};
        timespec* timeout = nullptr;
        if (!queue_.empty()) {
            int64_t left = std::max<int64_t>(0, queue_.top().due_ns - now_ns() - kSpinNs);
            wait.tv_sec = static_cast<time_t>(left / 1000000000);
            wait.tv_nsec = static_cast<long>(left % 1000000000);
            timeout = &wait;
        }
        pollfd watched[2] = {{fd_, POLLIN, 0}, {tap_, POLLIN, 0}};
        int ready = ppoll(watched, tap_ < 0 ? 1 : 2, timeout, &open_mask);
        if (ready < 0 && errno != EINTR) {
            std::fprintf(stderr, "netsim: poll: %s\n", std::strerror(errno));
            return false;
        }
        if (ready > 0 && (watched[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            std::fprintf(stderr, "netsim: the device went away\n");
            return false;
        }
        if (ready > 0 && (watched[0].revents & POLLIN) != 0)
            read_packets();
        else if (ready > 0)
            departures_.drain();
        send_due();
    }
    return true;
}

void Simulator::read_packets() {
    static uint8_t buffer[65536];
    for (;;) {
        ssize_t got = read(fd_, buffer, sizeof buffer);
        if (got < 0)
            return;  // EAGAIN: all read; anything else shows at the next poll
        int64_t read_ns = now_ns();
        std::span<const uint8_t> datagram(buffer, static_cast<size_t>(got));
        take(datagram, departures_.departure_of(datagram, read_ns), read_ns);
    }
}

void Simulator::take(std::span<const uint8_t> datagram, int64_t departure_ns, int64_t read_ns) {
    std::optional<netsim::Probe> probe = netsim::read_probe(datagram);
    if (!probe)
        return;
    if (probe->fragment || probe->kind == netsim::Probe::Kind::other) {
        log_other(*probe, read_ns);
        return;
    }
    std::vector<netsim::Outgoing> answers = responder_.on_probe(*probe);
    log_probe(*probe, departure_ns, read_ns);
    for (netsim::Outgoing& out : answers) {
        int64_t due = departure_ns + static_cast<int64_t>(out.delay_ms) * 1000000;
        queue_.push(Pending{due, order_++, responder_.probes_seen(), std::move(out)});
    }
    send_due();
}

void Simulator::send_due() {
    while (!queue_.empty() && queue_.top().due_ns <= now_ns()) {
        const Pending& next = queue_.top();
        int64_t at = now_ns();
        ssize_t sent = write(fd_, next.out.packet.data(), next.out.packet.size());
        int64_t done = now_ns();
        std::optional<netsim::Probe> packet = netsim::read_probe(next.out.packet);
        if (log_ != nullptr && packet) {
            std::fprintf(log_,
                         "sent probe=%d t=%.3f late_us=%lld write_us=%lld from=%s to=%s ttl=%d "
                         "len=%zu%s : %s\n",
                         next.probe, ms_since_start(at),
                         static_cast<long long>((at - next.due_ns) / 1000),
                         static_cast<long long>((done - at) / 1000),
                         netsim::address_text(packet->src).c_str(),
                         netsim::address_text(packet->dst).c_str(), packet->ttl,
                         next.out.packet.size(), sent < 0 ? " failed" : "", next.out.what.c_str());
            std::fflush(log_);
        }
        queue_.pop();
    }
}

void Simulator::log_probe(const netsim::Probe& probe, int64_t departure_ns, int64_t read_ns) {
    if (log_ == nullptr)
        return;
    std::string first = probe.first_byte < 0 ? "-" : std::to_string(probe.first_byte);
    std::fprintf(log_, "probe %d t=%.3f %s src=%s dst=%s ttl=%d tos=%d ", responder_.probes_seen(),
                 ms_since_start(departure_ns),
                 probe.kind == netsim::Probe::Kind::echo ? "icmp" : "udp",
                 netsim::address_text(probe.src).c_str(), netsim::address_text(probe.dst).c_str(),
                 probe.ttl, probe.tos);
    if (probe.kind == netsim::Probe::Kind::echo)
        std::fprintf(log_, "id=%d seq=%d", probe.id, probe.seq);
    else
        std::fprintf(log_, "sport=%d dport=%d ulen=%d csum=%d", probe.sport, probe.dport,
                     probe.udp_length, probe.udp_checksum);
    std::fprintf(log_, " len=%zu first=%s wake_us=%lld\n", probe.payload_length, first.c_str(),
                 static_cast<long long>((read_ns - departure_ns) / 1000));
    std::fflush(log_);
}

void Simulator::log_other(const netsim::Probe& probe, int64_t at_ns) {
    if (log_ == nullptr)
        return;
    std::fprintf(log_, "other t=%.3f proto=%d src=%s dst=%s ttl=%d len=%zu", ms_since_start(at_ns),
                 probe.protocol, netsim::address_text(probe.src).c_str(),
                 netsim::address_text(probe.dst).c_str(), probe.ttl, probe.datagram.size());
    if (probe.protocol == 1 && !probe.fragment)
        std::fprintf(log_, " icmp=%d/%d", probe.icmp_type, probe.icmp_code);
    std::fprintf(log_, "%s\n", probe.fragment ? " fragment" : "");
    std::fflush(log_);
}

bool parse_address_prefix(const std::string& text, Options& options) {
    size_t slash = text.find('/');
    std::optional<uint32_t> address = netsim::parse_address(text.substr(0, slash));
    if (!address || slash == std::string::npos)
        return false;
    int prefix = std::atoi(text.c_str() + slash + 1);
    if (prefix < 8 || prefix > 30)
        return false;
    options.address = *address;
    options.prefix = prefix;
    return true;
}

bool parse_options(int argc, char** argv, Options& options) {
    static const std::pair<std::string_view, std::string Options::*> kTexts[] = {
        {"--scenario", &Options::scenario}, {"--check", &Options::scenario},
        {"--dev", &Options::device},        {"--log", &Options::log},
        {"--ready", &Options::ready},
    };
    for (int i = 1; i < argc; ++i) {
        std::string_view word = argv[i];
        if (i + 1 >= argc)
            return false;
        std::string value = argv[++i];
        auto text = std::find_if(std::begin(kTexts), std::end(kTexts),
                                 [&](const auto& named) { return named.first == word; });
        if (text != std::end(kTexts))
            options.*(text->second) = value;
        else if (word != "--addr" || !parse_address_prefix(value, options))
            return false;
        options.check_only = options.check_only || word == "--check";
    }
    return !options.scenario.empty();
}

std::optional<netsim::Scenario> load_scenario(const std::string& path) {
    std::ifstream file(path);
    if (!file) {
        std::fprintf(stderr, "netsim: cannot read %s\n", path.c_str());
        return std::nullopt;
    }
    std::stringstream text;
    text << file.rdbuf();
    std::string error;
    std::optional<netsim::Scenario> scenario = netsim::parse_scenario(text.str(), &error);
    if (!scenario)
        std::fprintf(stderr, "netsim: %s: %s\n", path.c_str(), error.c_str());
    return scenario;
}

// The ready file appears whole (written, then renamed) once the device reads packets.
bool announce_ready(const Options& options) {
    std::string line = "ready " + options.device + " " + netsim::address_text(options.address) +
                       "/" + std::to_string(options.prefix) + " pid " + std::to_string(getpid()) +
                       "\n";
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
    if (options.ready.empty())
        return true;
    std::string temporary = options.ready + ".part";
    std::ofstream(temporary) << line;
    return std::rename(temporary.c_str(), options.ready.c_str()) == 0;
}

void install_signals() {
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
        sigaction(signal_number, &action, nullptr);
        sigaddset(&blocked, signal_number);
    }
    // Signals are taken only inside ppoll, so a stop request is never lost between
    // the flag check and the wait.
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse_options(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: netsim --scenario FILE [--dev NAME] [--addr A.B.C.D/PREFIX] "
                     "[--log FILE] [--ready FILE]\n       netsim --check FILE\n");
        return 2;
    }
    std::optional<netsim::Scenario> scenario = load_scenario(options.scenario);
    if (!scenario)
        return 2;
    if (options.check_only)
        return 0;
    install_signals();
    // A test that dies without its cleanup must not leave the simulator running.
    pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM, 0UL, 0UL, 0UL);
    if (getppid() != parent)
        return 1;
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);  // wake-ups on time, not up to 50 us late
    // Answers must leave on time even while the machine compiles; without the right to
    // real-time scheduling the simulator runs all the same, only less exactly.
    sched_param priority{};
    priority.sched_priority = 20;
    sched_setscheduler(0, SCHED_FIFO, &priority);
#ifndef __SANITIZE_ADDRESS__
    // A code path run for the first time must not wait for the disk (a page fault while
    // the machine writes a build can take 100 ms and more). The sanitizer's shadow
    // memory is far too large to lock, so that build goes without.
    mlockall(MCL_CURRENT | MCL_FUTURE);
#endif
    FILE* log = nullptr;
    if (!options.log.empty() && (log = std::fopen(options.log.c_str(), "a")) == nullptr) {
        std::fprintf(stderr, "netsim: cannot write %s\n", options.log.c_str());
        return 1;
    }
    std::string error;
    int fd = netsim::open_tun(options.device, options.address, options.prefix, &error);
    if (fd < 0) {
        std::fprintf(stderr, "netsim: %s: %s\n", options.device.c_str(), error.c_str());
        return 1;
    }
    int tap = netsim::open_tap(options.device, &error);
    if (tap < 0)
        std::fprintf(stderr, "netsim: %s: %s; delays count from reading\n", options.device.c_str(),
                     error.c_str());
    Simulator simulator(std::move(*scenario), fd, tap, log);
    simulator.warm_up(options.device);
    if (!announce_ready(options)) {
        std::fprintf(stderr, "netsim: cannot write %s\n", options.ready.c_str());
        return 1;
    }
    bool ok = simulator.run();
    if (tap >= 0)
        close(tap);
    close(fd);
    if (log != nullptr)
        std::fclose(log);
    return ok ? 0 : 1;
}
