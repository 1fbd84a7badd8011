// POSIX: the executable's own path, whole-file reads and all-or-nothing file writes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>

#include "platform/platform.h"

std::string platform_executable_path() {
    std::string path(PATH_MAX, '\0');
    ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
    if (length <= 0 || static_cast<size_t>(length) >= path.size())
        return {};
    path.resize(static_cast<size_t>(length));
    return path;
}

bool platform_read_file(const std::string& path, std::vector<uint8_t>* bytes) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bytes->clear();
    struct stat info{};
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0)
        bytes->reserve(static_cast<size_t>(info.st_size));
    uint8_t chunk[65536];
    bool ok = true;
    for (;;) {
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            ok = false;
            break;
        }
        if (got == 0)
            break;
        bytes->insert(bytes->end(), chunk, chunk + got);
    }
    close(fd);
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

bool platform_replace_file(const std::string& path, const uint8_t* data, size_t size) {
    // The new contents go to a private file in the same folder, so the rename below is
    // atomic: a reader sees the old file or the new one, never a part of either.
    std::string temporary = path + ".XXXXXX";
    int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    // Keep the old file's permission bits; a new file gets the usual 0666 less umask.
    struct stat old_info{};
    mode_t mode = 0;
    if (stat(path.c_str(), &old_info) == 0) {
        mode = old_info.st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    bool ok = fchmod(fd, mode) == 0 && write_all(fd, data, size) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok && rename(temporary.c_str(), path.c_str()) == 0)
        return true;
    unlink(temporary.c_str());
    return false;
}
