// The UDP probe (not written yet).
#include "probe/udp_probe.h"

ProbeReply udp_probe(uint32_t, uint8_t, const RunSettings&) { return {}; }
