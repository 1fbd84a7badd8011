// POSIX: sockets for the UDP probe (not written yet).
#include "platform/platform.h"

UdpOutcome platform_udp_exchange(const UdpExchange&) { return {}; }
