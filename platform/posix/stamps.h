// Linux: the kernel's time stamps on a probe's packets, and the round trip they give.
// The kernel stamps a packet when it leaves the device and when it comes in, before
// this process is woken; a busy machine therefore adds nothing to times taken from them.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <ctime>

// After <ctime>: it uses timespec without including it.
#include <linux/errqueue.h>

// What the control messages of one received message carry.
struct ControlData {
    int ttl = -1;                               // IP_TTL of the packet; -1 when absent
    const sock_extended_err* report = nullptr;  // error-queue report; points into the buffer
    int64_t stamp_ns = 0;                       // kernel's software stamp, realtime; 0 none
};

// Reads the control messages of a message that recvmsg filled in.
ControlData read_control(const msghdr& message);

// An error-queue report that carries a kernel's transmit stamp of a sent packet, as
// opposed to an ICMP error about it.
inline bool is_transmit_stamp(const sock_extended_err& report) {
    return report.ee_origin == SO_EE_ORIGIN_TIMESTAMPING;
}

// The transmit stamp of such a report that counts as the departure: the one taken when
// the packet entered the device layer; 0 for any other.
int64_t departure_stamp(const sock_extended_err& report, int64_t stamp_ns);

// Asks the kernel to stamp what the socket sends and receives; where transmit stamps
// cannot be had, at least the arrivals.
void enable_stamps(int fd);

int64_t monotonic_ns();
int64_t realtime_ns();

// Both clocks, read right before a send.
struct SendClock {
    int64_t monotonic_ns = 0;
    int64_t realtime_ns = 0;
};

SendClock read_send_clock();

// The round trip in whole milliseconds, cut. From the transmit stamp (or, without a
// fitting one, the realtime read before the send) to the receive stamp; without a
// receive stamp, or when the realtime clock was stepped in between (a negative time,
// or more than the monotonic clock saw from before the send to the wake-up), the
// monotonic clock's time up to the wake-up instead.
int32_t round_trip_ms(const SendClock& sent, int64_t transmit_stamp_ns, int64_t receive_stamp_ns,
                      int64_t woke_monotonic_ns);
