// netsim device: TUN creation and configuration through the classic interface ioctls,
// and the tap whose copies of the probes tell their departures. A failure here ends the
// simulator (or, for the tap, its exact delays), so no descriptor is closed on the way.
#include "device.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <linux/if_tun.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace netsim {

namespace {

// result, unless it is negative: then a std::runtime_error naming what failed and why.
int checked(int result, const char* what) {
    if (result < 0)
        throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
    return result;
}

ifreq request_for(const std::string& name) {
    ifreq request{};
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    return request;
}

void set_address(ifreq& request, uint32_t address) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(address);
    std::memcpy(&request.ifr_addr, &in, sizeof in);
}

}  // namespace

int open_tun(const std::string& name, uint32_t address, int prefix) {
    if (name.empty() || name.size() >= IFNAMSIZ)
        throw std::runtime_error("device name must have 1 to 15 characters");
    int fd = checked(open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC), "/dev/net/tun");
    ifreq request = request_for(name);
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    checked(ioctl(fd, TUNSETIFF, &request), "TUNSETIFF");
    // IPv6 would only add router solicitations to what the device reads.
    std::ofstream("/proc/sys/net/ipv6/conf/" + name + "/disable_ipv6") << "1\n";
    // Address, mask, MTU and the up flag, on an ordinary socket of the namespace.
    int control = checked(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0), "socket");
    request = request_for(name);
    request.ifr_mtu = 65535;
    checked(ioctl(control, SIOCSIFMTU, &request), "SIOCSIFMTU");
    set_address(request, address);
    checked(ioctl(control, SIOCSIFADDR, &request), "SIOCSIFADDR");
    set_address(request, prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix));
    checked(ioctl(control, SIOCSIFNETMASK, &request), "SIOCSIFNETMASK");
    checked(ioctl(control, SIOCGIFFLAGS, &request), "SIOCGIFFLAGS");
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
    checked(ioctl(control, SIOCSIFFLAGS, &request), "SIOCSIFFLAGS");
    close(control);
    return fd;
}

int open_tap(const std::string& name) {
    sockaddr_ll link{};
    link.sll_family = AF_PACKET;
    link.sll_protocol = htons(ETH_P_ALL);
    link.sll_ifindex = static_cast<int>(if_nametoindex(name.c_str()));
    checked(link.sll_ifindex == 0 ? -1 : 0, "if_nametoindex");
    int fd = checked(socket(AF_PACKET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_ALL)),
                     "packet socket");
    int on = 1;
    checked(bind(fd, reinterpret_cast<const sockaddr*>(&link), sizeof link), "packet socket setup");
    checked(setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on), "packet socket setup");
    return fd;
}

}  // namespace netsim
