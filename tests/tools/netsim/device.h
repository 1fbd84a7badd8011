// netsim device: the TUN device, the simulated network's one door into the namespace,
// and when each probe really left the client. The simulator may wake late for a probe
// (a busy machine); its chosen delay counts from the moment the kernel handed the probe
// to the device, as a packet socket on the device saw it.
#pragma once

#include <cstdint>
#include <ctime>
#include <deque>
#include <span>
#include <string>
#include <vector>

namespace netsim {

// Creates the TUN device name (IPv4 packets without a packet-information header),
// gives it address/prefix (host byte order), a 65535-byte MTU so that no probe is
// fragmented, and brings it up; the kernel then routes the prefix through it.
// Returns the non-blocking descriptor; throws std::runtime_error saying what failed.
int open_tun(const std::string& name, uint32_t address, int prefix);

// A packet socket on the device that sees each packet the kernel sends into it, with
// the moment it did so (SO_TIMESTAMPNS, wall clock). Non-blocking; throws as open_tun.
int open_tap(const std::string& name);

// The time of a clock in nanoseconds.
int64_t clock_ns(clockid_t clock);

class Departures {
public:
    // tap: the packet socket of open_tap, or -1 to count from the moment of reading.
    explicit Departures(int tap) : tap_(tap) {}

    // Reads what the tap has seen so far (it must be read even when no probe comes, or
    // the copies of the simulator's own answers fill it).
    void drain();

    // The moment (monotonic clock, ns) a datagram read from the device at read_ns left
    // the client: its tap copy's time when there is one, else read_ns.
    int64_t departure_of(std::span<const uint8_t> datagram, int64_t read_ns);

private:
    struct Seen {
        std::vector<uint8_t> head;  // the first bytes, enough to tell probes apart
        int64_t wall_ns = 0;
    };
    int tap_;
    std::deque<Seen> seen_;
};

}  // namespace netsim
