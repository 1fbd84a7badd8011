// POSIX: the ICMP echo service (not written yet).
#include <cerrno>

#include "platform/platform.h"

IcmpOpenStatus platform_icmp_open() { return {IcmpOpenResult::create_failed, ENOSYS}; }
EchoAnswer platform_icmp_echo(const EchoRequest&) { return {}; }
int32_t platform_icmp_close() { return 0; }
