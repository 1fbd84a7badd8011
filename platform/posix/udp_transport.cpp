// POSIX: the sockets of one UDP probe. Raw sockets when the process may open them (a
// raw UDP socket to send, a raw ICMP socket to hear the answers); otherwise, on Linux,
// an ordinary UDP socket whose error queue hands over the ICMP errors about it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/platform.h"

#if defined(__linux__)
#include <linux/errqueue.h>
#endif

namespace {

constexpr size_t kUdpHeaderSize = 8;

// Closes the socket when the probe is done with it.
class Socket {
public:
    explicit Socket(int fd) : fd_(fd) {}
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() {
        if (fd_ >= 0)
            close(fd_);
    }
    int fd() const { return fd_; }
    bool ok() const { return fd_ >= 0; }

private:
    int fd_;
};

int64_t now_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

bool set_int_option(int fd, int level, int name, int value) {
    return setsockopt(fd, level, name, &value, sizeof value) == 0;
}

sockaddr_in ipv4_address(uint32_t address, uint16_t port) {
    sockaddr_in socket_address{};
    socket_address.sin_family = AF_INET;
    socket_address.sin_addr.s_addr = address;
    socket_address.sin_port = htons(port);
    return socket_address;
}

// The kernel refuses TTL 0, and a datagram must not leave with any other TTL than the
// probe's. The don't-fragment bit stays clear, as for the echo probes.
bool prepare_sender(int fd, uint8_t ttl) {
    if (!set_int_option(fd, IPPROTO_IP, IP_TTL, ttl))
        return false;
#if defined(IP_MTU_DISCOVER)
    set_int_option(fd, IPPROTO_IP, IP_MTU_DISCOVER, IP_PMTUDISC_DONT);
#endif
    return true;
}

// The wait: one probe's arrivals until it is answered or its deadline has passed.
struct Wait {
    int64_t send_ns = 0;
    int64_t deadline_ns = 0;
    bool looked = false;

    // Waits for the socket until the deadline; the poll events, or 0 once time is up.
    // Once past the deadline nothing more is read, however much keeps arriving; the
    // first look is always taken, so that a zero timeout still sees what is there.
    short next(int fd, short events) {
        pollfd watched{fd, events, 0};
        for (;;) {
            int64_t left = deadline_ns - now_ns();
            if (left <= 0 && looked)
                return 0;
            looked = true;
            if (left < 0)
                left = 0;
            timespec span{static_cast<time_t>(left / 1000000000),
                          static_cast<long>(left % 1000000000)};
            int ready = ppoll(&watched, 1, &span, nullptr);
            if (ready > 0)
                return watched.revents;
            if (ready == 0 || errno != EINTR || left == 0)
                return 0;
        }
    }

    UdpOutcome answered(int64_t receive_ns) const {
        UdpOutcome outcome;
        outcome.answered = true;
        outcome.rtt_ms = static_cast<int32_t>((receive_ns - send_ns) / 1000000);
        return outcome;
    }
};

Wait start_wait(const UdpExchange& exchange) {
    Wait wait;
    wait.send_ns = now_ns();
    int64_t timeout = exchange.timeout_ms > 0 ? exchange.timeout_ms : 0;
    wait.deadline_ns = wait.send_ns + timeout * 1000000;
    return wait;
}

UdpOutcome raw_exchange(const UdpExchange& exchange, const Socket& icmp, const Socket& udp) {
    sockaddr_in any = ipv4_address(INADDR_ANY, 0);
    bind(icmp.fd(), reinterpret_cast<const sockaddr*>(&any), sizeof any);
    if (!prepare_sender(udp.fd(), exchange.ttl))
        return {};
    sockaddr_in destination = ipv4_address(exchange.target, exchange.destination_port);
    Wait wait = start_wait(exchange);
    // A datagram that failed to go out simply gets no answer within the wait.
    sendto(udp.fd(), exchange.datagram, exchange.datagram_length, 0,
           reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
    uint8_t buffer[kUdpReceiveSize];
    while (wait.next(icmp.fd(), POLLIN) != 0) {
        int64_t receive_ns = now_ns();
        // A raw socket hands over one packet per read, cut to the buffer.
        ssize_t length = recv(icmp.fd(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (length <= 0)
            continue;
        UdpArrival arrival;
        arrival.packet = buffer;
        arrival.packet_length = static_cast<size_t>(length);
        if (exchange.accept(arrival, exchange.context))
            return wait.answered(receive_ns);
    }
    return {};
}

#if defined(__linux__)

// Reads one report from the socket's error queue; false when it holds no ICMP error.
bool read_error_report(int fd, uint8_t* buffer, size_t size, UdpErrorReport* report) {
    sockaddr_in quoted{};
    iovec data{buffer, size};
    alignas(cmsghdr) char control[256];
    msghdr message{};
    message.msg_name = &quoted;
    message.msg_namelen = sizeof quoted;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t length = recvmsg(fd, &message, MSG_ERRQUEUE | MSG_DONTWAIT);
    if (length < 0)
        return false;
    bool from_icmp = false;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != IPPROTO_IP)
            continue;
        if (c->cmsg_type == IP_RECVERR) {
            sock_extended_err error{};
            std::memcpy(&error, CMSG_DATA(c), sizeof error);
            if (error.ee_origin != SO_EE_ORIGIN_ICMP)
                continue;
            sockaddr_in offender{};
            std::memcpy(&offender, CMSG_DATA(c) + sizeof error, sizeof offender);
            from_icmp = true;
            report->offender = offender.sin_addr.s_addr;
            report->icmp_type = error.ee_type;
            report->icmp_code = error.ee_code;
        } else if (c->cmsg_type == IP_TTL) {
            int ttl = 0;
            std::memcpy(&ttl, CMSG_DATA(c), sizeof ttl);
            report->ttl = static_cast<uint8_t>(ttl);
        }
    }
    report->quoted_destination = quoted.sin_addr.s_addr;
    report->quoted_destination_port = ntohs(quoted.sin_port);
    report->quoted_payload = buffer;
    report->quoted_payload_length = static_cast<size_t>(length);
    return from_icmp;
}

// Binds the ordinary socket to the probe's source port and readies it; false when the
// port or a needed option cannot be had (another program holds it unshared). Other
// runs of tarnhop may hold the port at the same time (SO_REUSEADDR); the connected
// address steers each ICMP error to the socket whose datagram it quotes, except
// between runs that probe the same port of the same target at the same moment.
bool prepare_ordinary(int fd, const UdpExchange& exchange) {
    set_int_option(fd, SOL_SOCKET, SO_REUSEADDR, 1);
    sockaddr_in local = ipv4_address(INADDR_ANY, exchange.source_port);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        return false;
    if (!prepare_sender(fd, exchange.ttl) || !set_int_option(fd, IPPROTO_IP, IP_RECVERR, 1) ||
        !set_int_option(fd, IPPROTO_IP, IP_RECVTTL, 1))
        return false;
    set_int_option(fd, SOL_SOCKET, SO_NO_CHECK, 1);
    return true;
}

UdpOutcome ordinary_exchange(const UdpExchange& exchange, const Socket& udp) {
    if (exchange.datagram_length < kUdpHeaderSize || !prepare_ordinary(udp.fd(), exchange))
        return {};
    sockaddr_in destination = ipv4_address(exchange.target, exchange.destination_port);
    Wait wait = start_wait(exchange);
    // The kernel writes the same UDP header: only the payload is handed over.
    if (connect(udp.fd(), reinterpret_cast<const sockaddr*>(&destination), sizeof destination) == 0)
        send(udp.fd(), exchange.datagram + kUdpHeaderSize,
             exchange.datagram_length - kUdpHeaderSize, 0);
    uint8_t buffer[kUdpReceiveSize];
    for (short events; (events = wait.next(udp.fd(), POLLIN)) != 0;) {
        int64_t receive_ns = now_ns();
        if ((events & POLLERR) == 0) {
            // Ordinary data from the target's port is no answer: drop it.
            recv(udp.fd(), buffer, sizeof buffer, MSG_DONTWAIT);
            continue;
        }
        UdpErrorReport report;
        if (!read_error_report(udp.fd(), buffer, sizeof buffer, &report)) {
            // A pending error without a queued report: reading it clears it.
            int pending = 0;
            socklen_t size = sizeof pending;
            getsockopt(udp.fd(), SOL_SOCKET, SO_ERROR, &pending, &size);
            continue;
        }
        UdpArrival arrival;
        arrival.report = &report;
        if (exchange.accept(arrival, exchange.context))
            return wait.answered(receive_ns);
    }
    return {};
}

#endif

}  // namespace

UdpOutcome platform_udp_exchange(const UdpExchange& exchange) {
    {
        // The receiving socket first, so that no answer comes before it listens.
        Socket icmp(socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP));
        Socket udp(icmp.ok() ? socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_UDP) : -1);
        if (icmp.ok() && udp.ok())
            return raw_exchange(exchange, icmp, udp);
    }
#if defined(__linux__)
    // No raw sockets for this process: the unprivileged way.
    Socket udp(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
    if (udp.ok())
        return ordinary_exchange(exchange, udp);
#endif
    return {};
}
