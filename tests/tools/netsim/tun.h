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

// A packet socket on the device that sees each packet the kernel sends into it, with
// the moment it did so (SO_TIMESTAMPNS, wall clock). Non-blocking; -1 with *error set.
int open_tap(const std::string& name, std::string* error);

}  // namespace netsim
