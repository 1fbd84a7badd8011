// What the fuzzers share: require() to end the run on a broken invariant, and for the
// packet fuzzers the addresses of their packets, a second reading of the IPv4 datagram
// around an ICMP message and of the datagram an error quotes, written from RFC 791 and
// RFC 792 apart from the program's own reader, and the answers a network sends about a
// probe, built as the fuzz input shapes them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <vector>

#include "support/packets.h"
#include "wire/bytes.h"
#include "wire/checksum.h"

// Aborts, which libFuzzer reports as a crash with its input, unless holds.
inline void require(bool holds) {
    if (!holds)
        std::abort();
}

constexpr uint32_t kTarget = 0x020512c6;  // 198.18.5.2 in network byte order
constexpr uint32_t kOwn = 0x0101a8c0;     // 192.168.1.1, the prober

using Bytes = std::span<const uint8_t>;

// An IPv4 header that the bytes hold whole: its length, or 0.
inline size_t header_length(Bytes bytes) {
    if (bytes.size() < 20 || bytes[0] / 16 != 4)
        return 0;
    size_t length = (bytes[0] % 16) * 4u;
    return length >= 20 && length <= bytes.size() ? length : 0;
}

// The ICMP message in a received datagram: protocol 1, a whole header and at least 8
// bytes of ICMP after it; the bytes the total length covers, with a correct checksum. A
// datagram cut short by the receive (total length beyond its bytes) gives what it holds,
// unchecked, when cut_allowed, and nothing otherwise.
inline std::optional<Bytes> icmp_in(Bytes datagram, bool cut_allowed) {
    size_t header = header_length(datagram);
    if (header == 0 || datagram[9] != 1 || datagram.size() < header + 8)
        return std::nullopt;
    size_t total = read_u16(datagram, 2);
    if (total > datagram.size())
        return cut_allowed ? std::optional(datagram.subspan(header)) : std::nullopt;
    if (total < header + 8 || !checksum_holds(datagram.subspan(header, total - header)))
        return std::nullopt;
    return datagram.subspan(header, total - header);
}

// What follows the header of a quoted datagram of this protocol to the target, when the
// quote holds that header whole; nothing otherwise.
inline std::optional<Bytes> quoted_probe(Bytes quote, uint8_t protocol) {
    size_t inner = header_length(quote);
    if (inner == 0 || quote[9] != protocol || read_address(quote, 16) != kTarget)
        return std::nullopt;
    return quote.subspan(inner);
}

// How the fuzz input shapes an answer built around a probe, from its first nine bytes.
struct Wrapping {
    uint8_t kind;          // picks the ICMP type and code
    size_t outer_options;  // bytes of IP options in the answer's header
    size_t inner_options;  // and in the header of the quoted probe
    size_t cut;            // bytes quoted after the probe's 8-byte ICMP or UDP header
    uint8_t ttl;           // of the answer
    uint32_t responder;
    Bytes rest;  // the input after these, at most 1400 bytes
};

inline std::optional<Wrapping> read_wrapping(Bytes input) {
    if (input.size() < 9)
        return std::nullopt;
    return Wrapping{input[0],
                    input[1] % 11 * 4u,
                    input[2] % 11 * 4u,
                    input[3],
                    input[4],
                    read_address(input, 5),
                    input.subspan(9, std::min<size_t>(input.size() - 9, 1400))};
}

// The datagram that carries an answer's ICMP message from source to the prober.
inline std::vector<uint8_t> answer_datagram(const Wrapping& w, uint32_t source, Bytes icmp) {
    return packet::ipv4_datagram(
        {.source = source, .destination = kOwn, .ttl = w.ttl, .option_bytes = w.outer_options},
        icmp);
}

// The datagram of the ICMP error (type, code) that the responder sends about a probe
// (its ICMP or UDP header and payload, sent to the target with TTL 1): the quote holds
// the probe's IP header and 8 + w.cut bytes after it, as far as the probe reaches; with
// extensions, RFC 4884 extensions follow.
inline std::vector<uint8_t> error_about(const Wrapping& w, const uint8_t (&kind)[2],
                                        uint8_t protocol, Bytes probe, bool extensions) {
    std::vector<uint8_t> quote = packet::ipv4_datagram({.source = kOwn,
                                                        .destination = kTarget,
                                                        .ttl = 1,
                                                        .protocol = protocol,
                                                        .option_bytes = w.inner_options},
                                                       probe);
    quote.resize(std::min(quote.size(), 20 + w.inner_options + 8 + w.cut));
    uint32_t words = 0;
    if (extensions) {
        // RFC 4884: the quote padded to 32 bits, its length in words, then extensions.
        words = static_cast<uint32_t>(quote.size() + 3) / 4;
        quote.resize(words * 4, 0);
        quote.insert(quote.end(), {0x20, 0x00, 0x00, 0x00, 0x00, 0x08, 0x01, 0x01, 0x11, 0x22});
    }
    return answer_datagram(w, w.responder,
                           packet::icmp_message(kind[0], kind[1], words << 16, quote));
}
