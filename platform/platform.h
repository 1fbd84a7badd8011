// Everything tarnhop asks of the operating system. One implementation per platform
// (platform/posix/, platform/win32/); CMake picks the directory. Errors cross this seam
// as plain numbers and become text in cli/.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// ---- Socket layer -------------------------------------------------------------------

// Starts the socket layer; 0 on success, otherwise the layer's own error code.
int32_t platform_socket_startup();
void platform_socket_cleanup();

// ---- Timer, clock, sleep ------------------------------------------------------------

// Raise the system timer resolution to 1 ms for the probe loop, and give it back.
void platform_timer_raise();
void platform_timer_restore();

// Sleeps ms milliseconds; 0 or less returns at once.
void platform_sleep_ms(int32_t ms);

// ---- Console ------------------------------------------------------------------------

// Output of one formatter call holds at most this many bytes, terminating zero included.
constexpr size_t kFormatCap = 1024;

// printf-style formatting into out (at least kFormatCap bytes). The result is cut at
// kFormatCap - 1 characters and always terminated; returns its length.
size_t platform_format(char* out, const char* format, va_list args);

// From now on every write reaches the console at once.
void platform_stdout_unbuffered();
// Writes bytes to standard output; errors are ignored.
void platform_write_stdout(const char* text, size_t length);

// The system's own message text for an error number, or a defined text of ours when the
// system has none. Never empty.
std::string platform_system_message(int32_t code);

// ---- Resolver -----------------------------------------------------------------------

// IPv4 addresses are 32 bits in network byte order, as the socket layer keeps them.
constexpr uint32_t kAddressNone = 0xffffffffu;

// Reads dotted text the way the socket layer's inet_addr does (short forms such as
// "100" for 0.0.0.100 included); kAddressNone when the text is not an address.
uint32_t platform_inet_addr(const char* text);

// Dotted-decimal form of an address.
std::string platform_inet_ntoa(uint32_t address);

// Resolver failures in one number scheme on every platform.
constexpr int32_t kResolverHostNotFound = 11001;
constexpr int32_t kResolverTryAgain = 11002;
constexpr int32_t kResolverNoRecovery = 11003;
constexpr int32_t kResolverNoData = 11004;

// Forward lookup of a host name: the first IPv4 address of the answer. On failure
// returns false and sets *error to one of the codes above.
bool platform_resolve_name(const char* name, uint32_t* address, int32_t* error);

// Reverse lookup: the official name of the address. False when there is none.
bool platform_reverse_lookup(uint32_t address, std::string* name);

// ---- Files --------------------------------------------------------------------------

// Full path of the running executable; empty when it cannot be had.
std::string platform_executable_path();

// Opens the null device on each of the standard descriptors (input, output, error)
// that is closed, so that no file or socket the program opens later takes its place.
void platform_guard_standard_descriptors();

// Which version of a file a read saw: two reads with equal stamps saw the same bytes.
// Not valid when the file could not be read.
struct FileStamp {
    bool valid = false;
    uint64_t volume = 0;
    uint64_t file = 0;
    uint64_t size = 0;
    uint64_t changed = 0;   // last change of contents, in the platform's ticks
    uint64_t modified = 0;  // last change of contents or attributes
};

// Reads a whole regular file; false when it cannot be opened or read or is not a regular
// file (a pipe, a device, a socket, a folder, or a link to one), which is never waited
// for. The stamp, when asked for, tells the version that was read.
bool platform_read_file(const std::string& path, std::vector<uint8_t>* bytes,
                        FileStamp* stamp = nullptr);

// What an update makes of a file: the bytes to write (valid until the update returns),
// or nothing to leave the file as it is.
struct FileUpdate {
    bool write = false;
    const uint8_t* data = nullptr;
    size_t size = 0;
};

// Rewrites the regular file at path (or behind a link at path) under an exclusive lock
// that other updates of the same file wait for. Under the lock, update is handed the
// file's bytes as they are now, or nullptr when the file is the version 'seen' stamps
// (its bytes are those read then); a file that is missing or cannot be read is handed as
// no bytes. The new bytes replace the file in one step (a file beside it renamed over
// it) where that keeps the file's owner; otherwise the file is written in place, from
// its first changed byte on. Nothing that is not a regular file is ever opened for
// writing, removed or replaced, and a link whose target is missing is left alone.
// False, with the file as it was, when it cannot be written or update leaves it.
// Exceptions from update (memory) pass through with the file unchanged.
bool platform_update_file(const std::string& path, const FileStamp& seen,
                          const std::function<FileUpdate(std::vector<uint8_t>* now)>& update);

// ---- ICMP echo service --------------------------------------------------------------

enum class IcmpOpenResult {
    ok,
    library_missing,  // the service's library could not be loaded
    entry_missing,    // one of its entry points is missing
    create_failed,    // the service refused to start; see error
};

struct IcmpOpenStatus {
    IcmpOpenResult result = IcmpOpenResult::ok;
    int32_t error = 0;  // system error number with create_failed
};

struct EchoRequest {
    uint32_t target = 0;  // network byte order
    uint8_t ttl = 0;
    uint8_t tos = 0;
    const uint8_t* data = nullptr;
    uint16_t size = 0;
    int32_t timeout_ms = 0;
};

struct EchoAnswer {
    bool answered = false;
    uint32_t responder = 0;  // network byte order
    int32_t status = 0;      // IP status code: 0 echo reply, 11013 TTL expired, ...
    int32_t rtt_ms = 0;      // whole milliseconds, cut
    uint8_t ttl = 0;         // TTL of the answering packet
};

IcmpOpenStatus platform_icmp_open();
// One echo request, and the first answer to it within timeout_ms.
EchoAnswer platform_icmp_echo(const EchoRequest& request);
// 0 on success, otherwise the system error number of the failed close.
int32_t platform_icmp_close();

// ---- UDP probe transport ------------------------------------------------------------

// Arrivals are read into a buffer of this many bytes; a longer packet is cut to it.
constexpr size_t kUdpReceiveSize = 512;

// An ICMP error about a datagram sent from an ordinary UDP socket, as the kernel's error
// queue reports it (the path taken when raw sockets are refused).
struct UdpErrorReport {
    uint32_t offender = 0;  // sender of the ICMP message, network byte order
    uint8_t icmp_type = 0;
    uint8_t icmp_code = 0;
    uint8_t ttl = 0;                       // TTL of the ICMP message's IP packet
    uint32_t quoted_destination = 0;       // network byte order
    uint16_t quoted_destination_port = 0;  // host byte order
    // What the message quoted of the datagram's payload (after its UDP header).
    const uint8_t* quoted_payload = nullptr;
    size_t quoted_payload_length = 0;
};

// What arrived for a UDP probe, as the platform saw it; exactly one of the two is set.
// The probe code decides whether it answers the probe (see probe/udp_packet.h).
struct UdpArrival {
    // Raw sockets: one received IPv4 packet, IP header included, cut to kUdpReceiveSize.
    const uint8_t* packet = nullptr;
    size_t packet_length = 0;
    // Ordinary UDP socket: one error report.
    const UdpErrorReport* report = nullptr;
};

struct UdpExchange {
    uint32_t target = 0;  // network byte order
    uint8_t ttl = 0;
    uint16_t source_port = 0;       // host byte order
    uint16_t destination_port = 0;  // host byte order
    // The 8-byte UDP header with these ports, then the payload.
    const uint8_t* datagram = nullptr;
    size_t datagram_length = 0;
    int32_t timeout_ms = 0;
    // Called for every arrival during the wait; returns true when it answers the probe.
    bool (*accept)(const UdpArrival& arrival, void* context) = nullptr;
    void* context = nullptr;
};

struct UdpOutcome {
    bool answered = false;
    int32_t rtt_ms = 0;  // from the send to the accepted arrival; whole milliseconds, cut
};

// Sends the datagram with the exchange's TTL and waits at most timeout_ms in all for an
// arrival that accept() takes. Raw sockets when they can be had, otherwise an ordinary
// UDP socket bound to the source port; unanswered at once when neither can be had or
// the TTL cannot be set (TTL 0 among others: the datagram never leaves with another).
UdpOutcome platform_udp_exchange(const UdpExchange& exchange);
