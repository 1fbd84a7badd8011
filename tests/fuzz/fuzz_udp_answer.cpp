// Fuzzes the reading of ICMP reports about a UDP probe: raw packets from the ICMP
// socket, and error-queue reports of an ordinary UDP socket.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "probe/udp_packet.h"

namespace {

constexpr uint32_t kTarget = 0x020512c6;  // 198.18.5.2 in network byte order

void check(const UdpAnswer& answer, const UdpProbeId& probe) {
    if (!answer.ours)
        return;
    // Only reports about a datagram can answer it: unreachable, time exceeded or
    // parameter problem.
    if (answer.icmp_type != 3 && answer.icmp_type != 11 && answer.icmp_type != 12)
        std::abort();
    int32_t status = udp_answer_status(answer, probe.target);
    if (status != 0 && status != 11013 && status != 11000 + answer.icmp_type)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    UdpProbeId probe;
    probe.target = kTarget;
    probe.destination_port = udp_destination_port(data[1]);
    probe.has_payload = data[0] & 2;
    probe.counter = data[1];
    std::span<const uint8_t> rest(data + 2, size - 2);
    if ((data[0] & 1) == 0) {
        check(read_udp_answer(rest, probe), probe);
        return 0;
    }
    if (rest.size() < 13)
        return 0;
    UdpErrorReport report;
    std::memcpy(&report.offender, rest.data(), 4);
    report.icmp_type = rest[4];
    report.icmp_code = rest[5];
    report.ttl = rest[6];
    std::memcpy(&report.quoted_destination, rest.data() + 7, 4);
    if (data[0] & 4)
        report.quoted_destination = kTarget;
    std::memcpy(&report.quoted_destination_port, rest.data() + 11, 2);
    if (data[0] & 8)
        report.quoted_destination_port = probe.destination_port;
    report.quoted_payload = rest.data() + 13;
    report.quoted_payload_length = rest.size() - 13;
    check(read_udp_error_report(report, probe), probe);
    return 0;
}
