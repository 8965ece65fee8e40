#include "update_client.h"

#include "global_lock.h"
#include "pud_file.h"
#include "temp_files.h"

#include <memory>

CUpdCl* g_pUpdateClient = nullptr;

CTempFile::~CTempFile() {
    if (!path.empty())
        DeleteFileW(path.c_str());
}

CUpdCl::CUpdCl(const wchar_t* url, DWORD retryDelay)
    : CWorkerThread(&CUpdCl::ThreadProc, 0), CHtGet(url), m_retryDelay(retryDelay) {
    SetBodyLimit(kPudMaxFileSize);
    stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

CUpdCl::~CUpdCl() {
    if (stopEvent != nullptr)
        CloseHandle(stopEvent);
}

DWORD WINAPI CUpdCl::ThreadProc(void* parameter) {
    CUpdCl* client = dynamic_cast<CUpdCl*>(static_cast<CWorkerThread*>(parameter));
    if (client == nullptr)
        return 0;
    if (client->CheckForUpdates())
        return 0;
    if (WaitForSingleObject(client->stopEvent, client->m_retryDelay) == WAIT_TIMEOUT)
        client->CheckForUpdates();
    return 0;
}

int CUpdCl::CheckForUpdates() {
    std::wstring path;
    if (!CreateUniqueTempFile(path))
        return 0;
    CTempFile download(path);
    if (!Get(download.path.c_str()))
        return 0;
    // Two 8 KiB tables: too large for a worker thread's stack to carry lightly.
    std::unique_ptr<PudPackage> package(new PudPackage());
    if (!ReadPudFile(download.path.c_str(), package.get()))
        return 0;
    return SavePudPackage(*package);
}

void CUpdCl::AbortConnection() {
    // The cancel alone makes every further socket call fail; a TLS connection also gives up the
    // client's reference to its connection object, so that the last user frees it.
    CLockHold hold(&g_GlobalLock);
    Cancel();
    if (m_useTls)
        Close();
}

void StartUpdateClient(const wchar_t* url) {
    CUpdCl* client = new CUpdCl(url);
    if (client->stopEvent == nullptr)
        ExitProcess(1);
    g_pUpdateClient = client;
    client->Start();
}

void StopUpdateClient() {
    CUpdCl* client = g_pUpdateClient;
    if (client == nullptr)
        return;
    client->AbortConnection();
    SetEvent(client->stopEvent);
    WaitForSingleObject(client->thread, INFINITE);
    CloseHandle(client->thread);
    g_pUpdateClient = nullptr;
    delete client;
}
