#include "PersistModule.h"

#include "PersistentGraph.h"

namespace
{

using PfnDllGetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using PfnDllCanUnloadNow = HRESULT(STDAPICALLTYPE*)();

HRESULT LastErrorStatus()
{
    const DWORD dwError = ::GetLastError();
    return dwError != 0 ? HRESULT_FROM_WIN32(dwError) : E_FAIL;
}

// quartz.dll of the system folder, never one found elsewhere on the path.
HRESULT LoadQuartz(CLibrary& quartz)
{
    wchar_t szPath[MAX_PATH] = {};
    const UINT cch = ::GetSystemDirectoryW(szPath, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH - 12)
        return E_FAIL;
    ::lstrcatW(szPath, L"\\quartz.dll");
    return quartz.Load(szPath);
}

} // namespace

// ---------------------------------------------------------------------------
// CGraphFactory

STDMETHODIMP CGraphFactory::QueryInterface(REFIID riid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory))
        return E_NOINTERFACE;
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP CGraphFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (pUnkOuter != nullptr)
        return CLASS_E_NOAGGREGATION;
    return CPersistentGraph::Create(riid, ppv);
}

STDMETHODIMP CGraphFactory::LockServer(BOOL fLock)
{
    CPersistModule::Get().Lock(fLock != FALSE);
    return S_OK;
}

// ---------------------------------------------------------------------------
// CLibrary

HRESULT CLibrary::Load(LPCWSTR pszPath)
{
    if (m_hModule != nullptr)
        return S_OK;
    m_hModule = ::LoadLibraryW(pszPath);
    return m_hModule != nullptr ? S_OK : LastErrorStatus();
}

void CLibrary::Free()
{
    if (m_hModule != nullptr)
        ::FreeLibrary(m_hModule);
    m_hModule = nullptr;
}

// ---------------------------------------------------------------------------
// CPersistModule

CPersistModule CPersistModule::s_instance;

CPersistModule& CPersistModule::Get()
{
    return s_instance;
}

void CPersistModule::Lock(bool bLock)
{
    if (bLock)
        ::InterlockedIncrement(&m_cLocks);
    else
        ::InterlockedDecrement(&m_cLocks);
}

HRESULT CPersistModule::GetQuartzGraphFactory(CComPtr<IClassFactory>& spFactory)
{
    spFactory.Release();
    CLockGuard lock(m_csQuartz);
    HRESULT hr = LoadQuartz(m_quartz);
    if (FAILED(hr))
        return hr;
    const auto pfnGetClassObject = m_quartz.Export<PfnDllGetClassObject>("DllGetClassObject");
    if (pfnGetClassObject == nullptr)
        return LastErrorStatus();
    return pfnGetClassObject(CLSID_FilterGraph, IID_IClassFactory, reinterpret_cast<void**>(&spFactory));
}

HRESULT CPersistModule::CanUnloadNow()
{
    CLockGuard lock(m_csQuartz);
    if (m_cObjects != 0 || m_cLocks != 0)
        return S_FALSE;
    if (m_quartz.IsLoaded())
    {
        if (QuartzCanUnloadNow() != S_OK)
            return S_FALSE;
        ATLTRACE2(atlTraceGeneral, 2, L"GraphPersist: quartz.dll serves no object; freed\n");
        m_quartz.Free();
    }
    return S_OK;
}

HRESULT CPersistModule::QuartzCanUnloadNow() const
{
    const auto pfnCanUnloadNow = m_quartz.Export<PfnDllCanUnloadNow>("DllCanUnloadNow");
    // Without the export there is no telling: keep it.
    return pfnCanUnloadNow != nullptr ? pfnCanUnloadNow() : S_FALSE;
}
