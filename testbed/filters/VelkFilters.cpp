// The in-process server that holds the four filters: its entry points and
// class factories.
#include "base/DllModule.h"
#include "base/ServerRegistration.h"

#include "Encoders.h"
#include "RtmpServer.h"
#include "VideoGenerator.h"

#include <new>

namespace
{

using CreateFunction = HRESULT (*)(REFIID riid, void** ppv);

struct ClassEntry
{
    const CLSID* pClsid;
    LPCWSTR pszName;
    CreateFunction pfnCreate;
};

const ClassEntry kClasses[] = {
    {&CLSID_VelkVideoGenerator, VELK_NAME_VIDEO_GENERATOR, CVideoGenerator::Create},
    {&CLSID_VelkH264Encoder, VELK_NAME_H264_ENCODER, CH264Encoder::Create},
    {&CLSID_VelkAACEncoder, VELK_NAME_AAC_ENCODER, CAacEncoder::Create},
    {&CLSID_VelkRtmpServer, VELK_NAME_RTMP_SERVER, CRtmpServer::Create},
};

class CClassFactory final : public IClassFactory
{
public:
    explicit CClassFactory(CreateFunction pfnCreate) : m_pfnCreate(pfnCreate) {}

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
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&m_cRef)); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG cRef = ::InterlockedDecrement(&m_cRef);
        if (cRef == 0)
            delete this;
        return static_cast<ULONG>(cRef);
    }

    STDMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (pUnkOuter != nullptr)
            return CLASS_E_NOAGGREGATION;
        return m_pfnCreate(riid, ppv);
    }
    STDMETHODIMP LockServer(BOOL bLock) override
    {
        CDllModule::Get().Lock(bLock != FALSE);
        return S_OK;
    }

private:
    ~CClassFactory() = default;

    CModuleObject m_moduleObject;
    volatile LONG m_cRef = 1;
    const CreateFunction m_pfnCreate;
};

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID)
{
    if (dwReason == DLL_PROCESS_ATTACH)
    {
        CDllModule::Get().SetInstance(hInstance);
        ::DisableThreadLibraryCalls(hInstance);
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    for (const ClassEntry& entry : kClasses)
    {
        if (!IsEqualCLSID(rclsid, *entry.pClsid))
            continue;
        return QueryNewObject(new (std::nothrow) CClassFactory(entry.pfnCreate), riid, ppv);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow()
{
    return CDllModule::Get().CanUnload() ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer()
{
    for (const ClassEntry& entry : kClasses)
    {
        const HRESULT hr = RegisterInprocClass(*entry.pClsid, entry.pszName, CDllModule::Get().Instance());
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

STDAPI DllUnregisterServer()
{
    HRESULT hrResult = S_OK;
    for (const ClassEntry& entry : kClasses)
    {
        const HRESULT hr = UnregisterInprocClass(*entry.pClsid);
        if (FAILED(hr) && SUCCEEDED(hrResult))
            hrResult = hr;
    }
    return hrResult;
}
