// The host-name cache: the file format, first-record-wins lookups, the cache on the
// file's bytes without a file (what a load of given bytes makes of them and the image a
// save writes), the file's path and the all-or-nothing save. No test here may reach the
// resolver: every lookup asks for an address the cache holds, checked first with
// cached_host_name.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "names/host_cache.h"
#include "settings/run_settings.h"
#include "support/packets.h"
#include "unit_helpers.h"

namespace {

namespace fs = std::filesystem;

using Name = std::optional<std::string>;
using packet::address_of;

// What cached_host_name answers for an address that the cache holds.
std::optional<Name> known(const Name& name) { return std::optional<Name>(name); }

// One file record: four address bytes, the length byte, the name bytes.
std::string record(uint32_t address, const std::string& name) {
    std::string bytes(reinterpret_cast<const char*>(&address), 4);
    bytes.push_back(static_cast<char>(name.size()));
    return bytes + name;
}

void write_bytes(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

std::vector<std::string> folder_listing(const fs::path& folder) {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<uint8_t> bytes_of(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

// The bytes a save would write now.
std::string image() {
    std::span<const uint8_t> bytes = host_cache_image();
    return std::string(bytes.begin(), bytes.end());
}

// An address and what cached_host_name answers for it: kNotCached, or known(name).
using Answer = std::pair<uint32_t, std::optional<Name>>;
const std::optional<Name> kNotCached;

class HostCacheTest : public ::testing::Test {
protected:
    // Each test has a new folder of its own, removed after it.
    void SetUp() override {
        clear_host_cache();
        std::string pattern = (fs::temp_directory_path() / "tarnhop-cache-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
    }
    void TearDown() override {
        clear_host_cache();
        std::error_code ignored;
        fs::permissions(folder_, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(folder_, ignored);
    }

    fs::path file(const char* name = "tarnhop.cache") const { return folder_ / name; }

    // Loads the bytes into an empty cache twice, from a file and then given as bytes; each
    // time the cache's image is 'saved' and it gives the answers, lookups with -c included
    // (only of cached addresses: no test may reach the resolver), and a save after the
    // lookups writes 'saved': they added nothing.
    void expect_records(const std::string& bytes, const std::string& saved,
                        const std::vector<Answer>& answers) {
        for (bool from_file : {true, false}) {
            SCOPED_TRACE(from_file ? "loaded from a file" : "loaded as bytes");
            clear_host_cache();
            if (from_file)
                load_file(bytes, "in.cache");
            else
                load_host_cache_bytes(bytes_of(bytes));
            EXPECT_EQ(image(), saved);
            expect_answers(answers);
            fs::remove(file("out.cache"));  // saved to a new file
            EXPECT_EQ(save_and_read("out.cache"), saved);
        }
    }

    // What cached_host_name gives for each address; for a cached one a lookup with -c
    // gives the same (no test may reach the resolver).
    void expect_answers(const std::vector<Answer>& answers) {
        for (const auto& [address, answer] : answers) {
            ASSERT_EQ(cached_host_name(address), answer) << address;
            if (answer.has_value()) {
                EXPECT_EQ(lookup_host_name(address, RunSettings{.use_cache = true}), *answer);
            }
        }
    }

    // Writes bytes as the cache file (or the file of this name) and loads it.
    void load_file(const std::string& bytes, const char* name = "tarnhop.cache") {
        write_bytes(file(name), bytes);
        load_host_cache_file(file(name).string());
    }

    // Saves the cache to its file (or the file of this name); returns what the file then holds.
    std::string save_and_read(const char* name = "tarnhop.cache") {
        EXPECT_TRUE(save_host_cache_file(file(name).string()));
        return file_text(file(name));
    }

    fs::path folder_;
};

const uint32_t kHop1 = address_of(198, 18, 1, 1);
const uint32_t kHop2 = address_of(198, 18, 2, 1);
const uint32_t kTarget = address_of(198, 18, 9, 2);
const uint32_t kNoName = address_of(198, 18, 9, 3);

TEST_F(HostCacheTest, RoundTripKeepsEveryRecordInFileOrder) {
    std::string bytes = record(kHop1, "r1.lab") + record(kNoName, "") +
                        record(kTarget, "target.lab") + record(kHop2, "r2.lab");
    // A record with no name is an answer too: none, and no resolver call.
    expect_records(bytes, bytes,
                   {{kHop1, known("r1.lab")},
                    {kHop2, known("r2.lab")},
                    {kTarget, known("target.lab")},
                    {kNoName, known(std::nullopt)},
                    {address_of(198, 18, 7, 7), kNotCached}});
}

TEST_F(HostCacheTest, AddressBytesAreKeptInNetworkOrder) {
    // The first four bytes of a record are the address's octets, first octet first.
    std::string bytes(
        "\xc6\x12\x09\x02\x03"
        "abc",
        8);
    expect_records(
        bytes, bytes,
        {{address_of(198, 18, 9, 2), known("abc")}, {address_of(2, 9, 18, 198), kNotCached}});
}

TEST_F(HostCacheTest, RecordCutAtTheEndOfTheFileIsDropped) {
    std::string whole = record(kHop1, "r1.lab") + record(kHop2, "r2.lab");
    std::string next = record(kTarget, "target.lab");
    // Cut inside the 5-byte head (one to four bytes of a further record), or inside the
    // name: the head promises ten bytes, fewer follow.
    for (size_t cut = 1; cut < 15; ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        expect_records(whole + next.substr(0, cut), whole,
                       {{kTarget, kNotCached}, {kHop2, known("r2.lab")}});
    }
    // Only a fragment: nothing at all.
    expect_records(next.substr(0, 7), "", {{kTarget, kNotCached}});
}

TEST_F(HostCacheTest, FirstRecordForAnAddressWinsAndAllAreWrittenBack) {
    std::string bytes = record(kHop1, "first.lab") + record(kHop2, "") +
                        record(kHop1, "second.lab") + record(kHop2, "named.lab") +
                        record(kHop1, "");
    // A first record without a name also wins over a later one with a name.
    expect_records(bytes, bytes, {{kHop1, known("first.lab")}, {kHop2, known(std::nullopt)}});
}

TEST_F(HostCacheTest, FirstRecordWinsAcrossManyRecords) {
    // Enough records to make the index grow many times; every address appears twice,
    // the second time with another name, and later in the file.
    constexpr int kCount = 20000;
    auto nth = [](int i) {
        return address_of(10, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i), 1);
    };
    std::string bytes;
    std::vector<Answer> answers{{address_of(10, 0, 0, 2), kNotCached}};
    for (int i = 0; i < kCount; ++i) {
        bytes += record(nth(i), "first-" + std::to_string(i));
        answers.emplace_back(nth(i), known("first-" + std::to_string(i)));
    }
    for (int i = kCount - 1; i >= 0; --i)
        bytes += record(nth(i), "second-" + std::to_string(i));
    expect_records(bytes, bytes, answers);
}

TEST_F(HostCacheTest, LongNamesAreReadWholeAndLongerOnesCutTo255Bytes) {
    std::string name200(200, 'a');
    name200.front() = 'h';
    name200.back() = 'z';
    ASSERT_EQ(static_cast<uint8_t>(record(kHop1, name200)[4]), 200);
    for (const std::string& name : {name200, std::string(255, 'b')})
        expect_records(record(kHop1, name), record(kHop1, name), {{kHop1, known(name)}});

    // An answer longer than a record can hold keeps its first 255 bytes.
    clear_host_cache();
    std::string name300 = std::string(255, 'c') + std::string(45, 'd');
    remember_host_name(kHop2, name300);
    EXPECT_EQ(cached_host_name(kHop2), known(std::string(255, 'c')));
    EXPECT_EQ(save_and_read(), record(kHop2, std::string(255, 'c')));
}

TEST_F(HostCacheTest, ZeroByteEndsTheName) {
    std::string bytes = record(kHop1, std::string("abc\0def", 7)) + record(kHop2, "r2.lab");
    expect_records(bytes, record(kHop1, "abc") + record(kHop2, "r2.lab"),
                   {{kHop1, known("abc")}, {kHop2, known("r2.lab")}});
}

TEST_F(HostCacheTest, EmptyNameIsWrittenAsNoName) {
    // A name whose first byte is zero is the empty text: shown as such in this run,
    // written with N = 0, and read back as no name.
    std::string saved = record(kHop1, "") + record(kHop2, "r2.lab");
    expect_records(record(kHop1, std::string("\0x", 2)) + record(kHop2, "r2.lab"), saved,
                   {{kHop1, known("")}});
    expect_records(saved, saved, {{kHop1, known(std::nullopt)}});

    clear_host_cache();
    remember_host_name(kTarget, std::string());
    remember_host_name(kNoName, std::nullopt);
    EXPECT_EQ(save_and_read(), record(kTarget, "") + record(kNoName, ""));
}

TEST_F(HostCacheTest, NewAnswersFollowTheFileRecords) {
    std::string bytes = record(kHop1, "r1.lab") + record(kHop2, "r2.lab");
    load_file(bytes);
    remember_host_name(kTarget, Name("target.lab"));
    remember_host_name(kNoName, std::nullopt);
    // A second answer for a cached address is written too, but the first one is used.
    remember_host_name(kHop1, Name("other.lab"));
    expect_answers(
        {{kHop1, known("r1.lab")}, {kTarget, known("target.lab")}, {kNoName, known(std::nullopt)}});
    EXPECT_EQ(save_and_read(), bytes + record(kTarget, "target.lab") + record(kNoName, "") +
                                   record(kHop1, "other.lab"));
}

TEST_F(HostCacheTest, SecondFileFollowsTheFirst) {
    std::string first = record(kHop1, "r1.lab") + record(kTarget, "");
    std::string second = record(kTarget, "target.lab") + record(kHop2, std::string("r2\0x", 4)) +
                         record(kNoName, "").substr(0, 3);
    load_file(first, "first.cache");
    remember_host_name(kNoName, Name("learned.lab"));
    load_file(second, "second.cache");
    expect_answers(
        {{kTarget, known(std::nullopt)}, {kHop2, known("r2")}, {kNoName, known("learned.lab")}});
    EXPECT_EQ(save_and_read(), first + record(kNoName, "learned.lab") +
                                   record(kTarget, "target.lab") + record(kHop2, "r2"));
}

TEST_F(HostCacheTest, NoResolveAnswersNoneWithoutAddingAnything) {
    std::string bytes = record(kHop1, "r1.lab");
    load_file(bytes);
    const RunSettings settings{.no_resolve = true, .use_cache = true};
    EXPECT_EQ(lookup_host_name(kHop1, settings), std::nullopt);
    EXPECT_EQ(lookup_host_name(kHop2, settings), std::nullopt);
    EXPECT_FALSE(cached_host_name(kHop2).has_value());
    EXPECT_EQ(save_and_read(), bytes);
}

TEST_F(HostCacheTest, MissingFileIsAnEmptyCacheAndSavesAsAnEmptyFile) {
    // As a run with -c -d and no cache file yet: nothing loaded, nothing looked up, and
    // the save creates a file of 0 bytes.
    load_host_cache_file(file().string());
    EXPECT_FALSE(cached_host_name(kHop1).has_value());
    ASSERT_FALSE(fs::exists(file()));
    ASSERT_TRUE(save_host_cache_file(file().string()));
    ASSERT_TRUE(fs::is_regular_file(file()));
    EXPECT_EQ(fs::file_size(file()), 0u);
    EXPECT_EQ(folder_listing(folder_), std::vector<std::string>{"tarnhop.cache"});
}

TEST_F(HostCacheTest, UnreadableFileIsAnEmptyCache) {
    // A folder where the file should be cannot be read as one.
    fs::create_directory(file());
    load_host_cache_file(file().string());
    EXPECT_FALSE(cached_host_name(kHop1).has_value());
    load_host_cache_file("");
    EXPECT_FALSE(save_host_cache_file(""));
}

TEST(HostCachePath, ExtensionOfTheFileNameOnly) {
    // Each line of tests/unit/data/uother_cache_paths.txt: an executable's path, a tab, its
    // cache file's path. A dot in a folder name is not an extension; only the last dot of
    // the file name starts the extension; the leading dot of a hidden file starts none;
    // either separator ends a folder name.
    const std::vector<std::vector<std::string>> rows = unit_data_rows("uother_cache_paths.txt");
    EXPECT_EQ(rows.size(), 12u);
    for (const std::vector<std::string>& row : rows)
        EXPECT_EQ(host_cache_path_for(row.at(0)), row.at(1)) << '"' << row[0] << '"';
    // No executable path, no cache file.
    EXPECT_EQ(host_cache_path_for(""), "");
}

TEST(HostCachePath, BesideTheRunningExecutable) {
    fs::path executable = fs::read_symlink("/proc/self/exe");
    fs::path expected = executable;
    expected.replace_extension(".cache");
    EXPECT_EQ(host_cache_path(), expected.string());
    EXPECT_EQ(fs::path(host_cache_path()).parent_path(), executable.parent_path());
}

// ---- The all-or-nothing save ---------------------------------------------------------

class HostCacheSaveTest : public HostCacheTest {
protected:
    // The cache holds 'count' records of 40-byte names; returns the bytes a save writes.
    std::string fill(int count) {
        std::string bytes;
        for (int i = 0; i < count; ++i) {
            std::string name = "host-" + std::to_string(i) + std::string(30, 'x');
            name.resize(40, 'y');
            uint32_t address =
                address_of(198, 18, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i));
            remember_host_name(address, name);
            bytes += record(address, name);
        }
        return bytes;
    }

    // Saves the cache as user nobody in a child process: 1 saved, 0 not, -1 no child.
    int save_as_nobody() {
        pid_t child = fork();
        if (child == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0)
                _exit(99);
            _exit(save_host_cache_file(file().string()) ? 1 : 0);
        }
        int status = 0;
        if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status))
            return -1;
        return WEXITSTATUS(status);
    }

    std::string old_bytes_ = record(kHop1, "old.lab") + record(kHop2, "");
};

TEST_F(HostCacheSaveTest, ReplacesTheFileAndLeavesNothingElse) {
    write_bytes(file(), old_bytes_);
    fs::permissions(file(), fs::perms(0640));
    load_host_cache_file(file().string());
    std::string bytes = fill(300);
    EXPECT_EQ(save_and_read(), old_bytes_ + bytes);
    EXPECT_EQ(fs::status(file()).permissions(), fs::perms(0640));
    EXPECT_EQ(folder_listing(folder_), std::vector<std::string>{"tarnhop.cache"});
}

TEST_F(HostCacheSaveTest, WriteFailingPartWayKeepsTheOldFile) {
    // A file-size limit below the new contents makes the write fail part-way, like a
    // full disk would.
    write_bytes(file(), old_bytes_);
    std::string bytes = fill(2000);
    ASSERT_GT(bytes.size(), 50000u);
    rlimit saved_limit{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved_limit), 0);
    sighandler_t saved_handler = signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved_limit;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool saved = save_host_cache_file(file().string());
    setrlimit(RLIMIT_FSIZE, &saved_limit);
    signal(SIGXFSZ, saved_handler);
    EXPECT_FALSE(saved);
    EXPECT_EQ(file_text(file()), old_bytes_);
    EXPECT_EQ(folder_listing(folder_), std::vector<std::string>{"tarnhop.cache"});
}

TEST_F(HostCacheSaveTest, MissingFolderOrFolderInTheWayFails) {
    fill(3);
    fs::path missing = folder_ / "no-such-folder" / "tarnhop.cache";
    EXPECT_FALSE(save_host_cache_file(missing.string()));
    EXPECT_FALSE(fs::exists(missing.parent_path()));

    fs::create_directory(file());
    write_bytes(file() / "inside", "kept");
    EXPECT_FALSE(save_host_cache_file(file().string()));
    EXPECT_TRUE(fs::is_directory(file()));
    EXPECT_EQ(file_text(file() / "inside"), "kept");
    EXPECT_EQ(folder_listing(folder_), std::vector<std::string>{"tarnhop.cache"});
}

TEST_F(HostCacheSaveTest, LinkedFileIsReplacedAndTheLinkKept) {
    fs::create_directory(folder_ / "real");
    fs::path real = folder_ / "real" / "shared.cache";
    write_bytes(real, old_bytes_);
    fs::create_symlink(real, file());
    load_host_cache_file(file().string());
    std::string bytes = fill(5);
    ASSERT_TRUE(save_host_cache_file(file().string()));
    EXPECT_TRUE(fs::is_symlink(file()));
    EXPECT_EQ(file_text(real), old_bytes_ + bytes);
    EXPECT_EQ(folder_listing(folder_ / "real"), std::vector<std::string>{"shared.cache"});
}

// The file's user and group.
std::pair<uid_t, gid_t> owner_of(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return {info.st_uid, info.st_gid};
}

TEST_F(HostCacheSaveTest, FileWeMayWriteIsSavedKeepingItsOwnerAndOneWeMayNotIsKept) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    // Each step: the old file's and the folder's modes, whether nobody's save succeeds.
    struct Step {
        const char* what;
        fs::perms file, folder;
        int saved;
    };
    const Step steps[] = {
        // The folder is nobody's to read but not to write: written in place.
        {"root's file writable by all", fs::perms(0666), fs::perms(0755), 1},
        // Left alone, although a rename in the folder could replace it.
        {"read-only file, folder writable by all", fs::perms(0444), fs::perms(0777), 0},
        // Written in place, not replaced: it stays root's.
        {"writable file, folder writable by all", fs::perms(0666), fs::perms(0777), 1},
    };
    load_file(old_bytes_);
    std::string bytes = fill(50);
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        write_bytes(file(), old_bytes_);
        fs::permissions(file(), step.file);
        fs::permissions(folder_, step.folder);
        EXPECT_EQ(save_as_nobody(), step.saved);
        EXPECT_EQ(file_text(file()), step.saved ? old_bytes_ + bytes : old_bytes_);
        EXPECT_EQ(owner_of(file()), std::make_pair(0u, 0u));
        EXPECT_EQ(folder_listing(folder_), std::vector<std::string>{"tarnhop.cache"});
    }
    fs::permissions(folder_, fs::perms(0700));
}

TEST_F(HostCacheSaveTest, OwnerOfTheOldFileIsKept) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give the file to another user";
    load_file(old_bytes_);
    ASSERT_EQ(chown(file().c_str(), 65534, 65534), 0);
    std::string bytes = fill(5);
    ASSERT_TRUE(save_host_cache_file(file().string()));
    EXPECT_EQ(owner_of(file()), std::make_pair(65534u, 65534u));
    EXPECT_EQ(file_text(file()), old_bytes_ + bytes);
}

// ---- The cache on the file's bytes, without a file -----------------------------------

using HostCacheBytesTest = HostCacheTest;

TEST_F(HostCacheBytesTest, ImageIsTheLoadedRecordsMadeWhole) {
    std::string bytes = record(kHop1, "r1.lab") + record(kHop2, std::string("r2\0junk", 7)) +
                        record(kHop1, "second") + std::string("\xc6\x12", 2);
    expect_records(bytes, record(kHop1, "r1.lab") + record(kHop2, "r2") + record(kHop1, "second"),
                   {{kHop1, known("r1.lab")}, {kHop2, known("r2")}});
}

TEST_F(HostCacheBytesTest, SecondLoadAppendsAndTheFirstRecordStillAnswers) {
    load_host_cache_bytes(bytes_of(record(kHop1, "first")));
    remember_host_name(kHop2, std::nullopt);
    load_host_cache_bytes(bytes_of(record(kHop1, "later") + record(kHop2, "named")));
    EXPECT_EQ(image(), record(kHop1, "first") + record(kHop2, "") + record(kHop1, "later") +
                           record(kHop2, "named"));
    expect_answers({{kHop1, known("first")}, {kHop2, known(std::nullopt)}});
}

}  // namespace
