// POSIX: the executable's own path, the standard descriptors, whole-file reads and
// locked, all-or-nothing file updates.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

void platform_guard_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free descriptor is this one: those below it are open by now.
        int null = open("/dev/null", O_RDWR | O_NOCTTY);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
}

namespace {

// Closes a descriptor when the caller is done with it (also when an exception passes).
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { reset(); }
    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }
    // Closes it, reporting whether the close (and so the writes before it) succeeded.
    bool close_checked() {
        int fd = fd_;
        fd_ = -1;
        return fd < 0 || close(fd) == 0;
    }

private:
    int fd_;
};

FileStamp stamp_of(const struct stat& info) {
    FileStamp stamp;
    stamp.valid = true;
    stamp.volume = static_cast<uint64_t>(info.st_dev);
    stamp.file = static_cast<uint64_t>(info.st_ino);
    stamp.size = static_cast<uint64_t>(info.st_size);
    stamp.changed = static_cast<uint64_t>(info.st_mtim.tv_sec) * 1000000000u +
                    static_cast<uint64_t>(info.st_mtim.tv_nsec);
    stamp.modified = static_cast<uint64_t>(info.st_ctim.tv_sec) * 1000000000u +
                     static_cast<uint64_t>(info.st_ctim.tv_nsec);
    return stamp;
}

bool same_stamp(const FileStamp& a, const FileStamp& b) {
    return a.valid && b.valid && a.volume == b.volume && a.file == b.file && a.size == b.size &&
           a.changed == b.changed && a.modified == b.modified;
}

bool lock(int fd, int how) {
    while (flock(fd, how) != 0) {
        if (errno != EINTR)
            return false;
    }
    return true;
}

// Backs a large buffer with huge pages where the system offers them on request: filling
// it then takes a few page faults instead of one for every 4 KiB, which is most of the
// time of reading a big file.
void prefer_huge_pages(void* start, size_t length) {
    constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
    if (length < 2 * kHugePage)
        return;
    uintptr_t first = reinterpret_cast<uintptr_t>(start);
    uintptr_t begin = (first + kHugePage - 1) & ~(kHugePage - 1);
    uintptr_t end = (first + length) & ~(kHugePage - 1);
    if (end > begin)
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

// Reads a regular file's descriptor from its start to its end, straight into bytes,
// which are sized from the file's length; a file that grows meanwhile is read on in
// steps.
bool read_descriptor(int fd, size_t expected, std::vector<uint8_t>* bytes) {
    constexpr size_t kStep = 65536;
    // Spare capacity lets a caller that adds a little to what it read (the host-name
    // cache does) grow it without a copy; untouched, it costs no memory.
    bytes->clear();
    bytes->reserve(expected + expected / 16 + kStep);
    prefer_huge_pages(bytes->data(), expected + 1);
    bytes->resize(expected + 1);
    size_t have = 0;
    for (;;) {
        if (have == bytes->size())
            bytes->resize(have + kStep);
        ssize_t got =
            pread(fd, bytes->data() + have, bytes->size() - have, static_cast<off_t>(have));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            bytes->resize(have);
            return got == 0;
        }
        have += static_cast<size_t>(got);
    }
}

// Opens a path that must be a regular file, never waiting (a pipe opened without a
// writer) and never opening a device that a look first shows to be one.
int open_regular(const std::string& path, int flags) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return -1;
    int fd = open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return -1;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return -1;
    }
    return fd;
}

bool write_all_at(int fd, const uint8_t* data, size_t size, off_t offset) {
    while (size > 0) {
        ssize_t put = pwrite(fd, data, size, offset);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        data += put;
        size -= static_cast<size_t>(put);
        offset += put;
    }
    return true;
}

// Where the file behind fd (of old_size bytes) first differs from data: its length
// when data only adds to it. 0 when the file cannot be read.
size_t first_difference(int fd, size_t old_size, const uint8_t* data, size_t size) {
    constexpr size_t kChunk = 65536;
    std::vector<uint8_t> chunk(kChunk);
    size_t limit = std::min(old_size, size);
    size_t at = 0;
    while (at < limit) {
        ssize_t got = pread(fd, chunk.data(), std::min(kChunk, limit - at), static_cast<off_t>(at));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return at;
        size_t n = static_cast<size_t>(got);
        const uint8_t* mismatch = std::mismatch(chunk.data(), chunk.data() + n, data + at).first;
        if (mismatch != chunk.data() + n)
            return at + static_cast<size_t>(mismatch - chunk.data());
        at += n;
    }
    return at;
}

// The file's own place, without links: the target of a link at path (which stays, as
// an in-place rewrite keeps it), or path itself. Empty for a link whose target is
// missing or unreachable: that is left alone.
std::string file_behind(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
        return path;
    char* real = realpath(path.c_str(), nullptr);
    if (real == nullptr)
        return {};
    std::string resolved = real;
    std::free(real);
    return resolved;
}

// The file at path, opened and locked for an update: a regular file, the one the path
// names once the lock is held (a save that replaced it meanwhile is waited for again).
// Created empty when missing.
struct LockedFile {
    Descriptor fd;
    bool readable = false;
    bool created = false;
    struct stat info {};
};

bool open_locked(const std::string& file, LockedFile* locked) {
    for (int attempt = 0; attempt < 64; ++attempt) {
        struct stat now {};
        bool exists = lstat(file.c_str(), &now) == 0;
        if (exists && !S_ISREG(now.st_mode))
            return false;
        locked->readable = true;
        locked->created = false;
        int flags = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
        int fd = exists ? open(file.c_str(), O_RDONLY | flags) : -1;
        if (exists && fd < 0 && errno == EACCES) {
            // A file that we may write but not read: its records are unknown to us.
            locked->readable = false;
            fd = open(file.c_str(), O_WRONLY | flags);
        }
        if (!exists) {
            fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | flags, 0666);
            if (fd < 0 && errno == EEXIST)
                continue;
            locked->readable = false;
            locked->created = fd >= 0;
        }
        if (fd < 0) {
            if (errno == ENOENT)
                continue;
            return false;
        }
        locked->fd.reset(fd);
        if (fstat(fd, &locked->info) != 0 || !S_ISREG(locked->info.st_mode) || !lock(fd, LOCK_EX) ||
            fstat(fd, &locked->info) != 0)
            return false;
        if (lstat(file.c_str(), &now) == 0 && now.st_dev == locked->info.st_dev &&
            now.st_ino == locked->info.st_ino)
            return true;
        locked->fd.reset();
    }
    return false;
}

// The new contents in a file beside the old one, renamed over it once written whole: a
// reader sees the old file or the new one, never a part of either. The name is fixed, so
// that a save killed part-way leaves one such file, which the next save (under the same
// lock) removes. kept_owner is false when the replace would change the file's owner or
// no file could be made beside it: the caller then writes in place instead.
bool replace_beside(const std::string& file, const struct stat& old_info, bool had_old,
                    const FileUpdate& update, bool* tried) {
    *tried = false;
    std::string temporary = file + ".saving";
    struct stat info {};
    if (lstat(temporary.c_str(), &info) == 0) {
        if (!S_ISREG(info.st_mode) || unlink(temporary.c_str()) != 0)
            return false;
    }
    Descriptor fd(
        open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.ok())
        return false;
    // Keep the old file's owner, its group and its permission bits; a new file gets the
    // usual 0666 less umask.
    mode_t mode = 0;
    if (had_old) {
        mode = old_info.st_mode & 07777;
        if ((old_info.st_uid != geteuid() || old_info.st_gid != getegid()) &&
            fchown(fd.get(), old_info.st_uid, old_info.st_gid) != 0) {
            fd.reset();
            unlink(temporary.c_str());
            return false;
        }
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    *tried = true;
    bool ok = fchmod(fd.get(), mode) == 0 && write_all_at(fd.get(), update.data, update.size, 0) &&
              fsync(fd.get()) == 0;
    ok = fd.close_checked() && ok;
    if (ok && rename(temporary.c_str(), file.c_str()) == 0)
        return true;
    unlink(temporary.c_str());
    return false;
}

// The new contents written over the old ones in place, from the first byte that differs;
// new records that only add to the file leave its old bytes untouched, and a write that
// fails part-way through them is cut off again.
bool write_in_place(const std::string& file, const LockedFile& locked, const FileUpdate& update) {
    Descriptor fd(open_regular(file, O_WRONLY | O_NOFOLLOW));
    struct stat info {};
    if (!fd.ok() || fstat(fd.get(), &info) != 0 || info.st_ino != locked.info.st_ino ||
        info.st_dev != locked.info.st_dev)
        return false;
    size_t old_size = static_cast<size_t>(info.st_size);
    size_t from =
        locked.readable ? first_difference(locked.fd.get(), old_size, update.data, update.size) : 0;
    bool ok =
        write_all_at(fd.get(), update.data + from, update.size - from, static_cast<off_t>(from)) &&
        ftruncate(fd.get(), static_cast<off_t>(update.size)) == 0 && fsync(fd.get()) == 0;
    if (!ok && from == old_size)
        (void)!ftruncate(fd.get(), static_cast<off_t>(old_size));
    return fd.close_checked() && ok;
}

}  // namespace

bool platform_read_file(const std::string& path, std::vector<uint8_t>* bytes, FileStamp* stamp) {
    if (stamp != nullptr)
        *stamp = FileStamp{};
    Descriptor fd(open_regular(path, O_RDONLY));
    struct stat info {};
    // A shared lock: an update written in place is read whole or not at all.
    if (!fd.ok() || !lock(fd.get(), LOCK_SH) || fstat(fd.get(), &info) != 0)
        return false;
    if (!read_descriptor(fd.get(), static_cast<size_t>(info.st_size), bytes))
        return false;
    if (stamp != nullptr && fstat(fd.get(), &info) == 0)
        *stamp = stamp_of(info);
    return true;
}

bool platform_update_file(const std::string& path, const FileStamp& seen,
                          const std::function<FileUpdate(std::vector<uint8_t>* now)>& update) {
    std::string file = file_behind(path);
    LockedFile locked;
    if (file.empty() || !open_locked(file, &locked))
        return false;
    // A file we made just now is removed again when nothing could be written to it.
    struct Undo {
        const std::string& file;
        LockedFile& locked;
        bool keep = false;
        ~Undo() {
            struct stat info {};
            if (!keep && locked.created && fstat(locked.fd.get(), &info) == 0 && info.st_size == 0)
                unlink(file.c_str());
        }
    } undo{file, locked};

    std::vector<uint8_t> now;
    std::vector<uint8_t>* handed = &now;
    if (same_stamp(seen, stamp_of(locked.info)))
        handed = nullptr;
    else if (locked.readable &&
             !read_descriptor(locked.fd.get(), static_cast<size_t>(locked.info.st_size), &now))
        return false;
    FileUpdate wanted = update(handed);
    if (!wanted.write)
        return false;
    // A file that we may not write keeps its contents, as it would if it were opened for
    // writing in place, even where a rename could replace it.
    if (!locked.created && faccessat(AT_FDCWD, file.c_str(), W_OK, AT_EACCESS) != 0)
        return false;
    bool tried = false;
    if (replace_beside(file, locked.info, !locked.created, wanted, &tried)) {
        undo.keep = true;
        return true;
    }
    if (tried)
        return false;
    undo.keep = write_in_place(file, locked, wanted);
    return undo.keep;
}
