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
#include "platform/posix/socket_option.h"
#include "platform/posix/stamps.h"

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

// One received message: its length (negative when nothing was read) and the kernel's
// receive stamp.
struct Message {
    ssize_t length = -1;
    ControlData control;
};

// Reads one message without waiting, with the sender's address when from is given.
Message receive(int fd, int flags, uint8_t* buffer, size_t size, sockaddr_in* from,
                uint8_t (&control)[256]) {
    iovec data{buffer, size};
    msghdr message{};
    if (from != nullptr) {
        message.msg_name = from;
        message.msg_namelen = sizeof *from;
    }
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    Message got;
    got.length = recvmsg(fd, &message, flags | MSG_DONTWAIT);
    if (got.length >= 0)
        got.control = read_control(message);
    return got;
}

// The kernel's transmit stamp of the datagram, when it is on the socket's error queue
// already; 0 otherwise. Never waits for it. ICMP errors read on the way are not needed
// any more: the probe is answered.
int64_t transmit_stamp(int fd) {
    alignas(cmsghdr) uint8_t control[256];
    uint8_t buffer[64];
    for (;;) {
        Message got = receive(fd, MSG_ERRQUEUE, buffer, sizeof buffer, nullptr, control);
        if (got.length < 0)
            return 0;
        int64_t stamp = got.control.report != nullptr
                            ? departure_stamp(*got.control.report, got.control.stamp_ns)
                            : 0;
        if (stamp != 0)
            return stamp;
    }
}

// The wait: one probe's arrivals until it is answered or its deadline has passed.
struct Wait {
    SendClock sent;
    int64_t deadline_ns = 0;
    bool looked = false;
    int64_t woke_ns = 0;  // monotonic, when the last wake-up came

    // Waits for the socket until the deadline; the poll events, or 0 once time is up.
    // Once past the deadline nothing more is read, however much keeps arriving; the
    // first look is always taken, so that a zero timeout still sees what is there.
    short next(int fd, short events) {
        pollfd watched{fd, events, 0};
        for (;;) {
            int64_t left = deadline_ns - monotonic_ns();
            if (left <= 0 && looked)
                return 0;
            looked = true;
            if (left < 0)
                left = 0;
            timespec span{static_cast<time_t>(left / 1000000000),
                          static_cast<long>(left % 1000000000)};
            int ready = ppoll(&watched, 1, &span, nullptr);
            if (ready > 0) {
                woke_ns = monotonic_ns();
                return watched.revents;
            }
            if (ready == 0 || errno != EINTR || left == 0)
                return 0;
        }
    }

    // The answer's time: from the kernel's stamps where it gave them, else from the
    // clocks read before the send and at the wake-up.
    UdpOutcome answered(int64_t transmit_stamp_ns, int64_t receive_stamp_ns) const {
        UdpOutcome outcome;
        outcome.answered = true;
        outcome.rtt_ms = round_trip_ms(sent, transmit_stamp_ns, receive_stamp_ns, woke_ns);
        return outcome;
    }
};

// Read right before the send.
Wait start_wait(const UdpExchange& exchange) {
    Wait wait;
    wait.sent = read_send_clock();
    int64_t timeout = exchange.timeout_ms > 0 ? exchange.timeout_ms : 0;
    wait.deadline_ns = wait.sent.monotonic_ns + timeout * 1000000;
    return wait;
}

UdpOutcome raw_exchange(const UdpExchange& exchange, const Socket& icmp, const Socket& udp) {
    sockaddr_in any = ipv4_address(INADDR_ANY, 0);
    bind(icmp.fd(), reinterpret_cast<const sockaddr*>(&any), sizeof any);
    if (!prepare_sender(udp.fd(), exchange.ttl))
        return {};
    enable_stamps(icmp.fd());
    enable_stamps(udp.fd());
    sockaddr_in destination = ipv4_address(exchange.target, exchange.destination_port);
    Wait wait = start_wait(exchange);
    // A datagram that failed to go out simply gets no answer within the wait.
    sendto(udp.fd(), exchange.datagram, exchange.datagram_length, 0,
           reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
    uint8_t buffer[kUdpReceiveSize];
    alignas(cmsghdr) uint8_t control[256];
    for (short events; (events = wait.next(icmp.fd(), POLLIN)) != 0;) {
        if ((events & POLLERR) != 0)
            transmit_stamp(icmp.fd());  // its own stamps, of nothing it sent: dropped
        // A raw socket hands over one packet per read, cut to the buffer.
        Message got = receive(icmp.fd(), 0, buffer, sizeof buffer, nullptr, control);
        if (got.length <= 0)
            continue;
        UdpArrival arrival;
        arrival.packet = buffer;
        arrival.packet_length = static_cast<size_t>(got.length);
        if (exchange.accept(arrival, exchange.context))
            return wait.answered(transmit_stamp(udp.fd()), got.control.stamp_ns);
    }
    return {};
}

#if defined(__linux__)

// What one message of the socket's error queue was.
enum class Queued { nothing, transmit_stamp, icmp_error };

// Reads one message of the socket's error queue: the kernel's transmit stamp of the
// datagram (into *stamp_ns), or an ICMP error about it (into *report, with the time the
// kernel received it in *stamp_ns).
Queued read_error_queue(int fd, uint8_t* buffer, size_t size, UdpErrorReport* report,
                        int64_t* stamp_ns) {
    sockaddr_in quoted{};
    alignas(cmsghdr) uint8_t control[256];
    Message got = receive(fd, MSG_ERRQUEUE, buffer, size, &quoted, control);
    if (got.length < 0 || got.control.report == nullptr)
        return Queued::nothing;
    const sock_extended_err& error = *got.control.report;
    if (is_transmit_stamp(error)) {
        *stamp_ns = departure_stamp(error, got.control.stamp_ns);
        return Queued::transmit_stamp;
    }
    if (error.ee_origin != SO_EE_ORIGIN_ICMP)
        return Queued::nothing;
    sockaddr_in offender{};
    // The offender's address follows the report (SO_EE_OFFENDER, without its cast).
    std::memcpy(&offender, &error + 1, sizeof offender);
    report->offender = offender.sin_addr.s_addr;
    report->icmp_type = error.ee_type;
    report->icmp_code = error.ee_code;
    if (got.control.ttl >= 0)
        report->ttl = static_cast<uint8_t>(got.control.ttl);
    report->quoted_destination = quoted.sin_addr.s_addr;
    report->quoted_destination_port = ntohs(quoted.sin_port);
    report->quoted_payload = buffer;
    report->quoted_payload_length = static_cast<size_t>(got.length);
    *stamp_ns = got.control.stamp_ns;
    return Queued::icmp_error;
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
    enable_stamps(udp.fd());
    sockaddr_in destination = ipv4_address(exchange.target, exchange.destination_port);
    Wait wait = start_wait(exchange);
    // The kernel writes the same UDP header: only the payload is handed over.
    if (connect(udp.fd(), reinterpret_cast<const sockaddr*>(&destination), sizeof destination) == 0)
        send(udp.fd(), exchange.datagram + kUdpHeaderSize,
             exchange.datagram_length - kUdpHeaderSize, 0);
    uint8_t buffer[kUdpReceiveSize];
    int64_t sent_stamp_ns = 0;
    for (short events; (events = wait.next(udp.fd(), POLLIN)) != 0;) {
        if ((events & POLLERR) == 0) {
            // Ordinary data from the target's port is no answer: drop it.
            recv(udp.fd(), buffer, sizeof buffer, MSG_DONTWAIT);
            continue;
        }
        UdpErrorReport report;
        int64_t stamp_ns = 0;
        Queued queued = read_error_queue(udp.fd(), buffer, sizeof buffer, &report, &stamp_ns);
        if (queued == Queued::transmit_stamp) {
            if (stamp_ns != 0)
                sent_stamp_ns = stamp_ns;
            continue;
        }
        if (queued == Queued::nothing) {
            // A pending error without a queued report: reading it clears it.
            int pending = 0;
            socklen_t size = sizeof pending;
            getsockopt(udp.fd(), SOL_SOCKET, SO_ERROR, &pending, &size);
            continue;
        }
        UdpArrival arrival;
        arrival.report = &report;
        if (exchange.accept(arrival, exchange.context)) {
            if (sent_stamp_ns == 0)
                sent_stamp_ns = transmit_stamp(udp.fd());
            return wait.answered(sent_stamp_ns, stamp_ns);
        }
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
