// netsim: a simulated IPv4 network behind a TUN device, for tarnhop's end-to-end tests.
// It reads every probe routed into the device, answers it from a scenario file at the
// chosen delays (monotonic clock, timer queue) and logs every probe and answer.
//
//   netsim --scenario FILE [--dev NAME] [--addr 198.19.0.1/16] [--log FILE] [--ready FILE]
//   netsim --check FILE       reads a scenario and reports its first mistake
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <poll.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>

#include "device.h"
#include "netsim.h"
#include "wire/icmp.h"

namespace {

using netsim::address_text;

volatile sig_atomic_t g_stop = 0;

// The last stretch before a deadline is spent polling without sleeping: a wake-up from
// sleep can come late on a busy machine, a spin does not.
constexpr int64_t kSpinNs = 1000000;

constexpr int64_t kSecond = 1000000000;
// The first bytes of a datagram, enough to tell probes apart, and how many tap copies of
// probes are kept at most while they wait for their datagram.
constexpr size_t kHead = 64;
constexpr size_t kMostRemembered = 4096;

// The time of a clock in nanoseconds.
int64_t clock_ns(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<int64_t>(now.tv_sec) * kSecond + now.tv_nsec;
}

int64_t now_ns() { return clock_ns(CLOCK_MONOTONIC); }

// Says on stderr why the simulator stops, and gives the status it stops with.
int refuse(int status, const std::string& why) {
    std::fprintf(stderr, "netsim: %s\n", why.c_str());
    return status;
}

// The value of each option of the command line, defaults filled in.
using Options = std::map<std::string, std::string, std::less<>>;

class Simulator {
public:
    Simulator(netsim::Scenario scenario, int fd, int tap, FILE* log)
        : responder_(std::move(scenario)), fd_(fd), tap_(tap), log_(log) {}

    // Runs the answering code once on made-up probes, without sending or counting
    // anything, and opens the log: the first real answer must not pay for first use.
    void warm_up(const std::string& device) {
        netsim::Bytes echo = netsim::icmp_message(8, 0, 0x10001, netsim::Bytes(64, 0x20));
        netsim::Responder trial = responder_;
        size_t scratch = 0;
        for (uint8_t ttl : {1, 2, 64, 255}) {
            for (uint8_t protocol : {kProtocolIcmp, kProtocolUdp}) {
                netsim::Bytes probe = packet::ipv4_datagram(
                    {htonl(0xc6130001), htonl(0xc6130909), ttl, protocol}, echo);
                for (const netsim::Outgoing& out : trial.on_probe(*netsim::read_probe(probe)))
                    scratch +=
                        address_text(netsim::read_probe(out.packet)->src).size() + out.what.size();
            }
        }
        log("start t=%.3f dev=%s warm-up=%zu\n", ms_since_start(now_ns()), device.c_str(), scratch);
    }

    // Runs until SIGTERM, SIGINT or SIGHUP; false on a device error.
    bool run() {
        sigset_t open_mask;
        sigemptyset(&open_mask);
        while (!g_stop) {
            int64_t left = queue_.empty() ? 0 : queue_.begin()->first - now_ns() - kSpinNs;
            left = std::max<int64_t>(0, left);
            timespec wait{static_cast<time_t>(left / kSecond), static_cast<long>(left % kSecond)};
            pollfd watched[2] = {{fd_, POLLIN, 0}, {tap_, POLLIN, 0}};
            int ready =
                ppoll(watched, tap_ < 0 ? 1 : 2, queue_.empty() ? nullptr : &wait, &open_mask);
            if (ready < 0 && errno != EINTR)
                return refuse(false, std::string("poll: ") + std::strerror(errno));
            if (ready > 0 && (watched[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
                return refuse(false, "the device went away");
            if (ready > 0 && (watched[0].revents & POLLIN) != 0)
                read_packets();
            else if (ready > 0)
                drain_tap();
            send_due();
        }
        return true;
    }

private:
    // One line of the log, when there is one, written at once.
    __attribute__((format(printf, 2, 3))) void log(const char* format, ...) {
        if (log_ == nullptr)
            return;
        va_list arguments;
        va_start(arguments, format);
        std::vfprintf(log_, format, arguments);
        va_end(arguments);
        std::fflush(log_);
    }

    double ms_since_start(int64_t at_ns) const { return (at_ns - start_ns_) / 1e6; }

    void read_packets() {
        static uint8_t buffer[65536];
        for (ssize_t got; (got = read(fd_, buffer, sizeof buffer)) >= 0;) {
            int64_t read_ns = now_ns();
            std::span<const uint8_t> datagram(buffer, static_cast<size_t>(got));
            take(datagram, departure_of(datagram, read_ns), read_ns);
        }
        // EAGAIN: all read; anything else shows at the next poll.
    }

    // Reads what the tap (-1: none) has seen so far. It must be read even when no probe
    // comes, or the copies of the simulator's own answers fill it.
    void drain_tap() {
        for (;;) {
            uint8_t buffer[kHead];
            iovec part{buffer, sizeof buffer};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
            sockaddr_ll from{};
            msghdr message{.msg_name = &from,
                           .msg_namelen = sizeof from,
                           .msg_iov = &part,
                           .msg_iovlen = 1,
                           .msg_control = control,
                           .msg_controllen = sizeof control,
                           .msg_flags = 0};
            ssize_t got = tap_ < 0 ? -1 : recvmsg(tap_, &message, MSG_TRUNC);
            if (got < 0)
                return;
            // The time stamp is the one control message the tap asks for. Copies of the
            // simulator's own answers on their way in are passed over.
            cmsghdr* item = CMSG_FIRSTHDR(&message);
            if (from.sll_pkttype != PACKET_OUTGOING || item == nullptr ||
                item->cmsg_level != SOL_SOCKET || item->cmsg_type != SCM_TIMESTAMPNS)
                continue;
            timespec stamp{};
            std::copy_n(CMSG_DATA(item), sizeof stamp, reinterpret_cast<unsigned char*>(&stamp));
            size_t kept = std::min(static_cast<size_t>(got), kHead);
            seen_.push_back(Seen{std::vector<uint8_t>(buffer, buffer + kept),
                                 static_cast<int64_t>(stamp.tv_sec) * kSecond + stamp.tv_nsec});
            if (seen_.size() > kMostRemembered)
                seen_.pop_front();
        }
    }

    // The moment (monotonic clock, ns) a datagram read from the device at read_ns left
    // the client: its tap copy's time when there is one, else read_ns.
    int64_t departure_of(std::span<const uint8_t> datagram, int64_t read_ns) {
        drain_tap();
        size_t compared = std::min(datagram.size(), kHead);
        for (auto it = seen_.begin(); it != seen_.end(); ++it) {
            if (it->head.size() != compared ||
                !std::equal(it->head.begin(), it->head.end(), datagram.begin()))
                continue;
            // The tap stamps with the wall clock; the simulator counts on the monotonic one.
            int64_t departure = it->wall_ns - (clock_ns(CLOCK_REALTIME) - now_ns());
            seen_.erase(seen_.begin(), it + 1);
            return departure <= read_ns && read_ns - departure < kSecond ? departure : read_ns;
        }
        return read_ns;
    }

    void take(std::span<const uint8_t> datagram, int64_t departure_ns, int64_t read_ns) {
        std::optional<netsim::Probe> probe = netsim::read_probe(datagram);
        if (!probe)
            return;
        if (probe->fragment || probe->kind == netsim::Probe::Kind::other)
            return log_other(*probe, read_ns);
        std::vector<netsim::Outgoing> answers = responder_.on_probe(*probe);
        log("probe %d t=%.3f %s wake_us=%lld\n", responder_.probes_seen(),
            ms_since_start(departure_ns), netsim::probe_text(*probe).c_str(),
            static_cast<long long>((read_ns - departure_ns) / 1000));
        for (netsim::Outgoing& out : answers) {
            int64_t due = departure_ns + static_cast<int64_t>(out.delay_ms) * 1000000;
            queue_.emplace(due, std::pair(responder_.probes_seen(), std::move(out)));
        }
        send_due();
    }

    void log_other(const netsim::Probe& probe, int64_t at_ns) {
        // The type and code of an ICMP datagram, 0/0 when it is shorter than its header.
        bool whole = probe.datagram.size() >= probe.header + kIcmpHeaderSize;
        std::string icmp = probe.protocol == kProtocolIcmp && !probe.fragment
                               ? " icmp=" + std::to_string(whole ? probe.word(0) >> 8 : 0) + "/" +
                                     std::to_string(whole ? probe.word(0) & 0xff : 0)
                               : "";
        log("other t=%.3f proto=%d src=%s dst=%s ttl=%d len=%zu%s%s\n", ms_since_start(at_ns),
            probe.protocol, address_text(probe.src).c_str(), address_text(probe.dst).c_str(),
            probe.ttl, probe.datagram.size(), icmp.c_str(), probe.fragment ? " fragment" : "");
    }

    void send_due() {
        while (!queue_.empty() && queue_.begin()->first <= now_ns()) {
            const auto& [due, queued] = *queue_.begin();
            const auto& [probe, out] = queued;
            int64_t at = now_ns();
            ssize_t sent = write(fd_, out.packet.data(), out.packet.size());
            int64_t done = now_ns();
            if (std::optional<netsim::Probe> packet = netsim::read_probe(out.packet))
                log("sent probe=%d t=%.3f late_us=%lld write_us=%lld from=%s to=%s ttl=%d "
                    "len=%zu%s : %s\n",
                    probe, ms_since_start(at), static_cast<long long>((at - due) / 1000),
                    static_cast<long long>((done - at) / 1000), address_text(packet->src).c_str(),
                    address_text(packet->dst).c_str(), packet->ttl, out.packet.size(),
                    sent < 0 ? " failed" : "", out.what.c_str());
            queue_.erase(queue_.begin());
        }
    }

    netsim::Responder responder_;
    int fd_;
    int tap_;  // the packet socket of open_tap, or -1 to count from the moment of reading
    FILE* log_;
    int64_t start_ns_ = now_ns();
    // The packets waiting for their moment (monotonic ns), each with the number of its
    // probe; packets due at the same moment leave in the order they were queued.
    std::multimap<int64_t, std::pair<int, netsim::Outgoing>> queue_;
    // The tap's copies of probes not yet read from the device.
    struct Seen {
        std::vector<uint8_t> head;
        int64_t wall_ns = 0;
    };
    std::deque<Seen> seen_;
};

// Reads the command line into options and the address and prefix of --addr; false when
// it is no valid one.
bool read_options(int argc, char** argv, Options& options, uint32_t* address, int* prefix) {
    for (int i = 1; i < argc; i += 2) {
        auto option = options.find(argv[i]);
        if (option == options.end() || i + 1 == argc)
            return false;
        option->second = argv[i + 1];
    }
    const std::string& text = options["--addr"];
    size_t slash = text.find('/');
    std::optional<uint32_t> parsed = netsim::parse_address(text.substr(0, slash));
    *address = parsed.value_or(0);
    *prefix = slash == std::string::npos ? 0 : std::atoi(text.c_str() + slash + 1);
    return parsed && *prefix >= 8 && *prefix <= 30 &&
           !(options["--scenario"] + options["--check"]).empty();
}

std::optional<netsim::Scenario> load_scenario(const std::string& path) {
    std::ifstream file(path);
    if (!file) {
        refuse(2, "cannot read " + path);
        return std::nullopt;
    }
    std::string text(std::istreambuf_iterator<char>(file), {});
    std::string error;
    std::optional<netsim::Scenario> scenario = netsim::parse_scenario(text, &error);
    if (!scenario)
        refuse(2, path + ": " + error);
    return scenario;
}

// The ready file appears whole (written, then renamed) once the device reads packets.
bool announce_ready(const std::string& device, uint32_t address, int prefix,
                    const std::string& ready) {
    std::string line = "ready " + device + " " + address_text(address) + "/" +
                       std::to_string(prefix) + " pid " + std::to_string(getpid()) + "\n";
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
    if (ready.empty())
        return true;
    std::ofstream(ready + ".part") << line;
    return std::rename((ready + ".part").c_str(), ready.c_str()) == 0;
}

void install_signals() {
    struct sigaction action {};
    action.sa_handler = [](int) { g_stop = 1; };
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

// Makes the answers leave on time even while the machine compiles.
void run_on_time() {
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);  // wake-ups on time, not up to 50 us late
    // Without the right to real-time scheduling the simulator runs all the same, only
    // less exactly.
    sched_param priority{};
    priority.sched_priority = 20;
    sched_setscheduler(0, SCHED_FIFO, &priority);
#ifndef __SANITIZE_ADDRESS__
    // A code path run for the first time must not wait for the disk (a page fault while
    // the machine writes a build can take 100 ms and more). The sanitizer's shadow
    // memory is far too large to lock, so that build goes without.
    mlockall(MCL_CURRENT | MCL_FUTURE);
#endif
}

}  // namespace

int main(int argc, char** argv) {
    Options options = {{"--scenario", ""},          {"--check", ""}, {"--dev", "netsim0"},
                       {"--addr", "198.19.0.1/16"}, {"--log", ""},   {"--ready", ""}};
    uint32_t address = 0;
    int prefix = 0;
    if (!read_options(argc, argv, options, &address, &prefix)) {
        std::fprintf(stderr,
                     "usage: netsim --scenario FILE [--dev NAME] [--addr A.B.C.D/PREFIX] "
                     "[--log FILE] [--ready FILE]\n       netsim --check FILE\n");
        return 2;
    }
    bool check_only = !options["--check"].empty();
    std::optional<netsim::Scenario> scenario =
        load_scenario(check_only ? options["--check"] : options["--scenario"]);
    if (!scenario)
        return 2;
    if (check_only)
        return 0;
    install_signals();
    // A test that dies without its cleanup must not leave the simulator running.
    pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM, 0UL, 0UL, 0UL);
    if (getppid() != parent)
        return 1;
    run_on_time();
    const std::string& log_path = options["--log"];
    FILE* log = log_path.empty() ? nullptr : std::fopen(log_path.c_str(), "a");
    if (!log_path.empty() && log == nullptr)
        return refuse(1, "cannot write " + log_path);
    const std::string& device = options["--dev"];
    int fd = -1;
    int tap = -1;
    try {
        fd = netsim::open_tun(device, address, prefix);
        tap = netsim::open_tap(device);
    } catch (const std::runtime_error& failure) {
        if (fd < 0)
            return refuse(1, device + ": " + failure.what());
        // Without the tap the simulator runs all the same, only less exactly.
        refuse(0, device + ": " + failure.what() + "; delays count from reading");
    }
    Simulator simulator(std::move(*scenario), fd, tap, log);
    simulator.warm_up(device);
    if (!announce_ready(device, address, prefix, options["--ready"]))
        return refuse(1, "cannot write " + options["--ready"]);
    // The device goes with the simulator, when its descriptor closes at the end.
    return simulator.run() ? 0 : 1;
}
