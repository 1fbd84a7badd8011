// ICMP message types and the 8-byte header every ICMP message starts with.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kIcmpHeaderSize = 8;

constexpr uint8_t kIcmpEchoReply = 0;
constexpr uint8_t kIcmpDestUnreachable = 3;
constexpr uint8_t kIcmpSourceQuench = 4;
constexpr uint8_t kIcmpRedirect = 5;
constexpr uint8_t kIcmpEchoRequest = 8;
constexpr uint8_t kIcmpTimeExceeded = 11;
constexpr uint8_t kIcmpParamProblem = 12;

// Offset of the RFC 4884 length attribute in an error's header: the quoted datagram's
// length in 32-bit words, 0 when the error carries no extensions.
constexpr size_t kIcmpQuoteLengthAt = 5;
