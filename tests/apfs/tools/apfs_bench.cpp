// apfs-bench DEVICE_DIR: for each fixture device, the device transfers and the time that opening
// the container (checkpoint, maps and object map) and resolving its volumes through the object
// map take. Native build only: the transfers are counted by the native device layer.
//
// Usage: apfs-bench build-native/tests/apfs/devices
#include "container.h"
#include "device_api.h"
#include "fs_reader.h"
#include "tree.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

struct Fixture {
    const char* name;
    const char* device;
};

const Fixture kFixtures[] = {
    {"dfvfs_apfs", "\\\\.\\HarddiskVolume41"},
    {"pop_ci_1g", "\\\\.\\HarddiskVolume42"},
    {"pop_cs_1g", "\\\\.\\HarddiskVolume43"},
    {"pop_csns_1g", "\\\\.\\HarddiskVolume44"},
    {"apfs_forensic_nxsb_head", "\\\\.\\HarddiskVolume45"},
    {"apfs_forensic_container_chain", "\\\\.\\HarddiskVolume46"},
    {"apfs_forensic_fstree", "\\\\.\\HarddiskVolume47"},
    {"apfs_forensic_content", "\\\\.\\HarddiskVolume48"},
    {"enc_dfvfs", "\\\\.\\HarddiskVolume49"},
};

constexpr int kRounds = 20;

struct Figures {
    uint64_t reads = 0, bytes = 0;
    double micros = 0;
};

double Micros(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

// One open of the container; false when it does not open.
bool OpenOnce(const char* device, Figures* open, Figures* omap, uint32_t* volumes) {
    FsReader reader;
    FsReader_Reset(&reader);
    bool ok = false;
    if (FsReader_Init(&reader, device)) {
        apfs_container container;
        apfs_container_init(&container);
        uint8_t block0[4096];
        fs_posix_read_stats_reset();
        auto start = std::chrono::steady_clock::now();
        ok = FsReader_Read(&reader, 0, block0, sizeof block0) &&
             apfs_container_open(&container, block0, &reader);
        open->micros += Micros(std::chrono::steady_clock::now() - start);
        fs_posix_read_stats(&open->reads, &open->bytes);
        if (ok) {
            *volumes = container.volume_count;
            fs_posix_read_stats_reset();
            start = std::chrono::steady_clock::now();
            for (uint32_t i = 0; i < container.volume_count; i++) {
                uint8_t key[16], value[16];
                uint32_t not_found = 0;
                apfs_omap_lookup(container.omap_tree,
                                 apfs_le64(container.superblock + APFS_NX_FS_OID + 8 * i), key, value,
                                 &not_found);
            }
            omap->micros += Micros(std::chrono::steady_clock::now() - start);
            fs_posix_read_stats(&omap->reads, &omap->bytes);
        }
        apfs_container_free(&container);
    }
    FsReader_Uninit(&reader);
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s DEVICE_DIR\n", argv[0]);
        return 2;
    }
    setenv("VOLARIX_DEVICES", argv[1], 1);
    printf("%-30s %7s %7s %9s %10s | %9s %9s %10s\n", "fixture", "volumes", "reads", "bytes", "open us",
           "omap rds", "bytes", "lookup us");
    for (const Fixture& f : kFixtures) {
        Figures open, omap;
        uint32_t volumes = 0;
        bool ok = true;
        for (int round = 0; round < kRounds && ok; round++)
            ok = OpenOnce(f.device, &open, &omap, &volumes);
        if (!ok) {
            printf("%-30s %7s %7llu %9llu %10s\n", f.name, "-", (unsigned long long)open.reads,
                   (unsigned long long)open.bytes, "does not open");
            continue;
        }
        printf("%-30s %7u %7llu %9llu %10.0f | %9llu %9llu %10.1f\n", f.name, volumes,
               (unsigned long long)open.reads, (unsigned long long)open.bytes, open.micros / kRounds,
               (unsigned long long)omap.reads, (unsigned long long)omap.bytes, omap.micros / kRounds);
    }
    return 0;
}
