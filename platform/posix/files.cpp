// POSIX: the executable's own path, whole-file reads and all-or-nothing file writes.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

std::string platform_executable_path() {
    std::string path(PATH_MAX, '\0');
    ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
    if (length <= 0 || static_cast<size_t>(length) >= path.size())
        return {};
    path.resize(static_cast<size_t>(length));
    // An executable removed or replaced while it runs (an upgrade) reads as
    // "PATH (deleted)"; the place it ran from is still PATH.
    const std::string deleted = " (deleted)";
    struct stat info {};
    if (path.size() > deleted.size() &&
        path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0 &&
        lstat(path.c_str(), &info) != 0)
        path.resize(path.size() - deleted.size());
    return path;
}

// Backs a large buffer with huge pages where the system offers them on request: filling
// it then takes a few page faults instead of one for every 4 KiB, which is most of the
// time of reading a big file.
static void prefer_huge_pages(void* start, size_t length) {
    constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
    if (length < 2 * kHugePage)
        return;
    uintptr_t first = reinterpret_cast<uintptr_t>(start);
    uintptr_t begin = (first + kHugePage - 1) & ~(kHugePage - 1);
    uintptr_t end = (first + length) & ~(kHugePage - 1);
    if (end > begin)
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

bool platform_read_file(const std::string& path, std::vector<uint8_t>* bytes) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    // Read straight into the result, sized from the file's length; a file that grows
    // meanwhile or reports no length (a pipe) is read on in steps.
    constexpr size_t kStep = 65536;
    struct stat info {};
    size_t expected = 0;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0)
        expected = static_cast<size_t>(info.st_size);
    // Spare capacity lets a caller that adds a little to what it read (the host-name
    // cache does) grow it without a copy; untouched, it costs no memory.
    bytes->clear();
    bytes->reserve(expected + expected / 16 + kStep);
    prefer_huge_pages(bytes->data(), expected + 1);
    bytes->resize(expected + 1);
    size_t have = 0;
    bool ok = true;
    for (;;) {
        if (have == bytes->size())
            bytes->resize(have + kStep);
        ssize_t got = read(fd, bytes->data() + have, bytes->size() - have);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        have += static_cast<size_t>(got);
    }
    close(fd);
    bytes->resize(have);
    return ok;
}

static bool write_all(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t put = write(fd, data, size);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        data += put;
        size -= static_cast<size_t>(put);
    }
    return true;
}

// The file that a save replaces: the target of a link (the link itself stays, as an
// in-place rewrite would have kept it), or the path itself.
static std::string file_behind(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
        return path;
    char* real = realpath(path.c_str(), nullptr);
    if (real == nullptr)
        return path;
    std::string resolved = real;
    std::free(real);
    return resolved;
}

bool platform_replace_file(const std::string& path, const uint8_t* data, size_t size) {
    std::string file = file_behind(path);
    struct stat old_info {};
    bool had_old = stat(file.c_str(), &old_info) == 0;
    // A file that we may not write to keeps its contents, as it would if it were
    // opened for writing in place.
    if (had_old && faccessat(AT_FDCWD, file.c_str(), W_OK, AT_EACCESS) != 0)
        return false;
    // The new contents go to a private file in the same folder, so the rename below is
    // atomic: a reader sees the old file or the new one, never a part of either.
    std::string temporary = file + ".XXXXXX";
    int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    // Keep the old file's permission bits and, where we may (as root), its owner; a new
    // file gets the usual 0666 less umask.
    mode_t mode = 0;
    if (had_old) {
        mode = old_info.st_mode & 07777;
        if (old_info.st_uid != geteuid() || old_info.st_gid != getegid())
            (void)!fchown(fd, old_info.st_uid, old_info.st_gid);
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    bool ok = fchmod(fd, mode) == 0 && write_all(fd, data, size) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok && rename(temporary.c_str(), file.c_str()) == 0)
        return true;
    unlink(temporary.c_str());
    return false;
}
