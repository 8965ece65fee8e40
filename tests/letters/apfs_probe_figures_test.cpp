// Figures of one whole probe per fixture: device transfers, distinct 4096-byte units and time.
// The transfers are counted where the device reader meets the runtime: its seek and read calls.
#include "apfs_test_support.h"
#include "probe_volume.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <set>

#ifdef _WIN32
#include "import_patch.h"
#endif

namespace {

uint64_t g_reads;
int64_t g_position;
std::set<int64_t> g_units;
// Whether the last reader closed had failed with every unit of its budget spent.
bool g_budgetSpent;

} // namespace

// The probe's reader as it is closed, before its state is reset.
extern "C" {
void __real_FsReader_Uninit(FsReader* reader);

void __wrap_FsReader_Uninit(FsReader* reader) {
    g_budgetSpent = reader->failed != 0 && reader->units == reader->budget;
    __real_FsReader_Uninit(reader);
}
}

#ifdef _WIN32
namespace {

using SeekFn = long long(__cdecl*)(int, long long, int);
using ReadFn = int(__cdecl*)(int, void*, unsigned int);
SeekFn g_seek;
ReadFn g_read;

long long __cdecl CountingSeek(int fd, long long offset, int origin) {
    long long r = g_seek(fd, offset, origin);
    g_position = r;
    return r;
}

int __cdecl CountingRead(int fd, void* buffer, unsigned int count) {
    g_reads++;
    g_units.insert(g_position);
    return g_read(fd, buffer, count);
}

} // namespace
#else
extern "C" {
int64_t __real_fs_posix_lseeki64(int fd, int64_t offset, int origin);
int __real_fs_posix_read(int fd, void* buffer, unsigned int count);

int64_t __wrap_fs_posix_lseeki64(int fd, int64_t offset, int origin) {
    int64_t r = __real_fs_posix_lseeki64(fd, offset, origin);
    g_position = r;
    return r;
}

int __wrap_fs_posix_read(int fd, void* buffer, unsigned int count) {
    g_reads++;
    g_units.insert(g_position);
    return __real_fs_posix_read(fd, buffer, count);
}
}
#endif

namespace {

TEST(ApfsProbeFigures, OneWholeProbePerFixture) {
    apfs_test::UseTestDevices();
#ifdef _WIN32
    CImportPatch seek("msvcrt.dll", "_lseeki64", reinterpret_cast<void*>(&CountingSeek));
    CImportPatch read("msvcrt.dll", "_read", reinterpret_cast<void*>(&CountingRead));
    ASSERT_TRUE(seek.Active() && read.Active());
    g_seek = seek.Original<SeekFn>();
    g_read = read.Original<ReadFn>();
#endif
    // The answer, and the most transfers the probe may make (walks that stop early stay well below
    // the budget), or kSpendsBudget for a probe that the budget ends: its reader is closed failed
    // with every unit of the budget spent, which no probe that stopped for another reason shows.
    constexpr uint64_t kSpendsBudget = 0;
    struct Case {
        const char* name;
        int volume;
        int expected;
        uint64_t most_reads;
    };
    const Case cases[] = {{"dfvfs_apfs", 41, 1, 32},
                          {"pop_ci_1g", 42, 1, 32},
                          {"pop_cs_1g", 43, 1, 32},
                          {"pop_csns_1g", 44, 1, 32},
                          {"forensic_nxsb_head", 45, 0, 32},
                          {"forensic_container_chain", 46, 1, 32},
                          {"forensic_fstree", 47, 1, 32},
                          {"forensic_content", 48, 1, 32},
                          {"enc_dfvfs", 49, 1, 32},
                          {"probe_five", 74, 1, 32},
                          {"probe_system_encrypted_data", 75, 1, 32},
                          {"hostile_tree_many_links", 81, 1, 32},
                          {"hostile_tree_many_streams", 82, 1, 32},
                          {"hostile_tree_many_crypto", 83, 1, 32},
                          {"hostile_tree_many_extents", 84, 1, 32},
                          {"hostile_tree_many_attrs", 85, 0, kSpendsBudget},
                          {"hostile_area_huge", 86, 0, 8},
                          {"hostile_area_sparse", 87, 0, kSpendsBudget},
                          {"hostile_area_real", 88, 1, 320}};
    constexpr int kRounds = 20;
    // An untimed pass first: the first probes of a process pay warm-up costs that would otherwise
    // land in the first rows.
    for (const Case& c : cases) {
        for (int i = 0; i < kRounds; i++)
            ProbeTestVolume(c.volume);
    }
    printf("%-28s %8s %8s %10s\n", "fixture", "reads", "units", "ms/probe");
    for (const Case& c : cases) {
        g_reads = 0;
        g_units.clear();
        g_budgetSpent = false;
        EXPECT_EQ(c.expected, ProbeTestVolume(c.volume)) << c.name;
        uint64_t reads = g_reads;
        size_t units = g_units.size();
        const bool spent = g_budgetSpent;
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kRounds; i++)
            ProbeTestVolume(c.volume);
        double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() /
            kRounds;
        printf("%-28s %8llu %8zu %10.3f\n", c.name, static_cast<unsigned long long>(reads), units, ms);
        EXPECT_EQ(c.most_reads == kSpendsBudget, spent) << c.name;
        if (c.most_reads != kSpendsBudget) {
            EXPECT_LE(reads, c.most_reads) << c.name;
        }
        // A generous bound: the figures themselves are the report, the target is far below.
        EXPECT_LT(ms, 1000.0) << c.name;
    }
}

} // namespace
