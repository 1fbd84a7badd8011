// Fuzzes the reading of ICMP answers to an echo request in all three forms: a raw
// datagram, a ping-socket message, and an error-queue report with its quote. Each
// reading is compared with a plain second reading written from the packet formats
// (RFC 791, RFC 792): an answer is taken exactly when it is the target's echo reply to
// this request, or an error report of a known kind that quotes this request, and the
// responder, status and TTL are the packet's own. A fourth part builds a request with
// the program's builder and wraps it into the answers a network sends (echo reply,
// error reports with IP options outside and inside, quotes cut anywhere after the
// quoted ICMP header): each must be taken, in every form.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <vector>

#include "fuzz/second_reading.h"
#include "wire/icmp_echo.h"

namespace {

// The status an error of this type and code reports (code -1: any code not listed
// before it); 0 when it is no answer.
struct ErrorKind {
    uint8_t type;
    int code;
    int32_t status;
};
constexpr ErrorKind kErrorKinds[] = {
    {3, 0, 11002},  {3, 6, 11002},   {3, 9, 11002},   {3, 11, 11002}, {3, 2, 11004},
    {3, 3, 11005},  {3, 4, 11009},   {3, 5, 11012},   {3, -1, 11003}, {4, -1, 11016},
    {11, 1, 11014}, {11, -1, 11013}, {12, -1, 11015},
};

int32_t error_status(uint8_t type, uint8_t code) {
    const ErrorKind* kind = std::ranges::find_if(kErrorKinds, [&](const ErrorKind& kind) {
        return kind.type == type && (kind.code == code || kind.code == -1);
    });
    return kind == std::end(kErrorKinds) ? 0 : kind->status;
}

bool our_echo(Bytes icmp, uint8_t type, const EchoMatch& match) {
    return icmp.size() >= 8 && icmp[0] == type && icmp[1] == 0 &&
           read_u16(icmp, 4) == match.identifier && read_u16(icmp, 6) == match.sequence;
}

// The second reading of a ping-socket message, and of the ICMP message of a datagram.
IcmpAnswer expected_ping(Bytes message, uint32_t source, uint8_t ttl, const EchoMatch& match) {
    if (source != match.target || !our_echo(message, 0, match))
        return {};
    return {AnswerKind::echo_reply, source, 0, ttl};
}

// The second reading of a raw datagram.
IcmpAnswer expected_raw(Bytes datagram, const EchoMatch& match) {
    std::optional<Bytes> icmp = icmp_in(datagram, false);
    if (!icmp || (read_u16(datagram, 6) & 0x3fff) != 0)  // a fragment
        return {};
    uint32_t source = read_address(datagram, 12);
    if ((*icmp)[0] == 0)
        return expected_ping(*icmp, source, datagram[8], match);
    int32_t status = error_status((*icmp)[0], (*icmp)[1]);
    Bytes quote = icmp->subspan(8);
    std::optional<Bytes> request = quoted_probe(quote, 1);
    if (status == 0 || !request || (read_u16(quote, 6) & 0x1fff) != 0 ||
        !our_echo(*request, 8, match))
        return {};
    return {AnswerKind::error, source, status, datagram[8]};
}

IcmpAnswer expected_report(const ErrorReport& report, Bytes quoted, const EchoMatch& match) {
    int32_t status = error_status(report.type, report.code);
    if (!report.from_icmp || status == 0 || report.destination != match.target ||
        !our_echo(quoted, 8, match))
        return {};
    return {AnswerKind::error, report.offender, status, report.ttl};
}

void compare(const IcmpAnswer& got, const IcmpAnswer& want) {
    require(got.kind == want.kind);
    require(want.kind == AnswerKind::not_ours ||
            (got.responder == want.responder && got.status == want.status && got.ttl == want.ttl));
}

void check_built_answers(Bytes input, const EchoMatch& match) {
    std::optional<Wrapping> w = read_wrapping(input);
    if (!w)
        return;
    constexpr uint8_t kErrors[][2] = {{3, 0}, {3, 1},  {3, 3},  {3, 4},  {3, 13},
                                      {4, 0}, {11, 0}, {11, 1}, {12, 0}, {12, 2}};
    const uint8_t(&kind)[2] = kErrors[w->kind % 10];
    std::vector<uint8_t> request(8 + w->rest.size());
    require(build_echo_request(request, match.identifier, match.sequence, w->rest) ==
            request.size());

    // The target's echo reply: the request with type 0 and its checksum redone.
    uint32_t rest = static_cast<uint32_t>(read_u16(request, 4)) << 16 | read_u16(request, 6);
    std::vector<uint8_t> reply = packet::icmp_message(0, 0, rest, Bytes(request).subspan(8));
    IcmpAnswer echo{AnswerKind::echo_reply, match.target, 0, w->ttl};
    compare(read_raw_datagram(answer_datagram(*w, match.target, reply), match), echo);
    compare(read_ping_datagram(reply, match.target, w->ttl, match), echo);

    // An error report quoting the request as it left, cut after its ICMP header or later.
    IcmpAnswer error{AnswerKind::error, w->responder, error_status(kind[0], kind[1]), w->ttl};
    compare(read_raw_datagram(error_about(*w, kind, 1, request, false), match), error);
    ErrorReport report{.from_icmp = true,
                       .type = kind[0],
                       .code = kind[1],
                       .offender = w->responder,
                       .destination = match.target,
                       .ttl = w->ttl};
    Bytes queued = Bytes(request).first(std::min(request.size(), 8 + w->cut));
    compare(read_error_report(report, queued, match), error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    EchoMatch match{kTarget, 0x1234, 7};
    Bytes rest(data + 1, size - 1);
    switch (data[0] % 4) {
    case 0:
        compare(read_raw_datagram(rest, match), expected_raw(rest, match));
        break;
    case 1: {
        if (rest.size() < 5)
            return 0;
        Bytes message = rest.subspan(5);
        for (uint32_t source : {read_address(rest, 0), kTarget})
            compare(read_ping_datagram(message, source, rest[4], match),
                    expected_ping(message, source, rest[4], match));
        break;
    }
    case 3:
        check_built_answers(rest, match);
        break;
    default: {
        if (rest.size() < 12)
            return 0;
        ErrorReport report{.from_icmp = (rest[0] & 1) != 0,
                           .type = rest[1],
                           .code = rest[2],
                           .offender = read_address(rest, 4),
                           .destination = (rest[0] & 2) ? kTarget : read_address(rest, 8),
                           .ttl = rest[3]};
        Bytes quoted = rest.subspan(12);
        compare(read_error_report(report, quoted, match), expected_report(report, quoted, match));
        break;
    }
    }
    return 0;
}
