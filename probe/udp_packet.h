// The UDP probe's bytes: building the datagram, and telling the ICMP reports about it from
// everything else that arrives. Pure byte work: no sockets, clock or output here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/platform.h"
#include "wire/udp.h"

constexpr uint16_t kUdpSourcePort = 60001;
constexpr uint16_t kUdpBasePort = 33434;  // the probe with TTL n goes to this port + n

// Destination port of the probes with this TTL.
uint16_t udp_destination_port(uint8_t ttl);

// Writes the UDP header (source port 60001, the TTL's destination port, length, checksum
// 0, all in network byte order) and the payload into out. Returns the datagram's length,
// or 0 when it does not fit.
size_t build_udp_datagram(std::span<uint8_t> out, uint8_t ttl, std::span<const uint8_t> payload);

// What tells one probe's reports from others'.
struct UdpProbeId {
    uint32_t target = 0;            // network byte order
    uint16_t destination_port = 0;  // host byte order
    bool has_payload = false;       // the datagram carries payload byte 0, the counter
    uint8_t counter = 0;            // low 8 bits of the probe counter
};

// An arrival read against one probe; the other fields mean something only when ours.
struct UdpAnswer {
    bool ours = false;       // an ICMP error that quotes this probe's datagram
    uint32_t responder = 0;  // sender of the ICMP message, network byte order
    uint8_t icmp_type = 0;
    uint8_t ttl = 0;  // TTL of the ICMP message's IP packet
};

// Reads one IPv4 packet from a raw ICMP socket, possibly cut short. Ours only when it is
// a destination-unreachable, time-exceeded or parameter-problem message with a correct
// checksum (where the packet is whole) whose quote shows protocol UDP, the target,
// ports 60001 and the probe's port, and the probe's counter byte as far as the quote
// reaches it.
UdpAnswer read_udp_answer(std::span<const uint8_t> packet, const UdpProbeId& probe);

// The same reading for an error report from an ordinary UDP socket's error queue.
UdpAnswer read_udp_error_report(const UdpErrorReport& report, const UdpProbeId& probe);

// The IP status code of an answer: time exceeded 11013; otherwise 0 when the target
// itself answered; otherwise 11000 plus the ICMP type.
int32_t udp_answer_status(const UdpAnswer& answer, uint32_t target);
