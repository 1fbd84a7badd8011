// Linux: the kernel's time stamps on a probe's packets.
#include "platform/posix/stamps.h"

#include <linux/net_tstamp.h>
#include <netinet/in.h>

#include <cstring>
#include <ctime>

namespace {

constexpr int64_t kNanosecondsPerSecond = 1000000000;

int64_t read_clock(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<int64_t>(now.tv_sec) * kNanosecondsPerSecond + now.tv_nsec;
}

int64_t nanoseconds(const timespec& stamp) {
    return static_cast<int64_t>(stamp.tv_sec) * kNanosecondsPerSecond + stamp.tv_nsec;
}

}  // namespace

ControlData read_control(const msghdr& message) {
    ControlData data;
    // CMSG_NXTHDR takes a non-const header but only reads it.
    auto* readable = const_cast<msghdr*>(&message);
    for (cmsghdr* c = CMSG_FIRSTHDR(readable); c != nullptr; c = CMSG_NXTHDR(readable, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL &&
            c->cmsg_len >= CMSG_LEN(sizeof data.ttl)) {
            std::memcpy(&data.ttl, CMSG_DATA(c), sizeof data.ttl);
        } else if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR &&
                   c->cmsg_len >= CMSG_LEN(sizeof(sock_extended_err))) {
            data.report = reinterpret_cast<const sock_extended_err*>(CMSG_DATA(c));
        } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPING &&
                   c->cmsg_len >= CMSG_LEN(sizeof(scm_timestamping))) {
            scm_timestamping stamps{};
            std::memcpy(&stamps, CMSG_DATA(c), sizeof stamps);
            // ts[0] is the software stamp; the others are the hardware's.
            if (nanoseconds(stamps.ts[0]) != 0)
                data.stamp_ns = nanoseconds(stamps.ts[0]);
        } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS &&
                   c->cmsg_len >= CMSG_LEN(sizeof(timespec))) {
            timespec stamp{};
            std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
            if (nanoseconds(stamp) != 0)
                data.stamp_ns = nanoseconds(stamp);
        }
    }
    return data;
}

int64_t departure_stamp(const sock_extended_err& report, int64_t stamp_ns) {
    return is_transmit_stamp(report) && report.ee_info == SCM_TSTAMP_SCHED ? stamp_ns : 0;
}

void enable_stamps(int fd) {
    // The departure is stamped where the packet enters the device layer (TX_SCHED),
    // before anything sees it leave; the driver's own stamp (TX_SOFTWARE) comes after
    // the copies for packet sockets and would make the round trip a little too short.
    // Transmit stamps come back on the error queue without the packet (TSONLY).
    int flags = SOF_TIMESTAMPING_TX_SCHED | SOF_TIMESTAMPING_RX_SOFTWARE |
                SOF_TIMESTAMPING_SOFTWARE | SOF_TIMESTAMPING_OPT_TSONLY;
    if (setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPING, &flags, sizeof flags) == 0)
        return;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
}

int64_t monotonic_ns() { return read_clock(CLOCK_MONOTONIC); }

// The clock of the kernel's stamps.
int64_t realtime_ns() { return read_clock(CLOCK_REALTIME); }

SendClock read_send_clock() {
    SendClock clock;
    clock.monotonic_ns = monotonic_ns();
    clock.realtime_ns = realtime_ns();
    return clock;
}

int32_t round_trip_ms(const SendClock& sent, int64_t transmit_stamp_ns, int64_t receive_stamp_ns,
                      int64_t woke_monotonic_ns) {
    int64_t fallback = woke_monotonic_ns - sent.monotonic_ns;
    if (fallback < 0)
        fallback = 0;
    int64_t elapsed = fallback;
    if (receive_stamp_ns != 0) {
        // A transmit stamp taken before the clock was read cannot be this send's.
        int64_t departure =
            transmit_stamp_ns >= sent.realtime_ns ? transmit_stamp_ns : sent.realtime_ns;
        int64_t stamped = receive_stamp_ns - departure;
        if (stamped >= 0 && stamped <= fallback)
            elapsed = stamped;
    }
    return static_cast<int32_t>(elapsed / 1000000);
}
