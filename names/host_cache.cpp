// Reverse lookups and the host-name cache file.
//
// File format, no header: records of [4 bytes IPv4 address, network byte order]
// [1 byte name length N] [N name bytes, no terminator]. N = 0 records an address whose
// reverse lookup found no name.
//
// In memory the cache is the file's image: the records in insertion order (the file's
// first, then new ones), byte for byte as they are saved, so a save writes the image as
// it stands and a load keeps the bytes it read. An index beside it finds the first
// record for an address in constant time.
#include "names/host_cache.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace {

constexpr size_t kRecordHead = 5;
constexpr size_t kMaxNameLength = 255;

// Index values: a record's offset in the image, with a flag for a name that is the
// empty text (shown as such in this run, saved as N = 0 like no name). Records from
// 2 GiB into the image on are kept and saved but not indexed; their addresses are
// asked of the resolver again.
constexpr uint32_t kEmptyNameFlag = 0x80000000u;
constexpr uint32_t kOffsetMask = 0x7fffffffu;
constexpr uint32_t kNoRecord = 0xffffffffu;

// Open-addressing index from an address to its first record; each slot holds the address
// too, so that probing never has to look at the image.
class FirstRecordIndex {
public:
    // The record value of the address's first record, or kNoRecord.
    uint32_t find(uint32_t address) const {
        if (slots_.empty())
            return kNoRecord;
        for (size_t slot = home(address);; slot = (slot + 1) & mask_) {
            if (slots_[slot].record == kNoRecord || slots_[slot].address == address)
                return slots_[slot].record;
        }
    }

    // Records the address's record unless it has an earlier one already.
    void insert_first(uint32_t address, uint32_t record) {
        if ((used_ + 1) * 2 > slots_.size())
            rebuild(slots_.empty() ? 16 : slots_.size() * 2);
        for (size_t slot = home(address);; slot = (slot + 1) & mask_) {
            if (slots_[slot].record == kNoRecord) {
                slots_[slot] = Slot{address, record};
                ++used_;
                return;
            }
            if (slots_[slot].address == address)
                return;
        }
    }

    size_t used() const { return used_; }

    // Whether the next new address makes the index grow.
    bool full() const { return (used_ + 1) * 2 > slots_.size(); }

    // Makes room for 'more' further addresses at once.
    void reserve(size_t more) {
        size_t size = slots_.empty() ? 16 : slots_.size();
        while ((used_ + more) * 2 > size)
            size *= 2;
        if (size != slots_.size())
            rebuild(size);
    }

private:
    struct Slot {
        uint32_t address;  // network byte order
        uint32_t record;
    };

    size_t home(uint32_t address) const {
        // Fibonacci hashing: the high bits of the product depend on every address bit.
        return static_cast<size_t>((address * 0x9E3779B1u) >> (32 - bits_));
    }

    void rebuild(size_t size) {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(size, Slot{0, kNoRecord});
        mask_ = size - 1;
        bits_ = 0;
        while ((size_t{1} << bits_) < size)
            ++bits_;
        for (const Slot& entry : old) {
            if (entry.record == kNoRecord)
                continue;
            size_t slot = home(entry.address);
            while (slots_[slot].record != kNoRecord)
                slot = (slot + 1) & mask_;
            slots_[slot] = entry;
        }
    }

    std::vector<Slot> slots_;
    size_t mask_ = 0;
    size_t used_ = 0;
    unsigned bits_ = 0;
};

uint32_t read_address(const uint8_t* record) {
    uint32_t address;
    std::memcpy(&address, record, 4);
    return address;
}

struct HostCache {
    std::vector<uint8_t> image;  // the records, exactly as a save writes them
    FirstRecordIndex index;
    size_t loaded = 0;  // the image's first bytes that came from the file
    FileStamp stamp;    // the version of the file they came from
    bool off = false;   // memory ran out: the run goes on without the cache

    void index_record(uint32_t address, size_t offset, bool empty_name) {
        if (offset >= kOffsetMask)
            return;
        uint32_t record = static_cast<uint32_t>(offset) | (empty_name ? kEmptyNameFlag : 0);
        index.insert_first(address, record);
    }

    void append(uint32_t address, const std::optional<std::string>& name) {
        size_t length = 0;
        if (name) {
            // A name is text: it ends at a zero byte, and a record holds 255 bytes of it.
            length = strnlen(name->c_str(), std::min(name->size(), kMaxNameLength));
        }
        index_record(address, image.size(), name && length == 0);
        uint8_t head[kRecordHead];
        std::memcpy(head, &address, 4);
        head[4] = static_cast<uint8_t>(length);
        image.insert(image.end(), head, head + kRecordHead);
        if (length > 0)
            image.insert(image.end(), name->begin(), name->begin() + static_cast<long>(length));
    }

    // Appends a record of the file format, unless the image's first 'held' bytes have
    // one for its address already.
    void append_unless_held(const uint8_t* record, size_t held) {
        uint32_t address = read_address(record);
        uint32_t first = index.find(address);
        if (first != kNoRecord && (first & kOffsetMask) < held)
            return;
        size_t length = kRecordHead + record[4];
        index_record(address, image.size(), false);
        image.insert(image.end(), record, record + length);
    }

    std::optional<std::string> name_of(uint32_t record) const {
        const uint8_t* at = image.data() + (record & kOffsetMask);
        size_t length = at[4];
        if (length == 0) {
            if (record & kEmptyNameFlag)
                return std::string();
            return std::nullopt;
        }
        return std::string(reinterpret_cast<const char*>(at + kRecordHead), length);
    }
};

HostCache& cache() {
    static HostCache instance;
    return instance;
}

// Memory ran out: what the cache holds is given back and the run goes on without it.
void turn_cache_off() {
    cache() = HostCache{};
    cache().off = true;
}

// Whole records at the start of bytes; a record cut short by the end, in its head or in
// its name, is not counted.
size_t count_records(const std::vector<uint8_t>& bytes) {
    size_t count = 0;
    for (size_t at = 0; bytes.size() - at >= kRecordHead;) {
        size_t next = at + kRecordHead + bytes[at + 4];
        if (next > bytes.size())
            break;
        at = next;
        ++count;
    }
    return count;
}

}  // namespace

std::optional<std::optional<std::string>> cached_host_name(uint32_t address) {
    const HostCache& list = cache();
    uint32_t record = list.index.find(address);
    if (record == kNoRecord)
        return std::nullopt;
    return list.name_of(record);
}

void remember_host_name(uint32_t address, const std::optional<std::string>& name) {
    if (cache().off)
        return;
    try {
        cache().append(address, name);
    } catch (const std::bad_alloc&) {
        turn_cache_off();
    }
}

std::optional<std::string> lookup_host_name(uint32_t address, const RunSettings& settings) {
    if (settings.no_resolve)
        return std::nullopt;
    if (!cache().off) {
        if (std::optional<std::optional<std::string>> cached = cached_host_name(address))
            return std::move(*cached);
    }
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
    HostCache& list = cache();
    if (path.empty() || list.off)
        return;
    try {
        std::vector<uint8_t> bytes;
        FileStamp stamp;
        if (!platform_read_file(path, &bytes, &stamp))
            return;
        bool first = list.image.empty();
        load_host_cache_bytes(std::move(bytes));
        if (first) {
            list.loaded = list.image.size();
            list.stamp = stamp;
        }
    } catch (const std::bad_alloc&) {
        turn_cache_off();
    }
}

void load_host_cache_bytes(std::vector<uint8_t> bytes) {
    HostCache& list = cache();
    size_t count = count_records(bytes);
    size_t used_before = list.index.used();
    // The records are indexed where they will stand in the image, and made whole in
    // place: a name ends at its first zero byte, so such a record is written back
    // shorter; the cut record at the end, if any, is dropped.
    size_t base = list.image.size();
    size_t from = 0;
    size_t to = 0;
    for (size_t n = 0; n < count; ++n) {
        uint8_t* record = bytes.data() + from;
        size_t length = record[4];
        size_t text = strnlen(reinterpret_cast<const char*>(record + kRecordHead), length);
        if (list.index.full()) {
            // The index grows with the addresses found so far, to what the rest of the
            // file would add at the same rate: a file of many records for few addresses
            // keeps a small index.
            size_t distinct = list.index.used() - used_before;
            list.index.reserve(
                std::max<size_t>(distinct * (count - n) / std::max<size_t>(n, 1), 1));
        }
        list.index_record(read_address(record), base + to, length > 0 && text == 0);
        if (text != length || to != from) {
            std::memmove(bytes.data() + to, record, kRecordHead + text);
            bytes[to + 4] = static_cast<uint8_t>(text);
        }
        from += kRecordHead + length;
        to += kRecordHead + text;
    }
    bytes.resize(to);
    if (base == 0)
        list.image.swap(bytes);
    else
        list.image.insert(list.image.end(), bytes.begin(), bytes.end());
}

std::span<const uint8_t> host_cache_image() { return cache().image; }

bool save_host_cache_file(const std::string& path) {
    if (path.empty() || cache().off)
        return false;
    try {
        return platform_update_file(path, cache().stamp, [](std::vector<uint8_t>* now) {
            HostCache& list = cache();
            if (now != nullptr && !now->empty()) {
                // The file changed since it was loaded (another run saved, or it is
                // another file): its records as they are now come first, then this
                // cache's own, in order, for the addresses that it does not hold.
                std::vector<uint8_t> mine = std::move(list.image);
                list.image = {};
                list.index = {};
                load_host_cache_bytes(std::move(*now));
                list.loaded = list.image.size();
                for (size_t at = 0; at < mine.size(); at += kRecordHead + mine[at + 4])
                    list.append_unless_held(mine.data() + at, list.loaded);
            }
            return FileUpdate{true, list.image.data(), list.image.size()};
        });
    } catch (const std::bad_alloc&) {
        turn_cache_off();
        return false;
    }
}
