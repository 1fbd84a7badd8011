// Windows: the executable's own path, whole-file reads and all-or-nothing file writes.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "platform/platform.h"

namespace {

// Closes the file when the caller is done with it.
class File {
public:
    explicit File(HANDLE handle) : handle_(handle) {}
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File() { close(); }
    HANDLE handle() const { return handle_; }
    bool ok() const { return handle_ != INVALID_HANDLE_VALUE; }
    bool close() {
        bool closed = !ok() || CloseHandle(handle_) != 0;
        handle_ = INVALID_HANDLE_VALUE;
        return closed;
    }

private:
    HANDLE handle_;
};

bool write_all(HANDLE file, const uint8_t* data, size_t size) {
    while (size > 0) {
        DWORD chunk = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
        DWORD put = 0;
        if (!WriteFile(file, data, chunk, &put, nullptr) || put == 0)
            return false;
        data += put;
        size -= put;
    }
    return true;
}

// The folder part of a path, for a new file beside it; "." for a bare file name.
std::string folder_of(const std::string& path) {
    size_t slash = path.find_last_of("\\/");
    if (slash == std::string::npos)
        return ".";
    if (slash == 0 || (slash == 2 && path[1] == ':'))
        return path.substr(0, slash + 1);  // "\" or "C:\": the root keeps its slash
    return path.substr(0, slash);
}

}  // namespace

std::string platform_executable_path() {
    // The system cuts a path that does not fit (and then fills the buffer whole):
    // such a path is no path at all here.
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path)
        return {};
    return std::string(path, length);
}

bool platform_read_file(const std::string& path, std::vector<uint8_t>* bytes) {
    // Others may read, write or replace the file meanwhile, as with the C runtime's
    // own files; the read sees one version of it.
    File file(CreateFileA(path.c_str(), GENERIC_READ,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.ok())
        return false;
    constexpr size_t kStep = 65536;
    bytes->clear();
    size_t have = 0;
    for (;;) {
        bytes->resize(have + kStep);
        DWORD got = 0;
        if (!ReadFile(file.handle(), bytes->data() + have, kStep, &got, nullptr)) {
            bytes->clear();
            return false;
        }
        if (got == 0)
            break;
        have += got;
    }
    bytes->resize(have);
    return true;
}

bool platform_replace_file(const std::string& path, const uint8_t* data, size_t size) {
    // The new contents go to a private file in the same folder, which then takes the
    // old file's place in one step: a reader sees the old file or the new one, never a
    // part of either. A read-only old file refuses the move and keeps its contents.
    char temporary[MAX_PATH];
    if (GetTempFileNameA(folder_of(path).c_str(), "thp", 0, temporary) == 0)
        return false;
    File file(CreateFileA(temporary, GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
    bool ok =
        file.ok() && write_all(file.handle(), data, size) && FlushFileBuffers(file.handle()) != 0;
    ok = file.close() && ok;
    if (ok && MoveFileExA(temporary, path.c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0)
        return true;
    DeleteFileA(temporary);
    return false;
}
