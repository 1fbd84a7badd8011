// The UDP header and the size of the datagrams the UDP probe sends.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kUdpHeaderSize = 8;
// A probe's datagram, header included, fits a 1500-byte buffer: at most 1492 bytes of
// payload.
constexpr size_t kUdpDatagramSize = 1500;
constexpr int32_t kUdpMaxPayload = static_cast<int32_t>(kUdpDatagramSize - kUdpHeaderSize);
