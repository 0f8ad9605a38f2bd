// GraphPersist.dll: the in-process server registered for CLSID_FilterGraph.
#include "PersistentGraph.h"

#include <dshow.h>

#include <new>

namespace
{

LONG g_cLocks = 0;

class CFactory : public IClassFactory
{
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
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
    // One static factory: it lives as long as the module.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    // The graph aggregates quartz's object itself and is not made to be
    // aggregated in turn.
    STDMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (pUnkOuter != nullptr)
            return CLASS_E_NOAGGREGATION;
        return CPersistentGraph::Create(riid, ppv);
    }
    STDMETHODIMP LockServer(BOOL fLock) override
    {
        if (fLock)
            ::InterlockedIncrement(&g_cLocks);
        else
            ::InterlockedDecrement(&g_cLocks);
        return S_OK;
    }
};

CFactory g_factory;

} // namespace

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualCLSID(rclsid, CLSID_FilterGraph))
        return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, ppv);
}

STDAPI DllCanUnloadNow()
{
    return CPersistentGraph::ObjectCount() == 0 && g_cLocks == 0 ? S_OK : S_FALSE;
}
