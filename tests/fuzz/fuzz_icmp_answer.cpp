// Fuzzes the reading of ICMP answers to an echo request in all three forms: a raw
// datagram, a ping-socket message, and an error-queue report with its quote.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "probe/icmp_packet.h"

namespace {

constexpr uint32_t kTarget = 0x020512c6;  // 198.18.5.2 in network byte order

void check(const IcmpAnswer& answer, const EchoMatch& match) {
    switch (answer.kind) {
    case AnswerKind::not_ours:
        return;
    case AnswerKind::echo_reply:
        // Only the target's own reply to this request counts as reaching it.
        if (answer.status != 0 || answer.responder != match.target)
            std::abort();
        return;
    case AnswerKind::error:
        // Reports carry a status the loop knows, never success or the timeout marker.
        if (answer.status < 11001 || answer.status > 11022 || answer.status == 11010)
            std::abort();
        return;
    }
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    EchoMatch match{kTarget, 0x1234, 7};
    std::span<const uint8_t> rest(data + 1, size - 1);
    switch (data[0] % 3) {
    case 0:
        check(read_raw_datagram(rest, match), match);
        break;
    case 1: {
        if (rest.size() < 5)
            return 0;
        uint32_t source;
        std::memcpy(&source, rest.data(), 4);
        check(read_ping_datagram(rest.subspan(5), source, rest[4], match), match);
        check(read_ping_datagram(rest.subspan(5), kTarget, rest[4], match), match);
        break;
    }
    default: {
        if (rest.size() < 12)
            return 0;
        ErrorReport report;
        report.from_icmp = rest[0] & 1;
        report.type = rest[1];
        report.code = rest[2];
        report.ttl = rest[3];
        std::memcpy(&report.offender, rest.data() + 4, 4);
        report.destination = (rest[0] & 2) ? kTarget : 0;
        if ((rest[0] & 2) == 0)
            std::memcpy(&report.destination, rest.data() + 8, 4);
        check(read_error_report(report, rest.subspan(12), match), match);
        break;
    }
    }
    return 0;
}
