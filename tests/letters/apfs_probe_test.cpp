// The APFS volume probe over real images linked as volume devices: under Wine through the
// service's entry with an NT device name, natively through the same probe over the device path,
// where LeakSanitizer checks that every path frees what it made.
#include "apfs_test_support.h"
#include "probe_volume.h"

#include <gtest/gtest.h>

namespace {

// Devices linked by tests/letters/CMakeLists.txt beside those of the reader's tests.
constexpr int kDfvfs = 41;
constexpr int kPopCi = 42;
constexpr int kPopCsns = 44;
constexpr int kNxsbHead = 45;
constexpr int kEncDfvfs = 49;
constexpr int kEmpty = 61;
constexpr int kFat = 62;
constexpr int kNtfs = 63;
constexpr int kPreboot = 64;
constexpr int kMissing = 69;
// Containers with several volumes (make-probe-images.py), roles by index. Only the volume that the
// choice must find mounts, so probing any other answers no.
constexpr int kSystemData = 71;    // system, data
constexpr int kUpdateData = 72;    // 0xC0, data
constexpr int kNoData = 73;        // preboot, recovery, 0xC0
constexpr int kFive = 74;          // system, preboot, recovery, VM, data
constexpr int kEncryptedData = 75; // system that mounts, encrypted data
constexpr int kBrokenData = 76;    // system that mounts, data that does not
// Encrypted, its volume object map giving the root tree two blocks.
constexpr int kEncryptedTwoBlockTree = 77;

int Probe(int volume) {
    apfs_test::UseTestDevices();
    return ProbeTestVolume(volume);
}

TEST(ApfsProbe, PopulatedDataVolumeGetsALetter) {
    EXPECT_EQ(1, Probe(kDfvfs));
    EXPECT_EQ(1, Probe(kPopCi));
    EXPECT_EQ(1, Probe(kPopCsns));
}

TEST(ApfsProbe, EncryptedVolumeGetsALetterWithoutPassword) {
    EXPECT_EQ(1, Probe(kEncDfvfs));
}

// An encrypted volume counts only when its key alone is missing, not its object map.
TEST(ApfsProbe, EncryptedVolumeWithDamagedObjectMapGetsNoLetter) {
    EXPECT_EQ(0, Probe(kEncryptedTwoBlockTree));
}

TEST(ApfsProbe, ContainerWithoutDataVolumeIsProbedWithItsFirstVolume) {
    EXPECT_EQ(1, Probe(kPreboot));
}

TEST(ApfsProbe, ContainerWithSeveralVolumesIsProbedWithItsDataVolume) {
    EXPECT_EQ(1, Probe(kSystemData));
    EXPECT_EQ(1, Probe(kUpdateData));
    EXPECT_EQ(1, Probe(kFive));
    EXPECT_EQ(1, Probe(kNoData));
}

// The system volume beside the data volume never answers in its place.
TEST(ApfsProbe, ContainerWithSeveralVolumesAnswersFromItsDataVolumeAlone) {
    EXPECT_EQ(1, Probe(kEncryptedData));
    EXPECT_EQ(0, Probe(kBrokenData));
}

TEST(ApfsProbe, OtherVolumesGetNoLetter) {
    EXPECT_EQ(0, Probe(kEmpty));
    EXPECT_EQ(0, Probe(kFat));
    EXPECT_EQ(0, Probe(kNtfs));
    EXPECT_EQ(0, Probe(kMissing));
}

TEST(ApfsProbe, ContainerWhoseObjectMapIsGoneGetsNoLetter) {
    EXPECT_EQ(0, Probe(kNxsbHead));
}

#ifdef _WIN32
TEST(ApfsProbe, NameWithoutVolumePartIsRefused) {
    EXPECT_EQ(0, ProbeApfsVolume(L"\\Device"));
    EXPECT_EQ(0, ProbeApfsVolume(L""));
}
#endif

} // namespace
