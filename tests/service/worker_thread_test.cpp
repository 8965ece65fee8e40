#include "worker_thread.h"

#include "import_patch.h"

#include <gtest/gtest.h>

namespace {

struct CreateThreadCall {
    SIZE_T stackSize;
    DWORD flags;
    void* parameter;
};
CreateThreadCall g_call;

HANDLE WINAPI RecordCreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stackSize, LPTHREAD_START_ROUTINE,
                                 LPVOID parameter, DWORD flags, LPDWORD) {
    g_call = {stackSize, flags, parameter};
    return reinterpret_cast<HANDLE>(0x1234);
}

DWORD WINAPI Unused(void*) {
    return 0;
}

// A worker whose routine records the object it was given and waits to be released.
class CTestWorker : public CWorkerThread {
  public:
    CTestWorker() : CWorkerThread(&CTestWorker::ThreadProc, 0) {}
    ~CTestWorker() override { CloseHandle(release); }

    static DWORD WINAPI ThreadProc(void* parameter) {
        auto* self = dynamic_cast<CTestWorker*>(static_cast<CWorkerThread*>(parameter));
        self->seen = self;
        WaitForSingleObject(self->release, INFINITE);
        return 0;
    }

    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CTestWorker* volatile seen = nullptr;
};

} // namespace

TEST(WorkerThread, ReservationIsFlaggedOnlyWhenGiven) {
    CImportPatch patch("kernel32.dll", "CreateThread", reinterpret_cast<void*>(&RecordCreateThread));
    ASSERT_TRUE(patch.Active());

    CWorkerThread defaultStack(&Unused, 0);
    defaultStack.Start();
    EXPECT_EQ(0u, g_call.stackSize);
    EXPECT_EQ(0u, g_call.flags);
    EXPECT_EQ(&defaultStack, g_call.parameter);
    EXPECT_EQ(reinterpret_cast<HANDLE>(0x1234), defaultStack.thread);

    CWorkerThread reserved(&Unused, 0x20000);
    reserved.Start();
    EXPECT_EQ(0x20000u, g_call.stackSize);
    EXPECT_EQ(static_cast<DWORD>(STACK_SIZE_PARAM_IS_A_RESERVATION), g_call.flags);
}

TEST(WorkerThread, FailedCreationEndsTheProcessWithExitCode1) {
    static UINT exitCode = 0;
    struct Ended {};
    auto fail = [](LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD) -> HANDLE {
        return nullptr;
    };
    auto exitProcess = [](UINT code) {
        exitCode = code;
        throw Ended();
    };
    CImportPatch create("kernel32.dll", "CreateThread",
                        reinterpret_cast<void*>(
                            static_cast<HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE,
                                                        LPVOID, DWORD, LPDWORD)>(fail)));
    CImportPatch exit("kernel32.dll", "ExitProcess",
                      reinterpret_cast<void*>(static_cast<void (*)(UINT)>(exitProcess)));
    ASSERT_TRUE(create.Active() && exit.Active());
    CWorkerThread worker(&Unused, 0);
    EXPECT_THROW(worker.Start(), Ended);
    EXPECT_EQ(1u, exitCode);
}

TEST(WorkerThread, RoutineGetsItsObjectAndDeletionLeavesTheThreadToTheOwner) {
    auto* worker = new CTestWorker;
    worker->Start();
    ASSERT_NE(nullptr, worker->thread);
    HANDLE thread = worker->thread;
    HANDLE release = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), worker->release, GetCurrentProcess(), &release, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    while (worker->seen == nullptr)
        SwitchToThread();
    EXPECT_EQ(worker, worker->seen);

    // The owner's stop sequence: signal, wait, close the handle, then delete.
    SetEvent(release);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
    DWORD code = 1;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(0u, code);
    delete worker;
    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(thread, &flags)); // still the owner's to close
    EXPECT_TRUE(CloseHandle(thread));
    CloseHandle(release);
}
