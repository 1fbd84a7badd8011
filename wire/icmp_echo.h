// ICMP echo: the request we send and the reading of what comes back, as the echo service
// of every platform without one of its own needs them. Pure functions over byte spans: no
// socket, clock, allocation or output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "wire/icmp.h"

// Which request an answer must belong to.
struct EchoMatch {
    uint32_t target = 0;      // network byte order
    uint16_t identifier = 0;  // host byte order
    uint16_t sequence = 0;    // host byte order
};

enum class AnswerKind {
    not_ours,    // anything that does not answer this request: keep waiting
    echo_reply,  // the target's echo reply
    error,       // an ICMP error report about this request
};

struct IcmpAnswer {
    AnswerKind kind = AnswerKind::not_ours;
    uint32_t responder = 0;  // network byte order
    int32_t status = 0;      // IP status code
    uint8_t ttl = 0;         // TTL of the answering packet
};

// Writes an echo request (header, payload, checksum) into out. Returns its length, or 0
// when out cannot hold it.
size_t build_echo_request(std::span<uint8_t> out, uint16_t identifier, uint16_t sequence,
                          std::span<const uint8_t> payload);

// The IP status code of an ICMP message that answers a request (0 for an echo reply), or
// nothing when a message of this type and code is no answer (redirects, requests,
// unknown types).
std::optional<int32_t> icmp_answer_status(uint8_t type, uint8_t code);

// Reads one IPv4 datagram as a raw ICMP socket delivers it (IP header included).
IcmpAnswer read_raw_datagram(std::span<const uint8_t> datagram, const EchoMatch& match);

// Reads one message from an ICMP datagram ("ping") socket: the ICMP header and payload,
// no IP header. source and ttl come from the socket (sender address, IP_TTL).
IcmpAnswer read_ping_datagram(std::span<const uint8_t> message, uint32_t source, uint8_t ttl,
                              const EchoMatch& match);

// An ICMP error as an ICMP datagram socket reports it on its error queue.
struct ErrorReport {
    bool from_icmp = false;  // the kernel read it from an ICMP message (not a local error)
    uint8_t type = 0;        // ICMP type and code of the error message
    uint8_t code = 0;
    uint32_t offender = 0;     // the router or host that sent it, network byte order
    uint32_t destination = 0;  // destination of the request it quotes, network byte order
    uint8_t ttl = 0;           // TTL of the error message
};

// Reads an error-queue report; quoted is the part of our request that the error carries,
// starting with its ICMP header.
IcmpAnswer read_error_report(const ErrorReport& report, std::span<const uint8_t> quoted,
                             const EchoMatch& match);
