#include "drive_letter_mgr.h"

#include "volume_stand_ins.h"

#include <gtest/gtest.h>

#include <string.h>

namespace {

class VolumeEnum : public ::testing::Test {
  protected:
    std::list<VolumeInfo> Query() {
        std::list<VolumeInfo> volumes;
        CDriveLetterMgr::QueryVolumes(volumes);
        EXPECT_EQ(0, g_fake.mountManagerOpen) << "the mount-point manager is closed again";
        return volumes;
    }

    CFakeVolumePlatform m_platform;
};

TEST_F(VolumeEnum, KeepsOnlyNumberedHarddiskVolumesInTreeOrder) {
    g_fake.tree = {{VolumeName(7)},
                   {L"\\Device\\HarddiskVolume"},
                   {L"\\device\\harddiskvolume8"},
                   {L"\\Device\\CdRom0"},
                   {L""},
                   {VolumeName(3)},
                   {L"\\Device\\HarddiskVolume" + std::wstring(237, L'9')},
                   {L"\\Device\\HarddiskVolume" + std::wstring(238, L'9')}};
    std::list<std::wstring> names;
    CDriveLetterMgr::EnumVolumeDevices(names);
    // 22 + 237 = 259 units fit the property buffer with their terminator; one more does not.
    std::list<std::wstring> expected = {VolumeName(7), VolumeName(3),
                                        L"\\Device\\HarddiskVolume" + std::wstring(237, L'9')};
    EXPECT_EQ(expected, names);
}

TEST_F(VolumeEnum, AsksTheMountPointManagerWithTheDeviceName) {
    g_fake.tree = {{VolumeName(12)}};
    Query();
    const std::wstring name = VolumeName(12);
    const size_t n = name.size();
    ASSERT_EQ(2 * n + 26, g_fake.lastQueryInput.size());
    std::vector<BYTE> expected(2 * n + 26, 0);
    expected[16] = 24;
    expected[20] = static_cast<BYTE>(2 * n);
    memcpy(&expected[24], name.data(), 2 * n);
    EXPECT_EQ(expected, g_fake.lastQueryInput);
}

TEST_F(VolumeEnum, OnlyAnUpperCaseDriveLinkCountsAsALetter) {
    g_fake.tree = {
        {VolumeName(1), {L"\\??\\Volume{0b1f0b3c-0000-0000-0000-100000000000}", DriveLink(L'E')}},
        {VolumeName(2), {L"\\??\\Volume{0b1f0b3c-0000-0000-0000-200000000000}"}},
        {VolumeName(3), {L"\\DosDevices\\C:\\mnt\\apfs"}},
        {VolumeName(4), {L"\\DosDevices\\e:"}},
        {VolumeName(5), {L"\\DosDevices\\EE"}},
        {VolumeName(6), {}},
        {VolumeName(7), {DriveLink(L'A')}},
    };
    std::vector<uint32_t> hasLetter;
    for (const VolumeInfo& volume : Query()) {
        hasLetter.push_back(volume.hasLetter);
        EXPECT_EQ(0u, volume.assigned);
    }
    EXPECT_EQ((std::vector<uint32_t>{1, 0, 0, 0, 0, 0, 1}), hasLetter);
}

TEST_F(VolumeEnum, AnAnswerThatCannotBeReadCountsAsNoLetter) {
    std::vector<std::wstring> many;
    for (int i = 0; i < 120; ++i)
        many.push_back(L"\\??\\Volume{" + std::to_wstring(i) + L"}");
    many.push_back(DriveLink(L'F'));
    g_fake.tree = {{VolumeName(1), many},
                   {VolumeName(2), {L"<stray>", DriveLink(L'G')}},
                   {VolumeName(3), {DriveLink(L'H')}}};
    g_fake.queryFails = {VolumeName(3)};
    std::vector<uint32_t> hasLetter;
    for (const VolumeInfo& volume : Query())
        hasLetter.push_back(volume.hasLetter);
    // Too long an answer and a failed query both mean no letter; a stray entry is passed over.
    EXPECT_EQ((std::vector<uint32_t>{0, 1, 0}), hasLetter);
}

// Fatal code 0x20000000 | id << 16 | error, reported once before the process ends with 1.
void ExpectFatal(const wchar_t* code) {
    EXPECT_EQ(1u, g_fake.exitCode);
    ASSERT_EQ(1u, g_fake.events.size());
    EXPECT_EQ(std::wstring(L"The program encounted a fatal error: 0x") + code +
                  L".Please contact support for further assistance.",
              g_fake.events[0]);
}

TEST_F(VolumeEnum, UnreachableSystemInterfacesEndTheProcess) {
    g_fake.tree = {{VolumeName(1)}};
    g_fake.mountManagerError = ERROR_ACCESS_DENIED;
    EXPECT_THROW(Query(), ProcessEnded);
    ExpectFatal(L"24B90005");
    EXPECT_TRUE(g_fake.queried.empty());

    g_fake.events.clear();
    g_fake.mountManagerError = 0;
    g_fake.locateFails = true;
    g_fake.cmError = 0x1234;
    std::list<std::wstring> names;
    EXPECT_THROW(CDriveLetterMgr::EnumVolumeDevices(names), ProcessEnded);
    ExpectFatal(L"24BA1234");

    g_fake.events.clear();
    g_fake.locateFails = false;
    g_fake.tree.clear();
    g_fake.cmError = ERROR_NOT_FOUND;
    EXPECT_THROW(CDriveLetterMgr::EnumVolumeDevices(names), ProcessEnded);
    ExpectFatal(L"24BB0490");
}

} // namespace
