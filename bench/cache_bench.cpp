// Host-name cache at scale: builds a cache file of many records (router-like names, some
// "no name" records, some addresses twice), then times loading it, looking every record's
// address up through lookup_host_name with -c on, and saving it; reports each phase, the
// total and the peak resident memory against the file's size. Each run is a fresh child
// process so that its peak memory is its own; the medians of all runs come last.
//
//   cache_bench [--records N] [--runs R] [--dir FOLDER]
//
// No lookup reaches the resolver: every looked-up address is a record of the file (each
// is checked before the timed lookups), and the saved file must equal the loaded one.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "names/host_cache.h"
#include "settings/run_settings.h"

namespace {

struct Options {
    uint32_t records = 1000000;
    int runs = 5;
    std::string folder;
};

// Wall-clock and CPU milliseconds of one phase. On a shared machine the wall clock also
// counts the time that other programs had the processor; the CPU time does not.
struct Phase {
    double wall_ms = 0;
    double cpu_ms = 0;
};

struct Figures {
    Phase load;
    Phase lookup;
    Phase save;
    Phase total;
    long peak_kib = 0;
    long before_kib = 0;  // peak before the load: the program itself
    uint64_t checksum = 0;
    bool ok = false;
};

// Distinct addresses for distinct record numbers: multiplying by an odd number is a
// bijection on 32 bits.
uint32_t address_of_record(uint32_t record) { return record * 2654435761u + 0x0a000001u; }

constexpr uint32_t kNoNameEvery = 17;     // every 17th address has no name
constexpr uint32_t kDuplicateEvery = 50;  // every 50th record repeats an earlier address

// The record number whose address record 'record' carries.
uint32_t owner_of(uint32_t record) {
    if (record % kDuplicateEvery == kDuplicateEvery - 1 && record >= 1000)
        return record - 997;
    return record;
}

std::string name_of_record(uint32_t record, uint32_t owner) {
    static const char* const kKinds[] = {"ae", "xe", "et", "ge", "be", "host", "core", "edge"};
    static const char* const kSites[] = {"fra1", "lon2", "ams3", "par1", "nyc4", "sjc2",
                                         "tyo1", "sin3", "syd1", "gru2", "jnb1", "mad1",
                                         "waw2", "hel1", "dub1", "prg3"};
    static const char* const kNets[] = {"carrier-one.example",          "backbone.test",
                                        "metro-fibre-networks.example", "isp.invalid",
                                        "transit.example.net",          "lab"};
    char text[256];
    uint32_t mix = owner * 2246822519u;
    int length =
        std::snprintf(text, sizeof text, "%s-%u-%u-%u.%s%u.%s.%s", kKinds[mix % 8], (mix >> 3) % 16,
                      (mix >> 7) % 8, record % 1000, (mix >> 10) % 2 ? "cr" : "br",
                      (mix >> 11) % 9 + 1, kSites[(mix >> 14) % 16], kNets[(mix >> 18) % 6]);
    return std::string(text, static_cast<size_t>(length));
}

bool write_cache_file(const std::string& path, uint32_t records, uint64_t* size) {
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr)
        return false;
    *size = 0;
    for (uint32_t record = 0; record < records; ++record) {
        uint32_t owner = owner_of(record);
        uint32_t address = address_of_record(owner);
        std::string name =
            owner % kNoNameEvery == 0 ? std::string() : name_of_record(record, owner);
        uint8_t head[5];
        std::memcpy(head, &address, 4);
        head[4] = static_cast<uint8_t>(name.size());
        std::fwrite(head, 1, 5, out);
        std::fwrite(name.data(), 1, name.size(), out);
        *size += 5 + name.size();
    }
    return std::fclose(out) == 0;
}

double cpu_ms() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

class PhaseTimer {
public:
    PhaseTimer() : wall_(std::chrono::steady_clock::now()), cpu_(cpu_ms()) {}
    Phase stop() const {
        std::chrono::duration<double, std::milli> wall = std::chrono::steady_clock::now() - wall_;
        return Phase{wall.count(), cpu_ms() - cpu_};
    }

private:
    std::chrono::steady_clock::time_point wall_;
    double cpu_;
};

long peak_kib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

bool same_file(const std::string& a, const std::string& b) {
    FILE* fa = std::fopen(a.c_str(), "rb");
    FILE* fb = std::fopen(b.c_str(), "rb");
    bool same = fa != nullptr && fb != nullptr;
    std::vector<char> ba(1 << 16), bb(1 << 16);
    while (same) {
        size_t ga = std::fread(ba.data(), 1, ba.size(), fa);
        size_t gb = std::fread(bb.data(), 1, bb.size(), fb);
        same = ga == gb && std::memcmp(ba.data(), bb.data(), ga) == 0;
        if (ga == 0)
            break;
    }
    if (fa != nullptr)
        std::fclose(fa);
    if (fb != nullptr)
        std::fclose(fb);
    return same;
}

bool copy_file(const std::string& from, const std::string& to) {
    FILE* in = std::fopen(from.c_str(), "rb");
    FILE* out = std::fopen(to.c_str(), "wb");
    bool ok = in != nullptr && out != nullptr;
    std::vector<char> buffer(1 << 16);
    while (ok) {
        size_t got = std::fread(buffer.data(), 1, buffer.size(), in);
        if (got == 0)
            break;
        ok = std::fwrite(buffer.data(), 1, got, out) == got;
    }
    if (in != nullptr)
        std::fclose(in);
    if (out != nullptr)
        ok = std::fclose(out) == 0 && ok;
    return ok;
}

// One run, as a run with -c does it on its cache file (a copy of input, made untimed):
// load, every address looked up once in a shuffled order, save.
Figures run_once(const std::string& input, const std::string& output, uint32_t records) {
    Figures figures;
    figures.before_kib = peak_kib();
    RunSettings settings;
    settings.use_cache = true;
    if (!copy_file(input, output)) {
        std::fprintf(stderr, "cannot copy %s\n", input.c_str());
        return figures;
    }

    PhaseTimer load;
    load_host_cache_file(output);
    figures.load = load.stop();

    // Untimed check that no lookup below can reach the resolver.
    for (uint32_t record = 0; record < records; ++record) {
        if (!cached_host_name(address_of_record(owner_of(record)))) {
            std::fprintf(stderr, "record %u is not in the cache\n", record);
            return figures;
        }
    }

    PhaseTimer lookups;
    uint64_t checksum = 0;
    uint32_t state = 0x9e3779b9u;
    for (uint32_t i = 0; i < records; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        std::optional<std::string> name =
            lookup_host_name(address_of_record(owner_of(state % records)), settings);
        checksum += name ? name->size() + 1 : 0;
    }
    figures.lookup = lookups.stop();
    figures.checksum = checksum;

    PhaseTimer save;
    bool saved = save_host_cache_file(output);  // the file it loaded
    figures.save = save.stop();
    figures.total = Phase{figures.load.wall_ms + figures.lookup.wall_ms + figures.save.wall_ms,
                          figures.load.cpu_ms + figures.lookup.cpu_ms + figures.save.cpu_ms};
    figures.peak_kib = peak_kib();
    figures.ok = saved && same_file(input, output);
    if (!figures.ok)
        std::fprintf(stderr, "the saved file differs from the loaded one\n");
    return figures;
}

// Runs run_once in a child process and reads its figures back through a pipe.
bool run_in_child(const std::string& input, const std::string& output, uint32_t records,
                  Figures* figures) {
    int channel[2];
    if (pipe(channel) != 0)
        return false;
    pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        Figures mine = run_once(input, output, records);
        ssize_t put = write(channel[1], &mine, sizeof mine);
        _exit(put == static_cast<ssize_t>(sizeof mine) && mine.ok ? 0 : 1);
    }
    close(channel[1]);
    ssize_t got = child > 0 ? read(channel[0], figures, sizeof *figures) : -1;
    close(channel[0]);
    int status = 0;
    if (child > 0)
        waitpid(child, &status, 0);
    return got == static_cast<ssize_t>(sizeof *figures) && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

template <typename Field>
double median(std::vector<Figures> runs, Field field) {
    std::sort(runs.begin(), runs.end(),
              [&](const Figures& a, const Figures& b) { return field(a) < field(b); });
    size_t middle = runs.size() / 2;
    if (runs.size() % 2 == 1)
        return field(runs[middle]);
    return (field(runs[middle - 1]) + field(runs[middle])) / 2;
}

void print_row(const std::string& label, Phase load, Phase lookup, Phase save, Phase total,
               double peak_kib, uint64_t file_size) {
    double peak = peak_kib * 1024.0;
    std::printf("%-6s", label.c_str());
    for (Phase phase : {load, lookup, save, total})
        std::printf(" %6.0f/%-6.0f", phase.wall_ms, phase.cpu_ms);
    std::printf(" %9.1f %10.2f\n", peak / 1048576.0, peak / static_cast<double>(file_size));
}

bool parse(int argc, char** argv, Options* options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--records")
            options->records = static_cast<uint32_t>(std::strtoul(argv[i + 1], nullptr, 10));
        else if (option == "--runs")
            options->runs = std::atoi(argv[i + 1]);
        else if (option == "--dir")
            options->folder = argv[i + 1];
        else
            return false;
    }
    return argc % 2 == 1 && options->records > 0 && options->runs > 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, &options)) {
        std::fprintf(stderr, "usage: cache_bench [--records N] [--runs R] [--dir FOLDER]\n");
        return 2;
    }
    std::string folder = options.folder;
    bool own_folder = folder.empty();
    if (own_folder) {
        char pattern[] = "/tmp/tarnhop-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            return 1;
        folder = pattern;
    }
    std::string input = folder + "/bench-in.cache";
    std::string output = folder + "/bench-out.cache";
    uint64_t size = 0;
    if (!write_cache_file(input, options.records, &size)) {
        std::fprintf(stderr, "cannot write %s\n", input.c_str());
        return 1;
    }
    std::printf("%u records, file %.1f MiB (%.1f bytes a record)\n", options.records,
                static_cast<double>(size) / 1048576.0, static_cast<double>(size) / options.records);
    std::printf("times in ms, wall clock/CPU\n");
    std::printf("%-6s %13s %13s %13s %13s %9s %10s\n", "run", "load", "lookups", "save", "total",
                "peak MiB", "peak/file");
    std::vector<Figures> runs;
    bool ok = true;
    for (int run = 0; run < options.runs && ok; ++run) {
        Figures figures;
        ok = run_in_child(input, output, options.records, &figures);
        if (!ok)
            break;
        print_row(std::to_string(run + 1), figures.load, figures.lookup, figures.save,
                  figures.total, static_cast<double>(figures.peak_kib), size);
        runs.push_back(figures);
    }
    std::remove(input.c_str());
    std::remove(output.c_str());
    if (own_folder)
        rmdir(folder.c_str());
    if (!ok) {
        std::fprintf(stderr, "a run failed\n");
        return 1;
    }
    auto wall = [&](Phase Figures::*phase) {
        return median(runs, [phase](const Figures& f) { return (f.*phase).wall_ms; });
    };
    auto cpu = [&](Phase Figures::*phase) {
        return median(runs, [phase](const Figures& f) { return (f.*phase).cpu_ms; });
    };
    print_row("median", Phase{wall(&Figures::load), cpu(&Figures::load)},
              Phase{wall(&Figures::lookup), cpu(&Figures::lookup)},
              Phase{wall(&Figures::save), cpu(&Figures::save)},
              Phase{wall(&Figures::total), cpu(&Figures::total)},
              median(runs, [](const Figures& f) { return double(f.peak_kib); }), size);
    std::printf("program alone before the load: %.1f MiB\n",
                median(runs, [](const Figures& f) { return double(f.before_kib); }) / 1024.0);
    return 0;
}
