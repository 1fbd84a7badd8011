// Reverse lookups and the host-name cache file.
//
// File format, no header: records of [4 bytes IPv4 address, network byte order]
// [1 byte name length N] [N name bytes, no terminator]. N = 0 records an address whose
// reverse lookup found no name. The in-memory cache keeps the records in insertion
// order (the file's first, then new ones); a lookup takes the first record for an
// address, found through an index rather than a walk of the list.
#include "names/host_cache.h"

#include <cstring>
#include <vector>

#include "platform/platform.h"

namespace {

constexpr size_t kRecordHead = 5;
constexpr size_t kMaxNameLength = 255;
constexpr uint32_t kNoEntry = UINT32_MAX;

struct HostCacheEntry {
    uint32_t address;      // network byte order
    uint32_t name_offset;  // into HostCache::names
    uint8_t name_length;
    bool has_name;
};

// Open-addressing index from address to the first entry that holds it.
class FirstEntryIndex {
public:
    uint32_t find(uint32_t address, const std::vector<HostCacheEntry>& entries) const {
        if (slots_.empty())
            return kNoEntry;
        for (size_t slot = home(address);; slot = (slot + 1) & mask_) {
            uint32_t entry = slots_[slot];
            if (entry == kNoEntry || entries[entry].address == address)
                return entry;
        }
    }

    // Records entry for its address unless an earlier entry holds the address already.
    void insert_first(uint32_t entry, const std::vector<HostCacheEntry>& entries) {
        if ((used_ + 1) * 2 > slots_.size())
            grow(entries);
        uint32_t address = entries[entry].address;
        for (size_t slot = home(address);; slot = (slot + 1) & mask_) {
            if (slots_[slot] == kNoEntry) {
                slots_[slot] = entry;
                ++used_;
                return;
            }
            if (entries[slots_[slot]].address == address)
                return;
        }
    }

private:
    size_t home(uint32_t address) const {
        return static_cast<size_t>((address * 0x9E3779B1u) >> (32 - bits_)) & mask_;
    }

    void grow(const std::vector<HostCacheEntry>& entries) {
        std::vector<uint32_t> old = std::move(slots_);
        bits_ = old.empty() ? 4 : bits_ + 1;
        slots_.assign(size_t{1} << bits_, kNoEntry);
        mask_ = slots_.size() - 1;
        used_ = 0;
        for (uint32_t entry : old) {
            if (entry == kNoEntry)
                continue;
            for (size_t slot = home(entries[entry].address);; slot = (slot + 1) & mask_) {
                if (slots_[slot] == kNoEntry) {
                    slots_[slot] = entry;
                    ++used_;
                    break;
                }
            }
        }
    }

    std::vector<uint32_t> slots_;
    size_t mask_ = 0;
    size_t used_ = 0;
    unsigned bits_ = 0;
};

struct HostCache {
    std::vector<HostCacheEntry> entries;
    std::string names;  // every entry's name bytes, one after another
    FirstEntryIndex index;

    void append(uint32_t address, const char* name, size_t length, bool has_name) {
        if (length > kMaxNameLength)
            length = kMaxNameLength;
        HostCacheEntry entry{address, static_cast<uint32_t>(names.size()),
                             static_cast<uint8_t>(length), has_name};
        names.append(name, length);
        entries.push_back(entry);
        index.insert_first(static_cast<uint32_t>(entries.size() - 1), entries);
    }

    std::optional<std::string> name_of(const HostCacheEntry& entry) const {
        if (!entry.has_name)
            return std::nullopt;
        return names.substr(entry.name_offset, entry.name_length);
    }
};

HostCache& cache() {
    static HostCache instance;
    return instance;
}

}  // namespace

std::optional<std::optional<std::string>> cached_host_name(uint32_t address) {
    const HostCache& list = cache();
    uint32_t found = list.index.find(address, list.entries);
    if (found == kNoEntry)
        return std::nullopt;
    return list.name_of(list.entries[found]);
}

void remember_host_name(uint32_t address, const std::optional<std::string>& name) {
    if (name)
        cache().append(address, name->data(), name->size(), true);
    else
        cache().append(address, "", 0, false);
}

std::optional<std::string> lookup_host_name(uint32_t address, const RunSettings& settings) {
    if (settings.no_resolve)
        return std::nullopt;
    if (std::optional<std::optional<std::string>> cached = cached_host_name(address))
        return *cached;
    std::optional<std::string> name;
    if (std::string answer; platform_reverse_lookup(address, &answer)) {
        if (answer.size() > kMaxNameLength)
            answer.resize(kMaxNameLength);
        name = std::move(answer);
    }
    if (settings.use_cache)
        remember_host_name(address, name);
    return name;
}

std::string host_cache_path() { return host_cache_path_for(platform_executable_path()); }

std::string host_cache_path_for(const std::string& executable_path) {
    if (executable_path.empty())
        return {};
    size_t name_start = executable_path.find_last_of("/\\");
    name_start = name_start == std::string::npos ? 0 : name_start + 1;
    size_t dot = executable_path.rfind('.');
    size_t keep = dot != std::string::npos && dot > name_start ? dot : executable_path.size();
    return executable_path.substr(0, keep) + ".cache";
}

void load_host_cache() { load_host_cache_file(host_cache_path()); }

void save_host_cache() { save_host_cache_file(host_cache_path()); }

void clear_host_cache() { cache() = HostCache{}; }

void load_host_cache_file(const std::string& path) {
    std::vector<uint8_t> bytes;
    if (path.empty() || !platform_read_file(path, &bytes))
        return;
    HostCache& list = cache();
    list.entries.reserve(list.entries.size() + bytes.size() / kRecordHead / 4);
    list.names.reserve(list.names.size() + bytes.size());
    size_t at = 0;
    // A record cut short by the end of the file, in its head or in its name, is dropped.
    while (bytes.size() - at >= kRecordHead) {
        uint32_t address;
        std::memcpy(&address, &bytes[at], 4);
        size_t length = bytes[at + 4];
        if (bytes.size() - at - kRecordHead < length)
            break;
        const char* name = reinterpret_cast<const char*>(&bytes[at + kRecordHead]);
        // A name ends at its first zero byte.
        size_t text_length = strnlen(name, length);
        list.append(address, name, text_length, length > 0);
        at += kRecordHead + length;
    }
}

bool save_host_cache_file(const std::string& path) {
    if (path.empty())
        return false;
    const HostCache& list = cache();
    std::vector<uint8_t> bytes;
    bytes.reserve(list.entries.size() * kRecordHead + list.names.size());
    for (const HostCacheEntry& entry : list.entries) {
        uint8_t head[kRecordHead];
        std::memcpy(head, &entry.address, 4);
        head[4] = entry.has_name ? entry.name_length : 0;
        bytes.insert(bytes.end(), head, head + kRecordHead);
        const char* name = list.names.data() + entry.name_offset;
        if (entry.has_name)
            bytes.insert(bytes.end(), name, name + entry.name_length);
    }
    return platform_replace_file(path, bytes.data(), bytes.size());
}
