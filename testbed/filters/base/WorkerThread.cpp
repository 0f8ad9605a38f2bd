#include "WorkerThread.h"

#include <objbase.h>
#include <process.h>

HRESULT CWorkerThread::Start(Procedure pfn, void* pContext)
{
    if (pfn == nullptr)
        return E_POINTER;
    if (m_hThread != nullptr)
        return E_UNEXPECTED;
    m_pfn = pfn;
    m_pContext = pContext;
    // _beginthreadex rather than CreateThread: the thread uses the C runtime.
    const uintptr_t h = ::_beginthreadex(nullptr, 0, ThreadMain, this, 0, nullptr);
    if (h == 0)
        return E_OUTOFMEMORY;
    m_hThread = reinterpret_cast<HANDLE>(h);
    return S_OK;
}

void CWorkerThread::Join()
{
    if (m_hThread == nullptr)
        return;
    ::WaitForSingleObject(m_hThread, INFINITE);
    ::CloseHandle(m_hThread);
    m_hThread = nullptr;
}

unsigned __stdcall CWorkerThread::ThreadMain(void* pThis)
{
    auto* pThread = static_cast<CWorkerThread*>(pThis);
    // The streaming code calls other filters and the graph: give it an apartment.
    const HRESULT hr = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    pThread->m_pfn(pThread->m_pContext);
    if (SUCCEEDED(hr))
        ::CoUninitialize();
    return 0;
}
