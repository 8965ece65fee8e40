#include "update_client.h"

#include "data_folder.h"
#include "environment.h"
#include "ht_script.h"
#include "pud_file.h"
#include "saved_environment.h"
#include "saved_registry_value.h"
#include "ssl_init.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

const wchar_t kSettingsKey[] = L"Software\\Volarix";
// Far beyond anything a test waits for, far below a hanging thread.
const DWORD kEndBound = 30000;

std::string HttpResponse(const std::string& statusLine, const std::string& body) {
    return "HTTP/1.1 " + statusLine + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
           body;
}

const std::string kNotFound = HttpResponse("404 Not Found", "");

// The value "UPD" lives in the Wine prefix that every test shares: the guard puts back what was
// there before (the tests that touch it hold a CTest resource lock).
class CSavedUpdValue {
  public:
    CSavedUpdValue() {
        HKEY key;
        m_keyExisted = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_READ, &key) == ERROR_SUCCESS;
        if (!m_keyExisted)
            return;
        DWORD size = 0;
        m_hadValue = RegQueryValueExW(key, L"UPD", nullptr, &m_type, nullptr, &size) == ERROR_SUCCESS;
        m_value.resize(size);
        if (m_hadValue)
            RegQueryValueExW(key, L"UPD", nullptr, nullptr, m_value.data(), &size);
        RegCloseKey(key);
    }
    ~CSavedUpdValue() {
        if (!m_keyExisted) {
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSettingsKey);
            return;
        }
        if (m_hadValue)
            RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSettingsKey, L"UPD", m_type, m_value.data(),
                            static_cast<DWORD>(m_value.size()));
        else
            RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSettingsKey, L"UPD");
    }

  private:
    bool m_keyExisted = false, m_hadValue = false;
    DWORD m_type = 0;
    std::vector<BYTE> m_value;
};

std::wstring UpdValue() {
    wchar_t value[MAX_PATH * 2] = {};
    DWORD size = sizeof value - sizeof(wchar_t);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kSettingsKey, L"UPD", RRF_RT_REG_SZ, nullptr, value, &size) !=
        ERROR_SUCCESS)
        return L"<none>";
    return value;
}

void SetUpdValue(const wchar_t* text) {
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, kSettingsKey, L"UPD", REG_SZ, text,
                    static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));
}

std::vector<std::wstring> FilesIn(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0)
            names.push_back(found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

// Every test runs with a temporary folder and a data folder of its own, and the settings value
// as it found it.
class UpdateClient : public ::testing::Test {
  protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));
        m_root = temp + std::wstring(L"update_client_test_") + std::to_wstring(GetCurrentProcessId());
        m_tempFolder = m_root + L"\\tmp";
        m_dataFolder = m_root + L"\\data";
        // The data folder is left for the service to make.
        for (const std::wstring& folder : {m_root, m_tempFolder})
            ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
        SetEnvironmentVariableW(L"TMP", m_tempFolder.c_str());
        m_savedDataFolder = g_DataFolder;
        g_DataFolder = m_dataFolder + L"\\";
        m_stored = m_dataFolder + L"\\updates.dat";
        SetUpdValue(L"earlier");
    }
    void TearDown() override {
        g_DataFolder = m_savedDataFolder;
        for (const std::wstring& folder : {m_tempFolder, m_dataFolder}) {
            for (const std::wstring& name : FilesIn(folder))
                DeleteFileW((folder + L"\\" + name).c_str());
            RemoveDirectoryW(folder.c_str());
        }
        RemoveDirectoryW(m_root.c_str());
    }

    std::wstring Url() { return PeerUrl(peer.port4, "/volarix/updates.pud"); }
    std::string Head() { return DirectHead("GET", "/volarix/updates.pud", peer.port4); }

    // The server's side of one check that answers with response.
    void ServeOneCheck(const std::string& response) {
        script.Accept();
        script.Exchange(response);
        script.Drain();
    }

    static bool Ends(HANDLE thread) { return WaitForSingleObject(thread, kEndBound) == WAIT_OBJECT_0; }

    // The service's stop path for g_pUpdateClient, on a thread of its own as the control handler
    // runs it: true when it returned within the bound and took the client away.
    static bool StopsPromptly() {
        HANDLE stopper = CreateThread(
            nullptr, 0,
            [](void*) -> DWORD {
                StopUpdateClient();
                return 0;
            },
            nullptr, 0, nullptr);
        const bool ended = Ends(stopper);
        CloseHandle(stopper);
        return ended && g_pUpdateClient == nullptr;
    }

    // An update-information file as the update server publishes it.
    std::string PublishedFile(bool damaged = false) {
        PudPackage package;
        package.numbers[0] = 0x00010003;
        package.text1 = L"https://updates.example/volarix/1.0.3.0";
        package.text4 = L"1.0.3.0";
        for (uint32_t i = 0; i < kPudTableEntries; ++i)
            package.table1[i][0] = i;
        const std::wstring path = m_root + L"\\published.pud";
        EXPECT_EQ(1, WritePudFile(path.c_str(), package));
        std::string bytes = ReadWholeFile(path);
        DeleteFileW(path.c_str());
        if (damaged)
            bytes[4 + 16 + 3 + 4] ^= 0x40; // a record byte behind the first block's digest
        return bytes;
    }

    CSavedUpdValue savedUpd;
    CSavedRegistryValue savedIdentity{kSettingsKey, kDataFolderIdentityValue};
    CTestEnvironment environment;
    CLoopbackPeer peer;
    CPeerScript script{peer};
    std::wstring m_root, m_tempFolder, m_dataFolder, m_stored, m_savedDataFolder;
    CSavedEnvironmentVariable m_savedTmp{L"TMP"};
};

} // namespace

TEST_F(UpdateClient, GoodFileIsStoredAndNamedAndTheThreadEndsWithoutWaiting) {
    const std::string published = PublishedFile();
    ServeOneCheck(HttpResponse("200 OK", published));
    CUpdCl client(Url().c_str());
    ASSERT_NE(nullptr, client.stopEvent);
    client.Start();
    // The retry delay is the product's five minutes: only a thread that skips the wait ends here.
    ASSERT_TRUE(Ends(client.thread));
    CloseHandle(client.thread);

    EXPECT_EQ((std::vector<std::string>{Head(), ""}), script.Received());
    EXPECT_EQ(published, ReadWholeFile(m_stored));
    EXPECT_EQ(m_stored, UpdValue());
    EXPECT_EQ(std::vector<std::wstring>{}, FilesIn(m_tempFolder));
}

TEST_F(UpdateClient, FailedFirstCheckEndsAtTheStopEventWithoutASecondCheck) {
    ServeOneCheck(HttpResponse("200 OK", PublishedFile(true)));
    CUpdCl client(Url().c_str());
    client.Start();
    // The peer has seen the client close: the download is over and the check is failing.
    EXPECT_EQ((std::vector<std::string>{Head(), ""}), script.Received());
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(client.thread, 0));

    SetEvent(client.stopEvent);
    ASSERT_TRUE(Ends(client.thread));
    CloseHandle(client.thread);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(m_stored.c_str()));
    EXPECT_EQ(L"earlier", UpdValue());
    EXPECT_EQ(std::vector<std::wstring>{}, FilesIn(m_tempFolder));
}

TEST_F(UpdateClient, FailedFirstCheckIsRepeatedOnceAfterTheDelay) {
    const std::string published = PublishedFile();
    ServeOneCheck(kNotFound);
    ServeOneCheck(HttpResponse("200 OK", published));
    CUpdCl client(Url().c_str(), 0);
    client.Start();
    ASSERT_TRUE(Ends(client.thread));
    CloseHandle(client.thread);

    EXPECT_EQ((std::vector<std::string>{Head(), "", Head(), ""}), script.Received());
    EXPECT_EQ(published, ReadWholeFile(m_stored));
    EXPECT_EQ(m_stored, UpdValue());
    EXPECT_EQ(std::vector<std::wstring>{}, FilesIn(m_tempFolder));
}

TEST_F(UpdateClient, FailedSecondCheckIsTheLast) {
    ServeOneCheck(kNotFound);
    ServeOneCheck(HttpResponse("500 Internal Server Error", ""));
    CUpdCl client(Url().c_str(), 0);
    client.Start();
    ASSERT_TRUE(Ends(client.thread));
    CloseHandle(client.thread);

    EXPECT_EQ((std::vector<std::string>{Head(), "", Head(), ""}), script.Received());
    EXPECT_EQ(0x70011u, client.LastGetError());
    EXPECT_EQ(L"earlier", UpdValue());
    EXPECT_EQ(std::vector<std::wstring>{}, FilesIn(m_tempFolder));
}

TEST_F(UpdateClient, DownloadsPastTheCeilingFailAndKeepTheStoredFile) {
    const std::string published = PublishedFile();
    // Stored by an earlier check, in the folder the service made.
    ASSERT_TRUE(CDataFolderLock().Acquire());
    std::ofstream(m_stored.c_str(), std::ios::binary) << published;
    script.Accept();
    script.Exchange("HTTP/1.1 200 OK\r\n\r\n");
    script.Fill(kPudMaxFileSize + 1);
    script.Close();
    script.Accept();
    script.Exchange("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kPudMaxFileSize + 1) + "\r\n\r\n");
    script.Close();
    CUpdCl client(Url().c_str());
    for (const char* body : {"endless", "announced"}) {
        EXPECT_EQ(0, client.CheckForUpdates()) << body;
        EXPECT_EQ(0x80009u, client.LastGetError()) << body;
        EXPECT_EQ(std::vector<std::wstring>{}, FilesIn(m_tempFolder)) << body;
    }
    EXPECT_EQ((std::vector<std::string>{Head(), Head()}), script.Received());
    EXPECT_EQ(published, ReadWholeFile(m_stored));
    EXPECT_EQ(L"earlier", UpdValue());
}

TEST_F(UpdateClient, StopDuringAStalledDownloadEndsTheThreadAndLeavesNothingBehind) {
    script.Accept();
    script.ReadHead(); // and no answer
    g_pUpdateClient = new CUpdCl(Url().c_str());
    g_pUpdateClient->Start();
    ASSERT_EQ(std::vector<std::string>{Head()}, script.Received());
    EXPECT_EQ(1u, FilesIn(m_tempFolder).size()) << "the download's temporary file";

    ASSERT_TRUE(StopsPromptly());
    script.Drain();
    EXPECT_EQ(std::vector<std::string>{""}, script.Received()) << "the connection was closed";
    EXPECT_EQ(L"earlier", UpdValue());
    EXPECT_EQ(std::vector<std::wstring>{}, FilesIn(m_tempFolder));
}

TEST_F(UpdateClient, StopDuringAStalledTlsHandshakeEndsTheThread) {
    ASSERT_TRUE(InitSsl());
    script.Accept();
    script.Read(5); // the first record's header, and no answer
    std::wstring url = Url();
    url.replace(0, 4, L"https");
    g_pUpdateClient = new CUpdCl(url.c_str());
    g_pUpdateClient->Start();
    const std::vector<std::string> received = script.Received();
    ASSERT_EQ(1u, received.size());
    EXPECT_EQ('\x16', received[0][0]) << "a TLS handshake record";

    ASSERT_TRUE(StopsPromptly());
    CleanupSsl();
    EXPECT_EQ(L"earlier", UpdValue());
    EXPECT_EQ(std::vector<std::wstring>{}, FilesIn(m_tempFolder));
}

TEST_F(UpdateClient, CheckWithoutATemporaryFileSendsNothing) {
    SetEnvironmentVariableW(L"TMP", (m_root + L"\\missing").c_str());
    // A download would fail at once on the scheme and leave its code behind.
    CUpdCl client(L"ftp://127.0.0.1/updates.pud");
    EXPECT_EQ(0, client.CheckForUpdates());
    EXPECT_EQ(0u, client.LastGetError());
    SetEnvironmentVariableW(L"TMP", m_tempFolder.c_str());
    EXPECT_EQ(0, client.CheckForUpdates());
    EXPECT_EQ(0x90001u, client.LastGetError());
    EXPECT_EQ(std::vector<std::wstring>{}, FilesIn(m_tempFolder));
}
