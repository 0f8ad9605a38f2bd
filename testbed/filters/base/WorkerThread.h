// CWorkerThread: one thread that its owner starts and joins.
#pragma once

#include <windows.h>

class CWorkerThread
{
public:
    using Procedure = void (*)(void* pContext);

    CWorkerThread() = default;
    ~CWorkerThread() { Join(); }
    CWorkerThread(const CWorkerThread&) = delete;
    CWorkerThread& operator=(const CWorkerThread&) = delete;

    // Runs pfn(pContext) on a new thread; fails when one is still running.
    HRESULT Start(Procedure pfn, void* pContext);
    // Waits for the thread to end and closes its handle.
    void Join();
    bool IsStarted() const { return m_hThread != nullptr; }

private:
    static unsigned __stdcall ThreadMain(void* pThis);

    HANDLE m_hThread = nullptr;
    Procedure m_pfn = nullptr;
    void* m_pContext = nullptr;
};
