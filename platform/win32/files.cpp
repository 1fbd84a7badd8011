// Windows: the executable's own path, the standard descriptors, whole-file reads and
// locked, all-or-nothing file updates.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>

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
    friend void swap(File& a, File& b) { std::swap(a.handle_, b.handle_); }
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

// One byte far beyond any cache file's end is the lock: locking it neither keeps others
// from reading the file nor from writing it.
bool lock_file(HANDLE file, DWORD flags) {
    OVERLAPPED at{};
    at.Offset = 0xfffffffe;
    at.OffsetHigh = 0x7fffffff;
    return LockFileEx(file, flags, 0, 1, 0, &at) != 0;
}

// A regular file on a disk: not a folder, a device, a pipe or a console.
bool is_regular(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
    return GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, info) != 0 &&
           (info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

FileStamp stamp_of(const BY_HANDLE_FILE_INFORMATION& info) {
    FileStamp stamp;
    stamp.valid = true;
    stamp.volume = info.dwVolumeSerialNumber;
    stamp.file = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    stamp.size = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    stamp.changed =
        (uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) | info.ftLastWriteTime.dwLowDateTime;
    stamp.modified =
        (uint64_t{info.ftCreationTime.dwHighDateTime} << 32) | info.ftCreationTime.dwLowDateTime;
    return stamp;
}

bool same_stamp(const FileStamp& a, const FileStamp& b) {
    return a.valid && b.valid && a.volume == b.volume && a.file == b.file && a.size == b.size &&
           a.changed == b.changed && a.modified == b.modified;
}

bool seek(HANDLE file, uint64_t offset) {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(file, to, nullptr, FILE_BEGIN) != 0;
}

// Reads a regular file from its start to its end, sized from its length.
bool read_handle(HANDLE file, uint64_t expected, std::vector<uint8_t>* bytes) {
    constexpr size_t kStep = 65536;
    bytes->clear();
    if (!seek(file, 0))
        return false;
    bytes->reserve(static_cast<size_t>(expected) + kStep);
    size_t have = 0;
    for (;;) {
        if (have == bytes->size())
            bytes->resize(have + kStep);
        DWORD want = static_cast<DWORD>(std::min<size_t>(bytes->size() - have, 0x10000000));
        DWORD got = 0;
        if (!ReadFile(file, bytes->data() + have, want, &got, nullptr)) {
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

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Where the file (of old_size bytes) first differs from data: its length when data only
// adds to it.
uint64_t first_difference(HANDLE file, uint64_t old_size, const uint8_t* data, size_t size) {
    constexpr size_t kChunk = 65536;
    std::vector<uint8_t> chunk(kChunk);
    uint64_t limit = std::min<uint64_t>(old_size, size);
    uint64_t at = 0;
    if (!seek(file, 0))
        return 0;
    while (at < limit) {
        DWORD got = 0;
        DWORD want = static_cast<DWORD>(std::min<uint64_t>(kChunk, limit - at));
        if (!ReadFile(file, chunk.data(), want, &got, nullptr) || got == 0)
            return at;
        const uint8_t* mismatch = std::mismatch(chunk.data(), chunk.data() + got, data + at).first;
        if (mismatch != chunk.data() + got)
            return at + static_cast<uint64_t>(mismatch - chunk.data());
        at += got;
    }
    return at;
}

// The file at path opened, regular and locked, and still the one the path names.
bool open_locked(const std::string& path, File* locked, bool* created,
                 BY_HANDLE_FILE_INFORMATION* info) {
    for (int attempt = 0; attempt < 64; ++attempt) {
        *created = false;
        File file(CreateFileA(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.ok() && GetLastError() == ERROR_FILE_NOT_FOUND) {
            File made(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!made.ok()) {
                if (GetLastError() == ERROR_FILE_EXISTS)
                    continue;
                return false;
            }
            *created = true;
            swap(file, made);
        }
        if (!file.ok() || !is_regular(file.handle(), info) ||
            !lock_file(file.handle(), LOCKFILE_EXCLUSIVE_LOCK) ||
            !GetFileInformationByHandle(file.handle(), info))
            return false;
        File again(CreateFileA(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
        BY_HANDLE_FILE_INFORMATION now{};
        if (again.ok() && GetFileInformationByHandle(again.handle(), &now) &&
            now.dwVolumeSerialNumber == info->dwVolumeSerialNumber &&
            now.nFileIndexHigh == info->nFileIndexHigh &&
            now.nFileIndexLow == info->nFileIndexLow) {
            swap(*locked, file);
            return true;
        }
    }
    return false;
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

void platform_guard_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (_get_osfhandle(fd) != -1)
            continue;
        int null = _open("NUL", _O_RDWR);
        if (null >= 0 && null != fd) {
            _dup2(null, fd);
            _close(null);
        }
    }
}

bool platform_read_file(const std::string& path, std::vector<uint8_t>* bytes, FileStamp* stamp) {
    // Others may read, write or replace the file meanwhile, as with the C runtime's
    // own files; the read sees one version of it.
    if (stamp != nullptr)
        *stamp = FileStamp{};
    File file(CreateFileA(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file.ok() || !is_regular(file.handle(), &info) || !lock_file(file.handle(), 0))
        return false;
    uint64_t size = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    if (!read_handle(file.handle(), size, bytes))
        return false;
    if (stamp != nullptr && GetFileInformationByHandle(file.handle(), &info))
        *stamp = stamp_of(info);
    return true;
}

bool platform_update_file(const std::string& path, const FileStamp& seen,
                          const std::function<FileUpdate(std::vector<uint8_t>* now)>& update) {
    File locked(INVALID_HANDLE_VALUE);
    bool created = false;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!open_locked(path, &locked, &created, &info))
        return false;
    bool saved = false;
    // A file we made just now is removed again when nothing could be written to it.
    struct Undo {
        const std::string& path;
        File& locked;
        bool created;
        const bool& saved;
        ~Undo() {
            LARGE_INTEGER size{};
            if (created && !saved && GetFileSizeEx(locked.handle(), &size) && size.QuadPart == 0) {
                locked.close();
                DeleteFileA(path.c_str());
            }
        }
    } undo{path, locked, created, saved};

    std::vector<uint8_t> now;
    std::vector<uint8_t>* handed = &now;
    uint64_t old_size = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    if (same_stamp(seen, stamp_of(info)))
        handed = nullptr;
    else if (!read_handle(locked.handle(), old_size, &now))
        return false;
    FileUpdate wanted = update(handed);
    // A read-only file keeps its contents, as it would if it were opened for writing.
    if (!wanted.write || (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0)
        return false;

    // The new contents go to a file beside the old one, which then takes the old file's
    // place in one step: a reader sees the old file or the new one, never a part of
    // either. Its name is fixed, so that a save killed part-way leaves one such file,
    // which the next save (under the same lock) removes.
    std::string temporary = path + ".saving";
    DWORD attributes = GetFileAttributesA(temporary.c_str());
    bool room = attributes == INVALID_FILE_ATTRIBUTES ||
                ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
                 DeleteFileA(temporary.c_str()) != 0);
    File beside(room ? CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr)
                     : INVALID_HANDLE_VALUE);
    if (beside.ok()) {
        bool ok = write_all(beside.handle(), wanted.data, wanted.size) &&
                  FlushFileBuffers(beside.handle()) != 0;
        ok = beside.close() && ok;
        if (ok && MoveFileExA(temporary.c_str(), path.c_str(),
                              MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0) {
            saved = true;
            return true;
        }
        DeleteFileA(temporary.c_str());
        if (!ok)
            return false;
    }
    // No file could take its place: the file is written in place, from its first changed
    // byte on, so that new records only add to it.
    File in_place(CreateFileA(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!in_place.ok())
        return false;
    uint64_t from = first_difference(locked.handle(), old_size, wanted.data, wanted.size);
    bool ok = seek(in_place.handle(), from) &&
              write_all(in_place.handle(), wanted.data + from, wanted.size - from) &&
              SetEndOfFile(in_place.handle()) != 0 && FlushFileBuffers(in_place.handle()) != 0;
    if (!ok && from == old_size && seek(in_place.handle(), old_size))
        SetEndOfFile(in_place.handle());
    saved = in_place.close() && ok;
    return saved;
}
