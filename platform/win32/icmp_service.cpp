// Windows: the system's ICMP echo service, ICMP.DLL, loaded at run time.
// The system headers work only in this order.
// clang-format off
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <ipexport.h>
#include <icmpapi.h>
// clang-format on

#include <cstring>

#include "platform/platform.h"
#include "settings/run_settings.h"

namespace {

// The entry points' own types, calling convention included (stdcall on 32-bit x86).
using IcmpCreateFileFunction = decltype(&IcmpCreateFile);
using IcmpCloseHandleFunction = decltype(&IcmpCloseHandle);
using IcmpSendEchoFunction = decltype(&IcmpSendEcho);

struct IcmpService {
    HMODULE library = nullptr;
    IcmpCreateFileFunction create_file = nullptr;
    IcmpCloseHandleFunction close_handle = nullptr;
    IcmpSendEchoFunction send_echo = nullptr;
    HANDLE echo = INVALID_HANDLE_VALUE;
};

IcmpService service;

// The replies land here, the first ICMP_ECHO_REPLY record at the start. The service's
// rule for its size: one record, the whole echoed payload and 8 bytes more (an ICMP
// error message); with less, an echo reply that carries the full payload is not
// stored and the probe goes unanswered. The buffer is made for the largest payload a
// probe carries, with room besides for the quote of an ICMP error report about the
// request: its IP header with up to 40 bytes of options and its 8-byte ICMP header.
constexpr DWORD kIcmpHeaderSize = 8;
constexpr DWORD kIpHeaderMaxSize = 60;
constexpr DWORD kReplyBufferSize =
    sizeof(ICMP_ECHO_REPLY) + kMaxDataSize + kIcmpHeaderSize + kIpHeaderMaxSize + kIcmpHeaderSize;
alignas(ICMP_ECHO_REPLY) unsigned char reply_buffer[kReplyBufferSize];

// One record for every request: TTL and Type of Service change, no flags (the
// don't-fragment bit stays clear), no IP options.
IP_OPTION_INFORMATION request_options{};

template <typename Function>
Function entry_point(HMODULE library, const char* name) {
    FARPROC address = GetProcAddress(library, name);
    Function function = nullptr;
    static_assert(sizeof function == sizeof address);
    std::memcpy(&function, &address, sizeof function);
    return function;
}

void unload() {
    if (service.library != nullptr)
        FreeLibrary(service.library);
    service = IcmpService{};
}

}  // namespace

IcmpOpenStatus platform_icmp_open() {
    unload();
    service.library = LoadLibraryA("ICMP.DLL");
    if (service.library == nullptr)
        return {IcmpOpenResult::library_missing, 0};
    service.create_file = entry_point<IcmpCreateFileFunction>(service.library, "IcmpCreateFile");
    service.close_handle = entry_point<IcmpCloseHandleFunction>(service.library, "IcmpCloseHandle");
    service.send_echo = entry_point<IcmpSendEchoFunction>(service.library, "IcmpSendEcho");
    if (service.create_file == nullptr || service.close_handle == nullptr ||
        service.send_echo == nullptr) {
        unload();
        return {IcmpOpenResult::entry_missing, 0};
    }
    service.echo = service.create_file();
    if (service.echo == INVALID_HANDLE_VALUE) {
        int32_t error = static_cast<int32_t>(GetLastError());
        unload();
        return {IcmpOpenResult::create_failed, error};
    }
    return {};
}

EchoAnswer platform_icmp_echo(const EchoRequest& request) {
    EchoAnswer answer;
    if (service.send_echo == nullptr || service.echo == INVALID_HANDLE_VALUE)
        return answer;
    request_options.Ttl = request.ttl;
    request_options.Tos = request.tos;
    request_options.Flags = 0;
    request_options.OptionsSize = 0;
    request_options.OptionsData = nullptr;
    DWORD timeout = request.timeout_ms > 0 ? static_cast<DWORD>(request.timeout_ms) : 0;
    // The service only reads the request data; its declaration lacks the const.
    DWORD replies =
        service.send_echo(service.echo, request.target, const_cast<uint8_t*>(request.data),
                          request.size, &request_options, reply_buffer, kReplyBufferSize, timeout);
    if (replies == 0)
        return answer;
    ICMP_ECHO_REPLY first;
    std::memcpy(&first, reply_buffer, sizeof first);
    answer.answered = true;
    answer.responder = first.Address;
    answer.status = static_cast<int32_t>(first.Status);
    answer.rtt_ms = static_cast<int32_t>(first.RoundTripTime);
    answer.ttl = first.Options.Ttl;
    return answer;
}

int32_t platform_icmp_close() {
    int32_t error = 0;
    if (service.close_handle != nullptr && service.echo != INVALID_HANDLE_VALUE &&
        !service.close_handle(service.echo))
        error = static_cast<int32_t>(GetLastError());
    unload();
    return error;
}
