// POSIX: address text, forward and reverse name lookups.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "platform/platform.h"

uint32_t platform_inet_addr(const char* text) {
    // inet_aton reads the same forms as the socket layer's inet_addr (a, a.b, a.b.c,
    // a.b.c.d, each part decimal, octal or hex); it answers 0 for anything else.
    in_addr address{};
    if (inet_aton(text, &address) == 0)
        return kAddressNone;
    return address.s_addr;
}

std::string platform_inet_ntoa(uint32_t address) {
    char text[INET_ADDRSTRLEN];
    in_addr value{};
    value.s_addr = address;
    if (inet_ntop(AF_INET, &value, text, sizeof text) == nullptr)
        return "0.0.0.0";
    return text;
}

static int32_t resolver_error(int code) {
    switch (code) {
    case EAI_AGAIN:
        return kResolverTryAgain;
    case EAI_FAIL:
    case EAI_MEMORY:
    case EAI_SYSTEM:
        return kResolverNoRecovery;
#ifdef EAI_NODATA
    case EAI_NODATA:
        return kResolverNoData;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
        return kResolverNoData;
#endif
    default:
        return kResolverHostNotFound;
    }
}

bool platform_resolve_name(const char* name, uint32_t* address, int32_t* error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_RAW;
    addrinfo* result = nullptr;
    int code = getaddrinfo(name, nullptr, &hints, &result);
    if (code != 0 || result == nullptr) {
        *error = code != 0 ? resolver_error(code) : kResolverNoData;
        return false;
    }
    auto* first = reinterpret_cast<const sockaddr_in*>(result->ai_addr);
    *address = first->sin_addr.s_addr;
    freeaddrinfo(result);
    return true;
}

bool platform_reverse_lookup(uint32_t address, std::string* name) {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = address;
    char host[NI_MAXHOST];
    int code = getnameinfo(reinterpret_cast<const sockaddr*>(&peer), sizeof peer, host, sizeof host,
                           nullptr, 0, NI_NAMEREQD);
    if (code != 0)
        return false;
    *name = host;
    return true;
}
