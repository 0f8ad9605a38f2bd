// GraphPersist.dll: the in-process server registered for CLSID_FilterGraph.
#include "PersistModule.h"

BOOL WINAPI DllMain(HINSTANCE, DWORD dwReason, LPVOID pvReserved)
{
    // A non-null pvReserved at detach means the process is ending.
    if (dwReason == DLL_PROCESS_DETACH && pvReserved != nullptr)
        CPersistModule::Get().OnProcessExit();
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualCLSID(rclsid, CLSID_FilterGraph))
        return CLASS_E_CLASSNOTAVAILABLE;
    return CPersistModule::Get().Factory()->QueryInterface(riid, ppv);
}

STDAPI DllCanUnloadNow()
{
    return CPersistModule::Get().CanUnloadNow();
}
