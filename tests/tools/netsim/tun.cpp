// netsim TUN device: creation and configuration through the classic interface ioctls.
#include "tun.h"

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

namespace netsim {

namespace {

std::string failure(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

void set_address(ifreq& request, uint32_t address) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(address);
    std::memcpy(&request.ifr_addr, &in, sizeof in);
}

// Address, mask, MTU and the up flag, on an ordinary socket of the namespace.
bool configure(const std::string& name, uint32_t address, int prefix, std::string* error) {
    int control = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (control < 0) {
        *error = failure("socket");
        return false;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    bool ok = true;
    auto step = [&](unsigned long code, const char* what) {
        if (ok && ioctl(control, code, &request) != 0) {
            ok = false;
            *error = failure(what);
        }
    };
    request.ifr_mtu = 65535;
    step(SIOCSIFMTU, "SIOCSIFMTU");
    set_address(request, address);
    step(SIOCSIFADDR, "SIOCSIFADDR");
    set_address(request, prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix));
    step(SIOCSIFNETMASK, "SIOCSIFNETMASK");
    step(SIOCGIFFLAGS, "SIOCGIFFLAGS");
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
    step(SIOCSIFFLAGS, "SIOCSIFFLAGS");
    close(control);
    return ok;
}

}  // namespace

int open_tun(const std::string& name, uint32_t address, int prefix, std::string* error) {
    if (name.empty() || name.size() >= IFNAMSIZ) {
        *error = "device name must have 1 to 15 characters";
        return -1;
    }
    int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = failure("/dev/net/tun");
        return -1;
    }
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    if (ioctl(fd, TUNSETIFF, &request) != 0) {
        *error = failure("TUNSETIFF");
        close(fd);
        return -1;
    }
    // IPv6 would only add router solicitations to what the device reads.
    std::ofstream("/proc/sys/net/ipv6/conf/" + name + "/disable_ipv6") << "1\n";
    if (!configure(name, address, prefix, error)) {
        close(fd);
        return -1;
    }
    return fd;
}

int open_tap(const std::string& name, std::string* error) {
    unsigned index = if_nametoindex(name.c_str());
    if (index == 0) {
        *error = failure("if_nametoindex");
        return -1;
    }
    int fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_ALL));
    if (fd < 0) {
        *error = failure("packet socket");
        return -1;
    }
    sockaddr_ll link{};
    link.sll_family = AF_PACKET;
    link.sll_protocol = htons(ETH_P_ALL);
    link.sll_ifindex = static_cast<int>(index);
    int on = 1;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&link), sizeof link) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0) {
        *error = failure("packet socket setup");
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace netsim
