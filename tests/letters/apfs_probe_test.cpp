// The APFS volume probe over real images linked as volume devices: under Wine through the
// service's entry with an NT device name, natively through the same probe over the device path,
// where LeakSanitizer checks that every path frees what it made.
#include "apfs_probe.h"

#include "apfs_test_support.h"

#include <gtest/gtest.h>

#include <string>

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

int Probe(int volume) {
    apfs_test::UseTestDevices();
#ifdef _WIN32
    std::wstring name = L"\\Device\\HarddiskVolume" + std::to_wstring(volume);
    return ProbeApfsVolume(name.c_str());
#else
    std::string path = "\\\\.\\HarddiskVolume" + std::to_string(volume);
    return ProbeApfsDevicePath(path.c_str());
#endif
}

TEST(ApfsProbe, PopulatedDataVolumeGetsALetter) {
    EXPECT_EQ(1, Probe(kDfvfs));
    EXPECT_EQ(1, Probe(kPopCi));
    EXPECT_EQ(1, Probe(kPopCsns));
}

TEST(ApfsProbe, EncryptedVolumeGetsALetterWithoutPassword) {
    EXPECT_EQ(1, Probe(kEncDfvfs));
}

TEST(ApfsProbe, ContainerWithoutDataVolumeIsProbedWithItsFirstVolume) {
    EXPECT_EQ(1, Probe(kPreboot));
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
