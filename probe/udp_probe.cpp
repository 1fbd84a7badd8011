// The UDP probe: one datagram per call, answered only by an ICMP error that quotes it.
#include "probe/udp_probe.h"

#include <array>

#include "platform/platform.h"
#include "probe/udp_packet.h"

namespace {

// Process-wide: rises with every UDP probe; its low 8 bits lead the payload.
uint32_t probe_counter = 0;

struct PendingProbe {
    UdpProbeId id;
    UdpAnswer answer;
};

bool accept_arrival(const UdpArrival& arrival, void* context) {
    auto* pending = static_cast<PendingProbe*>(context);
    if (arrival.report != nullptr)
        pending->answer = read_udp_error_report(*arrival.report, pending->id);
    else
        pending->answer = read_udp_answer({arrival.packet, arrival.packet_length}, pending->id);
    return pending->answer.ours;
}

}  // namespace

ProbeReply udp_probe(uint32_t target, uint8_t ttl, const RunSettings& settings) {
    auto& payload = request_payload();
    const uint8_t counter = static_cast<uint8_t>(probe_counter++ & 0xff);
    payload[0] = counter;

    ProbeReply reply;
    // A datagram cannot leave with TTL 0 (after the TTL wraps): unanswered at once.
    if (ttl == 0)
        return reply;
    std::array<uint8_t, kUdpDatagramSize> datagram{};
    const size_t payload_size =
        settings.data_size > 0 ? static_cast<size_t>(settings.data_size) : 0;
    const size_t length = build_udp_datagram(datagram, ttl, {payload.data(), payload_size});
    if (length == 0)
        return reply;

    PendingProbe pending;
    pending.id.target = target;
    pending.id.destination_port = udp_destination_port(ttl);
    pending.id.has_payload = payload_size > 0;
    pending.id.counter = counter;

    UdpExchange exchange;
    exchange.target = target;
    exchange.ttl = ttl;
    exchange.source_port = kUdpSourcePort;
    exchange.destination_port = pending.id.destination_port;
    exchange.datagram = datagram.data();
    exchange.datagram_length = length;
    exchange.timeout_ms = settings.timeout_ms;
    exchange.accept = accept_arrival;
    exchange.context = &pending;
    UdpOutcome outcome = platform_udp_exchange(exchange);
    if (!outcome.answered)
        return reply;
    reply.answered = true;
    reply.rtt_ms = outcome.rtt_ms;
    reply.responder = pending.answer.responder;
    reply.status = udp_answer_status(pending.answer, target);
    reply.reply_ttl = pending.answer.ttl;
    return reply;
}
