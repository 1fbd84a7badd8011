// Windows: the sockets of one UDP probe, a raw UDP socket to send and a raw ICMP socket
// to hear the answers. Windows hands the ICMP errors about an ordinary UDP socket to
// nobody, so without raw sockets (administrators only) the probe goes unanswered.
// The system headers work only in this order.
// clang-format off
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <mmsystem.h>
// clang-format on

#include <cstring>

#include "platform/platform.h"

namespace {

// Closes the socket when the probe is done with it.
class Socket {
public:
    explicit Socket(SOCKET handle) : handle_(handle) {}
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() {
        if (ok())
            closesocket(handle_);
    }
    SOCKET handle() const { return handle_; }
    bool ok() const { return handle_ != INVALID_SOCKET; }

private:
    SOCKET handle_;
};

bool set_dword_option(SOCKET handle, int level, int name, DWORD value) {
    return setsockopt(handle, level, name, reinterpret_cast<const char*>(&value), sizeof value) ==
           0;
}

sockaddr_in ipv4_address(uint32_t address, uint16_t port) {
    sockaddr_in socket_address{};
    socket_address.sin_family = AF_INET;
    socket_address.sin_addr.s_addr = address;
    socket_address.sin_port = htons(port);
    return socket_address;
}

// A datagram must not leave with any other TTL than the probe's (and none leaves with
// TTL 0). The don't-fragment bit stays clear, as for the echo probes.
bool prepare_sender(SOCKET handle, uint8_t ttl) {
    if (ttl == 0 || !set_dword_option(handle, IPPROTO_IP, IP_TTL, ttl))
        return false;
    set_dword_option(handle, IPPROTO_IP, IP_DONTFRAGMENT, FALSE);
    return true;
}

// Waits until the socket has a packet or the wait's time is up: true for a packet.
bool wait_readable(SOCKET handle, uint32_t left_ms) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(handle, &readable);
    timeval span{};
    span.tv_sec = static_cast<long>(left_ms / 1000);
    span.tv_usec = static_cast<long>(left_ms % 1000) * 1000;
    return select(0, &readable, nullptr, nullptr, &span) > 0;
}

// Reads one packet; its length, or 0 when there was none. Windows reports a packet
// longer than the buffer as an error but delivers its first part all the same.
size_t receive_packet(SOCKET handle, uint8_t* buffer, size_t size) {
    std::memset(buffer, 0, size);
    sockaddr_in sender{};
    int sender_size = sizeof sender;
    int length = recvfrom(handle, reinterpret_cast<char*>(buffer), static_cast<int>(size), 0,
                          reinterpret_cast<sockaddr*>(&sender), &sender_size);
    if (length == SOCKET_ERROR)
        return WSAGetLastError() == WSAEMSGSIZE ? size : 0;
    return static_cast<size_t>(length);
}

}  // namespace

UdpOutcome platform_udp_exchange(const UdpExchange& exchange) {
    // The receiving socket first, so that no answer comes before it listens.
    Socket icmp(socket(AF_INET, SOCK_RAW, IPPROTO_ICMP));
    if (!icmp.ok())
        return {};
    Socket udp(socket(AF_INET, SOCK_RAW, IPPROTO_UDP));
    if (!udp.ok() || !prepare_sender(udp.handle(), exchange.ttl))
        return {};
    // Windows delivers nothing to a raw socket that is not bound; reads must not block
    // on a packet that the wait saw but that is gone by now.
    sockaddr_in any = ipv4_address(INADDR_ANY, 0);
    bind(icmp.handle(), reinterpret_cast<const sockaddr*>(&any), sizeof any);
    u_long nonblocking = 1;
    ioctlsocket(icmp.handle(), FIONBIO, &nonblocking);

    sockaddr_in destination = ipv4_address(exchange.target, exchange.destination_port);
    const uint32_t timeout =
        exchange.timeout_ms > 0 ? static_cast<uint32_t>(exchange.timeout_ms) : 0;
    const uint32_t send_ms = timeGetTime();
    // A datagram that failed to go out simply gets no answer within the wait.
    sendto(udp.handle(), reinterpret_cast<const char*>(exchange.datagram),
           static_cast<int>(exchange.datagram_length), 0,
           reinterpret_cast<const sockaddr*>(&destination), sizeof destination);

    uint8_t buffer[kUdpReceiveSize];
    // Once the time is up nothing more is read, however much keeps arriving (a wait of
    // 0 still reports a queued packet); the first look is always taken, so that a zero
    // timeout still sees what is there.
    for (bool first = true;; first = false) {
        // The clock wraps after 49.7 days: differences in unsigned arithmetic.
        uint32_t spent = timeGetTime() - send_ms;
        if (spent >= timeout && !first)
            return {};
        if (!wait_readable(icmp.handle(), spent < timeout ? timeout - spent : 0))
            return {};
        uint32_t receive_ms = timeGetTime();
        size_t length = receive_packet(icmp.handle(), buffer, sizeof buffer);
        if (length == 0)
            continue;
        UdpArrival arrival;
        arrival.packet = buffer;
        arrival.packet_length = length;
        if (exchange.accept(arrival, exchange.context)) {
            UdpOutcome outcome;
            outcome.answered = true;
            outcome.rtt_ms = static_cast<int32_t>(receive_ms - send_ms);
            return outcome;
        }
    }
}
