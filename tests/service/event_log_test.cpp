#include "event_log.h"

#include "import_patch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct ReportedEvent {
    HANDLE source;
    WORD type, category;
    DWORD id;
    PSID user;
    WORD strings;
    DWORD dataSize;
    std::wstring text;
    const void* data;
};
std::vector<ReportedEvent> g_reported;

BOOL WINAPI RecordReportEventW(HANDLE source, WORD type, WORD category, DWORD id, PSID user, WORD strings,
                               DWORD dataSize, LPCWSTR* texts, LPVOID data) {
    g_reported.push_back(
        {source, type, category, id, user, strings, dataSize, strings ? texts[0] : L"", data});
    return TRUE;
}

HANDLE const kSource = reinterpret_cast<HANDLE>(0x5150);

// A registered source whose reports land in g_reported.
class EventReport : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_patch.Active());
        InitializeCriticalSection(&g_EventLogLock);
        g_hEventSource = kSource;
        g_reported.clear();
    }
    void TearDown() override { g_hEventSource = nullptr; }

    CImportPatch m_patch{"advapi32.dll", "ReportEventW", reinterpret_cast<void*>(&RecordReportEventW)};
};

} // namespace

TEST(FatalError, CodeCarriesIdAndErrorInTheirFields) {
    std::wstring text;
    EXPECT_EQ(
        L"The program encounted a fatal error: 0x24B60002.Please contact support for further assistance.",
        FormatFatalError(text, 1206, 2));
    EXPECT_EQ(&text, &FormatFatalError(text, 1207, 0));
    EXPECT_EQ(
        L"The program encounted a fatal error: 0x24B70000.Please contact support for further assistance.",
        text);
    // The id keeps 13 bits: bits 29 and up stay as the format has them.
    FormatFatalError(text, 0xE000 | 1212, 0xFFFF);
    EXPECT_NE(std::wstring::npos, text.find(L"0x24BCFFFF."));
}

TEST(FatalError, RaisedErrorKeepsOnlyTheLow16Bits) {
    static std::wstring reported;
    static UINT exitCode = 0;
    struct Ended {};
    auto report = [](HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCWSTR* texts, LPVOID) -> BOOL {
        reported = texts[0];
        return TRUE;
    };
    auto exitProcess = [](UINT code) {
        exitCode = code;
        throw Ended();
    };
    CImportPatch reportPatch(
        "advapi32.dll", "ReportEventW",
        reinterpret_cast<void*>(
            static_cast<BOOL(WINAPI*)(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCWSTR*, LPVOID)>(
                report)));
    CImportPatch exitPatch("kernel32.dll", "ExitProcess",
                           reinterpret_cast<void*>(static_cast<void (*)(UINT)>(exitProcess)));
    ASSERT_TRUE(reportPatch.Active());
    ASSERT_TRUE(exitPatch.Active());
    InitializeCriticalSection(&g_EventLogLock);
    g_hEventSource = kSource;

    EXPECT_THROW(RaiseFatalError(1207, 0x12345), Ended);
    g_hEventSource = nullptr;
    EXPECT_EQ(1u, exitCode);
    EXPECT_NE(std::wstring::npos, reported.find(L"0x24B72345."));
}

TEST_F(EventReport, OneErrorStringUnderEventIdOne) {
    ReportErrorEvent(L"text");
    ASSERT_EQ(1u, g_reported.size());
    const ReportedEvent& e = g_reported[0];
    EXPECT_EQ(kSource, e.source);
    EXPECT_EQ(EVENTLOG_ERROR_TYPE, e.type);
    EXPECT_EQ(0, e.category);
    EXPECT_EQ(1u, e.id);
    EXPECT_EQ(nullptr, e.user);
    EXPECT_EQ(1, e.strings);
    EXPECT_EQ(0u, e.dataSize);
    EXPECT_EQ(nullptr, e.data);
    EXPECT_EQ(L"text", e.text);
}

TEST_F(EventReport, TextIsCutToTheLongestAnEventCarries) {
    const std::wstring exact(kMaxEventTextUnits, L'a');
    const std::wstring longer = exact + L"b";
    ReportErrorEvent(exact.c_str());
    ReportErrorEvent(longer.c_str());
    ASSERT_EQ(2u, g_reported.size());
    EXPECT_EQ(exact, g_reported[0].text);
    EXPECT_EQ(exact, g_reported[1].text);
}

TEST_F(EventReport, NothingIsReportedWithoutASource) {
    g_hEventSource = nullptr;
    ReportErrorEvent(L"lost");
    EXPECT_TRUE(g_reported.empty());
}

TEST(EventSource, UnwritableLogKeyLeavesNoSourceAndNoValues) {
    static int valuesWritten = 0;
    static int sourcesRegistered = 0;
    auto denied = [](HKEY, LPCWSTR, DWORD, REGSAM, PHKEY) -> LONG { return ERROR_ACCESS_DENIED; };
    auto setValue = [](HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD) -> LONG {
        ++valuesWritten;
        return ERROR_SUCCESS;
    };
    auto registerSource = [](LPCWSTR, LPCWSTR) -> HANDLE {
        ++sourcesRegistered;
        return kSource;
    };
    CImportPatch open(
        "advapi32.dll", "RegOpenKeyExW",
        reinterpret_cast<void*>(static_cast<LONG(WINAPI*)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY)>(denied)));
    CImportPatch set(
        "advapi32.dll", "RegSetValueExW",
        reinterpret_cast<void*>(
            static_cast<LONG(WINAPI*)(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD)>(setValue)));
    CImportPatch reg("advapi32.dll", "RegisterEventSourceW",
                     reinterpret_cast<void*>(static_cast<HANDLE(WINAPI*)(LPCWSTR, LPCWSTR)>(registerSource)));
    ASSERT_TRUE(open.Active() && set.Active() && reg.Active());

    g_hEventSource = kSource;
    RegisterEventLogSource(L"VolarixTestSource", L"C:\\x.exe");
    EXPECT_EQ(nullptr, g_hEventSource);
    EXPECT_EQ(0, valuesWritten);
    EXPECT_EQ(0, sourcesRegistered);
    ReportErrorEvent(L"lost"); // the lock is ready and nothing happens
}

TEST(EventSource, RegistersTypesAndMessageFile) {
    const wchar_t* source = L"VolarixTestSource";
    RegisterEventLogSource(source, L"C:\\Program Files\\Volarix\\volarixsvc.exe");
    EXPECT_NE(nullptr, g_hEventSource);

    std::wstring path = L"SYSTEM\\CurrentControlSet\\Services\\Eventlog\\Application\\";
    path += source;
    DWORD types = 0, size = sizeof(types);
    ASSERT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), L"TypesSupported",
                                          RRF_RT_REG_DWORD, nullptr, &types, &size));
    EXPECT_EQ(7u, types);
    wchar_t file[MAX_PATH];
    DWORD type = 0;
    size = sizeof(file);
    ASSERT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), L"EventMessageFile", RRF_RT_ANY,
                                          &type, file, &size));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_STREQ(L"C:\\Program Files\\Volarix\\volarixsvc.exe", file);
    EXPECT_EQ(sizeof(L"C:\\Program Files\\Volarix\\volarixsvc.exe"), size);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
}
