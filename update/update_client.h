#pragma once
// The update client: a worker thread that downloads the update-information file, verifies it and
// stores it as updates.dat, trying once more five minutes after a failed first check.
#include "ht_get.h"
#include "worker_thread.h"

#include <windows.h>

#include <string>

// How long a failed first check waits on the stop event before the one further check.
constexpr DWORD kUpdateRetryDelay = 300000;

// Holds a temporary file's path and deletes the file when it goes out of scope.
class CTempFile {
  public:
    explicit CTempFile(std::wstring path) : path(std::move(path)) {}
    ~CTempFile();
    CTempFile(const CTempFile&) = delete;
    CTempFile& operator=(const CTempFile&) = delete;

    std::wstring path;
};

class CUpdCl : public CWorkerThread, public CHtGet<CSslSocket<CBlockingSocket>> {
  public:
    // The stop event is null when it could not be created. retryDelay is the wait in milliseconds
    // between a failed first check and the second one.
    explicit CUpdCl(const wchar_t* url, DWORD retryDelay = kUpdateRetryDelay);
    // Closes the stop event. The stopper has ended the connection and closed the thread handle.
    ~CUpdCl() override;

    static DWORD WINAPI ThreadProc(void* parameter);
    // 1 when the update-information file was downloaded, verified and stored with its registry
    // value; 0 otherwise. The temporary download is gone either way.
    int CheckForUpdates();
    // From another thread: makes a running download fail at once, and every later one too.
    void AbortConnection();

    // Manual reset: once set, a wait that starts later returns at once.
    HANDLE stopEvent = nullptr;

  private:
    DWORD m_retryDelay;
};

// The process's one update client, created by the service's start-up and deleted by its
// shut-down.
extern CUpdCl* g_pUpdateClient;

// Creates the client for url into g_pUpdateClient and starts its thread; a stop event or thread
// that cannot be created ends the process with exit code 1, unreported.
void StartUpdateClient(const wchar_t* url);
// Ends the client's connection, sets its stop event, waits for its thread without a time limit,
// closes the thread handle and deletes the client.
void StopUpdateClient();
