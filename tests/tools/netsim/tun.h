// netsim TUN device: the simulated network's one door into the namespace.
#pragma once

#include <cstdint>
#include <string>

namespace netsim {

// Creates the TUN device name (IPv4 packets without a packet-information header),
// gives it address/prefix (host byte order), a 65535-byte MTU so that no probe is
// fragmented, and brings it up; the kernel then routes the prefix through it.
// Returns the non-blocking descriptor, or -1 with *error set.
int open_tun(const std::string& name, uint32_t address, int prefix, std::string* error);

}  // namespace netsim
