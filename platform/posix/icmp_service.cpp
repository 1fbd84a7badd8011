// POSIX: the ICMP echo service, over an ICMP datagram ("ping") socket where the system
// allows one, else over a raw ICMP socket.
#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <span>

#include "platform/platform.h"
#include "platform/posix/socket_option.h"
#include "platform/posix/stamps.h"
#include "wire/icmp_echo.h"

namespace {

enum class SocketKind { ping, raw };

struct EchoService {
    int fd = -1;
    SocketKind kind = SocketKind::ping;
    uint16_t identifier = 0;  // host byte order
    uint16_t sequence = 0;
    int ttl_set = -1;  // what the socket carries now; -1 unknown
    int tos_set = -1;
    int64_t transmit_stamp_ns = 0;  // the kernel's stamp of the last request sent; 0 none
};

EchoService service;

// Big enough for any IPv4 datagram, so nothing that arrives is ever cut.
constexpr size_t kPacketCap = 65536;
uint8_t send_buffer[kPacketCap];
uint8_t receive_buffer[kPacketCap];

constexpr int kSendAttempts = 3;

// The don't-fragment flag is never set: big requests leave in fragments.
bool set_common_options(int fd) {
    return set_int_option(fd, IPPROTO_IP, IP_MTU_DISCOVER, IP_PMTUDISC_DONT);
}

// A datagram socket: the kernel fills in the identifier (the bound port) and hands us
// only echo replies that carry it; ICMP errors come on the error queue.
bool open_ping_socket(int* error) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0) {
        *error = errno;
        return false;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    socklen_t local_length = sizeof local;
    if (!set_int_option(fd, IPPROTO_IP, IP_RECVERR, 1) ||
        !set_int_option(fd, IPPROTO_IP, IP_RECVTTL, 1) || !set_common_options(fd) ||
        bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_length) != 0) {
        *error = errno;
        close(fd);
        return false;
    }
    enable_stamps(fd);
    service.fd = fd;
    service.kind = SocketKind::ping;
    service.identifier = ntohs(local.sin_port);
    return true;
}

// A raw socket sees every ICMP message that reaches the host; the filter keeps only the
// types that can answer a request.
bool open_raw_socket(int* error) {
    int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0) {
        *error = errno;
        return false;
    }
    icmp_filter filter{};
    filter.data =
        ~((1u << kIcmpEchoReply) | (1u << kIcmpDestUnreachable) | (1u << kIcmpSourceQuench) |
          (1u << kIcmpTimeExceeded) | (1u << kIcmpParamProblem));
    if (setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter) != 0 ||
        !set_common_options(fd)) {
        *error = errno;
        close(fd);
        return false;
    }
    enable_stamps(fd);
    service.fd = fd;
    service.kind = SocketKind::raw;
    service.identifier = static_cast<uint16_t>(getpid() & 0xffff);
    return true;
}

bool set_probe_options(uint8_t ttl, uint8_t tos) {
    if (service.ttl_set != ttl) {
        service.ttl_set = -1;
        if (!set_int_option(service.fd, IPPROTO_IP, IP_TTL, ttl))
            return false;
        service.ttl_set = ttl;
    }
    if (service.tos_set != tos) {
        service.tos_set = -1;
        if (!set_int_option(service.fd, IPPROTO_IP, IP_TOS, tos))
            return false;
        service.tos_set = tos;
    }
    return true;
}

struct Received {
    std::span<const uint8_t> bytes;
    uint32_t source = 0;  // network byte order
    int ttl = 0;
    const sock_extended_err* report = nullptr;
    int64_t stamp_ns = 0;  // when the kernel received it (realtime); 0 when not stamped
};

// One message from the socket, or from its error queue, without waiting.
bool receive(int flags, Received* got, uint8_t (&control)[512]) {
    sockaddr_in from{};
    iovec io{receive_buffer, sizeof receive_buffer};
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t length = recvmsg(service.fd, &message, flags | MSG_DONTWAIT);
    if (length < 0)
        return false;
    size_t kept = static_cast<size_t>(length) < sizeof receive_buffer ? static_cast<size_t>(length)
                                                                      : sizeof receive_buffer;
    got->bytes = std::span<const uint8_t>(receive_buffer, kept);
    got->source = from.sin_addr.s_addr;
    ControlData data = read_control(message);
    got->ttl = data.ttl < 0 ? 0 : data.ttl;
    got->report = data.report;
    got->stamp_ns = data.stamp_ns;
    return true;
}

// Empties the error queue and clears the pending socket error that would make the next
// send fail. The kernel's transmit stamps of earlier requests go with it.
void drain_error_queue() {
    alignas(cmsghdr) uint8_t control[512];
    Received got;
    while (receive(MSG_ERRQUEUE, &got, control)) {
    }
    int pending = 0;
    socklen_t length = sizeof pending;
    getsockopt(service.fd, SOL_SOCKET, SO_ERROR, &pending, &length);
}

// Whatever arrived before the request went out cannot answer it.
void drain_stale() {
    alignas(cmsghdr) uint8_t control[512];
    Received got;
    drain_error_queue();
    while (receive(0, &got, control)) {
    }
}

// Sends the request; a pending error of an earlier probe makes sendto fail on a datagram
// socket, so the queue is emptied and the send tried again. The failed sendto has taken
// the error already, and the queue may hold nothing: the kernel can set the error just
// after its report was read. So a datagram socket always tries again, a few times.
bool send_request(uint32_t target, size_t length, SendClock* sent) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = target;
    drain_stale();
    service.transmit_stamp_ns = 0;
    for (int attempt = 0; attempt < kSendAttempts; ++attempt) {
        *sent = read_send_clock();
        ssize_t result = sendto(service.fd, send_buffer, length, 0,
                                reinterpret_cast<const sockaddr*>(&to), sizeof to);
        if (result == static_cast<ssize_t>(length))
            return true;
        if (errno != EINTR && service.kind != SocketKind::ping)
            return false;
        drain_error_queue();
    }
    return false;
}

// One message of the error queue: the kernel's transmit stamp of the request (kept, no
// answer), or on a datagram socket an ICMP error that may answer it.
IcmpAnswer read_error_queue(const EchoMatch& match, int64_t* stamp_ns) {
    alignas(cmsghdr) uint8_t control[512];
    Received got;
    if (!receive(MSG_ERRQUEUE, &got, control)) {
        drain_error_queue();  // a pending error without a queued report
        return {};
    }
    if (got.report == nullptr)
        return {};
    if (is_transmit_stamp(*got.report)) {
        if (int64_t stamp = departure_stamp(*got.report, got.stamp_ns); stamp != 0)
            service.transmit_stamp_ns = stamp;
        return {};
    }
    if (service.kind != SocketKind::ping)
        return {};
    ErrorReport report;
    report.from_icmp = got.report->ee_origin == SO_EE_ORIGIN_ICMP;
    report.type = got.report->ee_type;
    report.code = got.report->ee_code;
    sockaddr_in offender{};
    // The offender's address follows the report (SO_EE_OFFENDER, without its cast).
    std::memcpy(&offender, got.report + 1, sizeof offender);
    report.offender = offender.sin_family == AF_INET ? offender.sin_addr.s_addr : 0;
    report.destination = got.source;  // the error queue names the request's destination
    report.ttl = static_cast<uint8_t>(got.ttl);
    *stamp_ns = got.stamp_ns;
    return read_error_report(report, got.bytes, match);
}

// Reads what the wake-up announced; *stamp_ns becomes the kernel's receive stamp of an
// answer.
IcmpAnswer read_arrival(const EchoMatch& match, short events, int64_t* stamp_ns) {
    alignas(cmsghdr) uint8_t control[512];
    Received got;
    if ((events & POLLERR) != 0) {
        IcmpAnswer found = read_error_queue(match, stamp_ns);
        if (found.kind != AnswerKind::not_ours || (events & POLLIN) == 0)
            return found;
    }
    if (!receive(0, &got, control))
        return {};
    *stamp_ns = got.stamp_ns;
    if (service.kind == SocketKind::raw)
        return read_raw_datagram(got.bytes, match);
    return read_ping_datagram(got.bytes, got.source, static_cast<uint8_t>(got.ttl), match);
}

// The transmit stamp normally comes back before the answer; when it is still on the
// queue, it is taken now, without waiting for it. Anything else on the queue is stale
// once the request is answered.
void take_transmit_stamp() {
    alignas(cmsghdr) uint8_t control[512];
    Received got;
    while (service.transmit_stamp_ns == 0 && receive(MSG_ERRQUEUE, &got, control)) {
        if (got.report != nullptr && is_transmit_stamp(*got.report))
            service.transmit_stamp_ns = departure_stamp(*got.report, got.stamp_ns);
    }
}

// Waits until the deadline for the answer to this request, passing over everything else.
EchoAnswer await_answer(const EchoMatch& match, const SendClock& sent, int64_t deadline_ns) {
    for (bool first = true;; first = false) {
        int64_t remaining = deadline_ns - monotonic_ns();
        if (remaining <= 0 && !first)
            return {};
        if (remaining < 0)
            remaining = 0;
        timespec wait{static_cast<time_t>(remaining / 1000000000),
                      static_cast<long>(remaining % 1000000000)};
        pollfd watched{service.fd, POLLIN, 0};
        int ready = ppoll(&watched, 1, &wait, nullptr);
        if (ready < 0 && errno != EINTR)
            return {};
        if (ready <= 0)
            continue;
        // Without a kernel stamp, the answer's time is when it was seen to be there.
        int64_t woke_ns = monotonic_ns();
        int64_t stamp_ns = 0;
        IcmpAnswer found = read_arrival(match, watched.revents, &stamp_ns);
        if (found.kind == AnswerKind::not_ours)
            continue;
        take_transmit_stamp();
        EchoAnswer answer;
        answer.answered = true;
        answer.rtt_ms = round_trip_ms(sent, service.transmit_stamp_ns, stamp_ns, woke_ns);
        answer.responder = found.responder;
        answer.status = found.status;
        answer.ttl = found.ttl;
        return answer;
    }
}

}  // namespace

IcmpOpenStatus platform_icmp_open() {
    int ping_error = 0;
    int raw_error = 0;
    if (open_ping_socket(&ping_error) || open_raw_socket(&raw_error))
        return {};
    // A refused datagram socket says more than the raw socket's refusal that follows it
    // (ping_group_range leaves this user out); otherwise the raw socket's reason counts.
    int error = ping_error == EACCES || ping_error == EPERM ? ping_error : raw_error;
    return {IcmpOpenResult::create_failed, error};
}

EchoAnswer platform_icmp_echo(const EchoRequest& request) {
    // TTL 0 cannot leave (the kernel refuses it); never send with an earlier TTL instead.
    if (service.fd < 0 || request.ttl == 0)
        return {};
    EchoMatch match;
    match.target = request.target;
    match.identifier = service.identifier;
    match.sequence = ++service.sequence;
    size_t length = build_echo_request(send_buffer, service.identifier, match.sequence,
                                       std::span<const uint8_t>(request.data, request.size));
    if (length == 0 || !set_probe_options(request.ttl, request.tos))
        return {};
    SendClock sent;
    if (!send_request(request.target, length, &sent))
        return {};
    int64_t timeout_ms = request.timeout_ms > 0 ? request.timeout_ms : 0;
    return await_answer(match, sent, sent.monotonic_ns + timeout_ms * 1000000);
}

int32_t platform_icmp_close() {
    if (service.fd < 0)
        return 0;
    int result = close(service.fd);
    int error = result == 0 ? 0 : errno;
    service = EchoService{};
    return error;
}
