// Windows: address text, forward and reverse name lookups through Windows Sockets.
// The system headers work only in this order.
// clang-format off
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include <cstring>

#include "platform/platform.h"

uint32_t platform_inet_addr(const char* text) { return inet_addr(text); }

std::string platform_inet_ntoa(uint32_t address) {
    in_addr value{};
    value.s_addr = address;
    const char* text = inet_ntoa(value);
    return text != nullptr ? text : "0.0.0.0";
}

bool platform_resolve_name(const char* name, uint32_t* address, int32_t* error) {
    const hostent* host = gethostbyname(name);
    if (host == nullptr) {
        // WSAHOST_NOT_FOUND, WSATRY_AGAIN, WSANO_RECOVERY and WSANO_DATA are 11001 to
        // 11004, the numbers of the seam; anything else is passed on as the layer said.
        *error = WSAGetLastError();
        return false;
    }
    if (host->h_addrtype != AF_INET || host->h_length != sizeof *address ||
        host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr) {
        *error = kResolverNoData;
        return false;
    }
    std::memcpy(address, host->h_addr_list[0], sizeof *address);
    return true;
}

bool platform_reverse_lookup(uint32_t address, std::string* name) {
    const hostent* host =
        gethostbyaddr(reinterpret_cast<const char*>(&address), sizeof address, AF_INET);
    if (host == nullptr || host->h_name == nullptr)
        return false;
    *name = host->h_name;
    return true;
}
