// netsim departures: reading the tap and matching its copies to the probes.
#include "departures.h"

#include <linux/if_packet.h>
#include <sys/socket.h>

#include <algorithm>

namespace netsim {

namespace {

constexpr size_t kHead = 64;
constexpr size_t kMostRemembered = 4096;
constexpr int64_t kSecond = 1000000000;

}  // namespace

int64_t clock_ns(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<int64_t>(now.tv_sec) * kSecond + now.tv_nsec;
}

void Departures::drain() {
    if (tap_ < 0)
        return;
    for (;;) {
        uint8_t buffer[kHead];
        iovec part{buffer, sizeof buffer};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
        sockaddr_ll from{};
        msghdr message{};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t got = recvmsg(tap_, &message, MSG_TRUNC);
        if (got < 0)
            return;
        if (from.sll_pkttype != PACKET_OUTGOING)
            continue;  // the simulator's own answers on their way in
        for (cmsghdr* item = CMSG_FIRSTHDR(&message); item != nullptr;
             item = CMSG_NXTHDR(&message, item)) {
            if (item->cmsg_level != SOL_SOCKET || item->cmsg_type != SCM_TIMESTAMPNS)
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
}

int64_t Departures::departure_of(std::span<const uint8_t> datagram, int64_t read_ns) {
    drain();
    size_t compared = std::min(datagram.size(), kHead);
    for (auto it = seen_.begin(); it != seen_.end(); ++it) {
        if (it->head.size() != compared ||
            !std::equal(it->head.begin(), it->head.end(), datagram.begin()))
            continue;
        // The tap stamps with the wall clock; the simulator counts on the monotonic one.
        int64_t departure = it->wall_ns - (clock_ns(CLOCK_REALTIME) - clock_ns(CLOCK_MONOTONIC));
        seen_.erase(seen_.begin(), it + 1);
        if (departure <= read_ns && read_ns - departure < kSecond)
            return departure;
        return read_ns;
    }
    return read_ns;
}

}  // namespace netsim
