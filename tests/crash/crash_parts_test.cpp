// The parts of the crash report, in process: the upload library's registry values, logical
// addresses, the stack walk and the module list.
#include "crash_test_support.h"
#include "disk_file.h"
#include "import_patch.h"
#include "module_list.h"
#include "report_client.h"
#include "stack_walk.h"

#include <gtest/gtest.h>

namespace {

const wchar_t kSwitch[] = L"VolarixPartsTest";
const wchar_t kMachineId[] = L"UUID";

TEST(ReportClientTest, SwitchReadsFourBytesOfAnyTypeAndCreatesTheKey) {
    CSavedReportKey saved({kSwitch});
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, CSavedReportKey::kPath, KEY_WOW64_64KEY, 0);
    EXPECT_EQ(ReadReportClientValue(kSwitch), 0u);
    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, CSavedReportKey::kPath, 0, KEY_READ | KEY_WOW64_64KEY, &key), 0);
    RegCloseKey(key);

    ASSERT_TRUE(CSavedReportKey::SetDword(kSwitch, 7));
    EXPECT_EQ(ReadReportClientValue(kSwitch), 7u);
    const BYTE binary[4] = {1, 0, 0, 0};
    ASSERT_TRUE(CSavedReportKey::Set(kSwitch, REG_BINARY, binary, sizeof(binary)));
    EXPECT_EQ(ReadReportClientValue(kSwitch), 1u);
    // Longer than 4 bytes cannot be read: off.
    const BYTE longer[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(CSavedReportKey::Set(kSwitch, REG_BINARY, longer, sizeof(longer)));
    EXPECT_EQ(ReadReportClientValue(kSwitch), 0u);
}

TEST(ReportClientTest, MachineIdIsCreatedOnceAndReplacesAnUnreadableValue) {
    CSavedReportKey saved({kMachineId});
    CSavedReportKey::Remove(kMachineId);
    const uint32_t first = GetReportMachineId();
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(CSavedReportKey::Get(kMachineId, &type, &data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    ASSERT_EQ(data.size(), 4u);
    EXPECT_EQ(*reinterpret_cast<uint32_t*>(data.data()), first);
    EXPECT_EQ(GetReportMachineId(), first);

    const BYTE longer[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_TRUE(CSavedReportKey::Set(kMachineId, REG_BINARY, longer, sizeof(longer)));
    const uint32_t replaced = GetReportMachineId();
    ASSERT_TRUE(CSavedReportKey::Get(kMachineId, &type, &data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    ASSERT_EQ(data.size(), 4u);
    EXPECT_EQ(*reinterpret_cast<uint32_t*>(data.data()), replaced);
}

} // namespace
