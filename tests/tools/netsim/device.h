// netsim device: the TUN device, the simulated network's one door into the namespace,
// and when each probe really left the client. The simulator may wake late for a probe
// (a busy machine); its chosen delay counts from the moment the kernel handed the probe
// to the device, as a packet socket on the device saw it.
#pragma once

#include <cstdint>
#include <string>

namespace netsim {

// Creates the TUN device name (IPv4 packets without a packet-information header),
// gives it address/prefix (host byte order), a 65535-byte MTU so that no probe is
// fragmented, and brings it up; the kernel then routes the prefix through it.
// Returns the non-blocking descriptor; throws std::runtime_error saying what failed.
int open_tun(const std::string& name, uint32_t address, int prefix);

// A packet socket on the device that sees each packet the kernel sends into it, with
// the moment it did so (SO_TIMESTAMPNS, wall clock). Non-blocking; throws as open_tun.
int open_tap(const std::string& name);

}  // namespace netsim
