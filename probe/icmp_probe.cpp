// The ICMP echo probe.
#include "probe/icmp_probe.h"

#include "cli/console.h"
#include "platform/platform.h"

bool open_icmp_service() {
    IcmpOpenStatus opened = platform_icmp_open();
    switch (opened.result) {
    case IcmpOpenResult::ok:
        return true;
    case IcmpOpenResult::library_missing:
        console_printf("LoadLibrary() failed: Unable to locate ICMP.DLL!\n");
        return false;
    case IcmpOpenResult::entry_missing:
        console_printf("GetProcAddr() failed for at least one function.\n");
        return false;
    case IcmpOpenResult::create_failed:
        console_printf("IcmpCreateFile() failed, err: ");
        print_ip_status(opened.error);
        return false;
    }
    return false;
}

ProbeReply icmp_probe(uint32_t target, uint8_t ttl, const RunSettings& settings) {
    ProbeReply reply;
    // A datagram cannot leave with TTL 0 (after the TTL wraps): unanswered at once.
    if (ttl == 0)
        return reply;
    EchoRequest request;
    request.target = target;
    request.ttl = ttl;
    request.tos = static_cast<uint8_t>(settings.tos & 0xff);
    request.data = request_payload().data();
    request.size = static_cast<uint16_t>(settings.data_size);
    request.timeout_ms = settings.timeout_ms;
    EchoAnswer answer = platform_icmp_echo(request);
    if (!answer.answered)
        return reply;
    reply.answered = true;
    reply.rtt_ms = answer.rtt_ms;
    reply.responder = answer.responder;
    reply.status = answer.status;
    reply.reply_ttl = answer.ttl;
    return reply;
}

void close_icmp_service() {
    int32_t error = platform_icmp_close();
    if (error != 0) {
        console_printf("Error closing ICMP handle, err: ");
        print_ip_status(error);
    }
}
