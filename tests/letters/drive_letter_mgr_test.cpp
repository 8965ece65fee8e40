#include "drive_letter_mgr.h"

#include "import_patch.h"
#include "volume_stand_ins.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Far from the numbers the test prefix's own drives use.
constexpr int kV1 = 9001, kV2 = 9002, kV3 = 9003, kV4 = 9004, kV5 = 9005, kV6 = 9006;
const std::wstring kOther = L"\\Device\\VolarixOtherTarget";
// Generous: a pass over a handful of stand-in devices takes milliseconds.
constexpr DWORD kPassTimeoutMs = 30000;

std::wstring Drive(wchar_t letter) {
    return std::wstring(1, letter) + L":";
}

// The target a letter stands for now, empty when it is free.
std::wstring Target(wchar_t letter) {
    wchar_t buffer[4096];
    if (QueryDosDeviceW(Drive(letter).c_str(), buffer, 4096) == 0)
        return L"";
    return buffer;
}

bool IsTestTarget(const std::wstring& target) {
    return target == kOther || target.rfind(L"\\Device\\HarddiskVolume900", 0) == 0;
}

// DOS devices are real here, so the letters are those the test prefix leaves free, and every
// definition a test leaves behind is removed again.
class DriveLetters : public ::testing::Test {
  protected:
    void SetUp() override {
        for (wchar_t letter = L'D'; letter <= L'Z'; ++letter)
            if (Target(letter).empty())
                m_free.push_back(letter);
        ASSERT_GE(m_free.size(), 4u) << "the prefix leaves too few letters free";
    }

    void TearDown() override {
        if (g_pDriveLetterMgr) {
            StopDriveLetterDaemon();
            delete g_pDriveLetterMgr;
            g_pDriveLetterMgr = nullptr;
        }
        RemoveTestLetters();
    }

    static void RemoveTestLetters() {
        for (wchar_t letter = L'D'; letter <= L'Z'; ++letter)
            if (IsTestTarget(Target(letter)))
                DefineDosDeviceW(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION, Drive(letter).c_str(), nullptr);
    }

    static void Define(wchar_t letter, const std::wstring& target) {
        ASSERT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH, Drive(letter).c_str(), target.c_str()));
    }

    static std::vector<std::wstring> Names(const CDriveLetterMgr& mgr) {
        std::vector<std::wstring> names;
        for (const VolumeInfo& volume : mgr.volumes)
            names.push_back(volume.deviceName);
        return names;
    }

    static const VolumeInfo& Entry(const CDriveLetterMgr& mgr, int number) {
        for (const VolumeInfo& volume : mgr.volumes)
            if (volume.deviceName == VolumeName(number))
                return volume;
        throw std::runtime_error("no entry");
    }

    static void Drop(int number) {
        for (auto it = g_fake.tree.begin(); it != g_fake.tree.end(); ++it)
            if (it->name == VolumeName(number)) {
                g_fake.tree.erase(it);
                return;
            }
    }

    // A started manager, as the service's start-up leaves it.
    static CDriveLetterMgr* StartManager() {
        auto* mgr = new CDriveLetterMgr();
        mgr->InitialScan();
        g_pDriveLetterMgr = mgr;
        // What the initial scan signalled must not pass for the thread's work.
        ResetEvent(g_fake.probed);
        ResetEvent(g_fake.walked);
        StartDriveLetterDaemon();
        return mgr;
    }

    CFakeVolumePlatform m_platform;
    std::vector<wchar_t> m_free;
};

TEST_F(DriveLetters, InitialScanLettersOnlyLetterlessDevicesTheProbeAccepts) {
    g_fake.tree = {{VolumeName(kV1), {DriveLink(L'E')}, 1},
                   {VolumeName(kV2), {}, 0},
                   {VolumeName(kV3), {}, 1},
                   {VolumeName(kV4), {L"\\??\\Volume{4}"}, 1}};
    CDriveLetterMgr mgr;
    mgr.InitialScan();

    EXPECT_EQ((std::vector<std::wstring>{VolumeName(kV1), VolumeName(kV2), VolumeName(kV3), VolumeName(kV4)}),
              Names(mgr));
    EXPECT_EQ(1u, Entry(mgr, kV1).hasLetter);
    EXPECT_EQ(0u, Entry(mgr, kV1).assigned);
    EXPECT_EQ(0, g_fake.probes[VolumeName(kV1)]) << "a device with a letter is not probed";
    EXPECT_EQ(1, g_fake.probes[VolumeName(kV2)]);
    EXPECT_EQ(0u, Entry(mgr, kV2).assigned);

    EXPECT_EQ(1u, Entry(mgr, kV3).assigned);
    EXPECT_EQ(m_free[0], Entry(mgr, kV3).letter);
    EXPECT_EQ(VolumeName(kV3), Target(m_free[0]));
    EXPECT_EQ(1u, Entry(mgr, kV4).assigned);
    EXPECT_EQ(m_free[1], Entry(mgr, kV4).letter);
    EXPECT_EQ(VolumeName(kV4), Target(m_free[1]));
}

TEST_F(DriveLetters, LettersOfOtherTargetsAreSkippedAndKept) {
    Define(m_free[0], kOther);
    g_fake.tree = {{VolumeName(kV3), {}, 1}};
    CDriveLetterMgr mgr;
    mgr.InitialScan();
    EXPECT_EQ(m_free[1], Entry(mgr, kV3).letter);
    EXPECT_EQ(kOther, Target(m_free[0]));
}

TEST_F(DriveLetters, ALetterThatAlreadyNamesTheDeviceIsNotDoubled) {
    // As an earlier run of the service leaves it: the mount-point manager knows nothing of it.
    Define(m_free[1], VolumeName(kV3));
    g_fake.tree = {{VolumeName(kV3), {}, 1}};
    CDriveLetterMgr mgr;
    mgr.InitialScan();
    EXPECT_EQ(1u, Entry(mgr, kV3).assigned);
    EXPECT_EQ(m_free[1], Entry(mgr, kV3).letter);
    EXPECT_EQ(L"", Target(m_free[0]));
}

int g_defines = 0;

BOOL WINAPI CountDefine(DWORD, LPCWSTR, LPCWSTR) {
    ++g_defines;
    return FALSE;
}

DWORD WINAPI AllTaken(LPCWSTR, LPWSTR buffer, DWORD size) {
    const wchar_t busy[] = L"\\Device\\Busy\0";
    if (size < 14)
        return 0;
    memcpy(buffer, busy, sizeof(busy));
    return 14;
}

TEST_F(DriveLetters, NoFreeLetterOrAFailedDefinitionLeavesTheDeviceUnlettered) {
    g_fake.tree = {{VolumeName(kV3), {}, 1}};
    g_defines = 0;
    {
        CImportPatch query("KERNEL32.dll", "QueryDosDeviceW", reinterpret_cast<void*>(AllTaken));
        CImportPatch define("KERNEL32.dll", "DefineDosDeviceW", reinterpret_cast<void*>(CountDefine));
        CDriveLetterMgr mgr;
        mgr.InitialScan();
        EXPECT_EQ(0u, Entry(mgr, kV3).assigned);
        EXPECT_EQ(0, g_defines) << "Z: in use ends the search";

        // Recorded as it is: not tried again while the device stays.
        mgr.OnVolumeArrival();
        EXPECT_EQ(1, g_fake.probes[VolumeName(kV3)]);
        EXPECT_EQ(1u, mgr.volumes.size());
    }
    {
        CImportPatch define("KERNEL32.dll", "DefineDosDeviceW", reinterpret_cast<void*>(CountDefine));
        CDriveLetterMgr mgr;
        mgr.InitialScan();
        EXPECT_EQ(1, g_defines);
        EXPECT_EQ(0u, Entry(mgr, kV3).assigned);
    }
}

CImportPatch* g_query = nullptr;
wchar_t g_longLetter = 0;

DWORD WINAPI LongTargets(LPCWSTR drive, LPWSTR buffer, DWORD size) {
    if (drive[0] == g_longLetter) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return g_query->Original<decltype(&QueryDosDeviceW)>()(drive, buffer, size);
}

TEST_F(DriveLetters, TargetsTooLongToReadStillTakeTheLetter) {
    g_fake.tree = {{VolumeName(kV3), {}, 1}};
    g_longLetter = m_free[0];
    CImportPatch query("KERNEL32.dll", "QueryDosDeviceW", reinterpret_cast<void*>(LongTargets));
    g_query = &query;
    CDriveLetterMgr mgr;
    mgr.InitialScan();
    EXPECT_EQ(m_free[1], Entry(mgr, kV3).letter);
    EXPECT_EQ(L"", Target(m_free[0]));
}

TEST_F(DriveLetters, ArrivalDecidesOnlyDevicesNotSeenBefore) {
    g_fake.tree = {{VolumeName(kV3), {}, 1}};
    CDriveLetterMgr mgr;
    mgr.InitialScan();
    g_fake.tree.push_back({VolumeName(kV5), {}, 1});
    g_fake.tree.push_back({VolumeName(kV6), {DriveLink(L'K')}, 1});
    mgr.OnVolumeArrival();
    mgr.OnVolumeArrival();

    EXPECT_EQ((std::vector<std::wstring>{VolumeName(kV3), VolumeName(kV5), VolumeName(kV6)}), Names(mgr));
    EXPECT_EQ(1, g_fake.probes[VolumeName(kV3)]);
    EXPECT_EQ(1, g_fake.probes[VolumeName(kV5)]);
    EXPECT_EQ(0, g_fake.probes[VolumeName(kV6)]);
    EXPECT_EQ(m_free[1], Entry(mgr, kV5).letter);
    EXPECT_EQ(VolumeName(kV5), Target(m_free[1]));

    // Gone and back between two passes, with no removal pass: the old entry stands.
    Drop(kV3);
    mgr.OnVolumeArrival();
    g_fake.tree.push_back({VolumeName(kV3), {}, 1});
    mgr.OnVolumeArrival();
    EXPECT_EQ(1, g_fake.probes[VolumeName(kV3)]);
    EXPECT_EQ(3u, mgr.volumes.size());
    EXPECT_EQ(m_free[0], Entry(mgr, kV3).letter);
}

TEST_F(DriveLetters, RemovalTakesOnlyItsOwnLettersOfVanishedDevices) {
    g_fake.tree = {{VolumeName(kV3), {}, 1},
                   {VolumeName(kV4), {}, 1},
                   {VolumeName(kV5), {DriveLink(L'E')}, 1},
                   {VolumeName(kV6), {}, 1}};
    CDriveLetterMgr mgr;
    mgr.InitialScan();
    ASSERT_EQ(m_free[2], Entry(mgr, kV6).letter);
    // Someone else has taken the letter over since.
    ASSERT_TRUE(
        DefineDosDeviceW(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION, Drive(m_free[2]).c_str(), nullptr));
    Define(m_free[2], kOther);

    Drop(kV3);
    Drop(kV5);
    Drop(kV6);
    const size_t queries = g_fake.queried.size();
    mgr.OnVolumeRemoval();

    EXPECT_EQ(queries, g_fake.queried.size()) << "a removal pass asks no mount points";
    EXPECT_EQ((std::vector<std::wstring>{VolumeName(kV4)}), Names(mgr));
    EXPECT_EQ(L"", Target(m_free[0]));
    EXPECT_EQ(VolumeName(kV4), Target(m_free[1]));
    EXPECT_EQ(kOther, Target(m_free[2]));
}

TEST_F(DriveLetters, AWalkCutShortRemovesNoLetterOfAVolumeStillThere) {
    const struct {
        const char* what;
        int cutTimes;
        CONFIGRET answer;
    } cases[] = {
        {"node removed under the walk once", 1, CR_NO_SUCH_DEVNODE},
        {"node removed under every walk", 1000, CR_NO_SUCH_DEVNODE},
        {"sibling request failed", 1000, CR_REGISTRY_ERROR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        g_fake.tree = {{VolumeName(kV3), {}, 1},
                       {VolumeName(kV4), {}, 1},
                       {VolumeName(kV5), {}, 1},
                       {VolumeName(kV6), {}, 1}};
        CDriveLetterMgr mgr;
        mgr.InitialScan();
        ASSERT_EQ(m_free[3], Entry(mgr, kV6).letter);

        // kV5 goes away; the walk loses its place at kV4, before kV6.
        Drop(kV5);
        g_fake.cutAt = VolumeName(kV4);
        g_fake.cutTimes = c.cutTimes;
        g_fake.cutAnswer = c.answer;
        mgr.OnVolumeRemoval();
        EXPECT_EQ(VolumeName(kV6), Target(m_free[3]));
        const bool completed = g_fake.cutTimes == 0;
        EXPECT_EQ(completed ? L"" : VolumeName(kV5), Target(m_free[2]));
        EXPECT_EQ(completed ? 3u : 4u, mgr.volumes.size());

        // The next pass tries again.
        g_fake.cutTimes = 0;
        mgr.OnVolumeRemoval();
        EXPECT_EQ((std::vector<std::wstring>{VolumeName(kV3), VolumeName(kV4), VolumeName(kV6)}), Names(mgr));
        EXPECT_EQ(L"", Target(m_free[2]));
        EXPECT_EQ(VolumeName(kV6), Target(m_free[3]));
        RemoveTestLetters();
    }
}

TEST_F(DriveLetters, TheThreadHandlesArrivalAndRemovalUntilStopped) {
    g_fake.tree = {{VolumeName(kV3), {}, 1}};
    CDriveLetterMgr* mgr = StartManager();
    HANDLE thread = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), mgr->thread, GetCurrentProcess(), &thread, SYNCHRONIZE,
                                FALSE, 0));

    g_fake.tree.push_back({VolumeName(kV5), {}, 1});
    SetEvent(mgr->arrivalEvent);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_fake.probed, kPassTimeoutMs));

    // The arrival pass walked the tree before it probed; the next walk is the removal pass's.
    ResetEvent(g_fake.walked);
    Drop(kV3);
    SetEvent(mgr->removalEvent);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_fake.walked, kPassTimeoutMs));

    // The stop waits for the pass under way.
    StopDriveLetterDaemon();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 0));
    CloseHandle(thread);
    EXPECT_EQ(nullptr, mgr->thread);
    EXPECT_EQ(nullptr, mgr->stopEvent);
    EXPECT_EQ((std::vector<std::wstring>{VolumeName(kV5)}), Names(*mgr));
    EXPECT_EQ(L"", Target(m_free[0]));

    delete mgr;
    g_pDriveLetterMgr = nullptr;
    EXPECT_EQ(VolumeName(kV5), Target(m_free[1])) << "letters outlive the manager";
}

DWORD WINAPI StopOnAThread(void*) {
    StopDriveLetterDaemon();
    return 0;
}

TEST_F(DriveLetters, AStopLetsThePassUnderWayFinish) {
    g_fake.tree = {{VolumeName(kV3), {}, 0}};
    CDriveLetterMgr* mgr = StartManager();
    g_fake.gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_fake.tree.push_back({VolumeName(kV5), {}, 1});
    SetEvent(mgr->arrivalEvent);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_fake.probed, kPassTimeoutMs));

    HANDLE stopper = CreateThread(nullptr, 0, StopOnAThread, nullptr, 0, nullptr);
    ASSERT_NE(nullptr, stopper);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(stopper, 200));
    SetEvent(g_fake.gate);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(stopper, kPassTimeoutMs));
    CloseHandle(stopper);
    CloseHandle(g_fake.gate);
    g_fake.gate = nullptr;

    EXPECT_EQ(1u, Entry(*mgr, kV5).assigned);
    EXPECT_EQ(VolumeName(kV5), Target(m_free[0]));
}

struct ThreadFatal {
    const char* what;
    bool removal;
    void (*breakPlatform)();
    const wchar_t* code;
};

TEST_F(DriveLetters, FatalErrorsOnTheManagersThreadEndTheProcess) {
    const ThreadFatal cases[] = {
        {"mount-point manager", false, [] { g_fake.mountManagerError = ERROR_ACCESS_DENIED; }, L"24B90005"},
        {"volume manager node", true,
         [] {
             g_fake.locateFails = true;
             g_fake.cmError = 0x57;
         },
         L"24BA0057"},
        {"no volume device", false,
         [] {
             g_fake.tree.clear();
             g_fake.cmError = ERROR_NOT_FOUND;
         },
         L"24BB0490"},
    };
    for (const ThreadFatal& c : cases) {
        SCOPED_TRACE(c.what);
        g_fake.tree = {{VolumeName(kV2), {}, 0}};
        g_fake.mountManagerError = 0;
        g_fake.locateFails = false;
        g_fake.events.clear();
        g_fake.exitCode = 0;
        CDriveLetterMgr* mgr = StartManager();

        c.breakPlatform();
        SetEvent(c.removal ? mgr->removalEvent : mgr->arrivalEvent);
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mgr->thread, kPassTimeoutMs));
        EXPECT_EQ(1u, g_fake.exitCode);
        ASSERT_EQ(1u, g_fake.events.size());
        EXPECT_EQ(std::wstring(L"The program encounted a fatal error: 0x") + c.code +
                      L".Please contact support for further assistance.",
                  g_fake.events[0]);

        StopDriveLetterDaemon();
        delete mgr;
        g_pDriveLetterMgr = nullptr;
    }
}

} // namespace
