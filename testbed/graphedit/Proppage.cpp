// The graph editor's property-page library. The editor is found through this
// library's registration; the library itself serves no class.
#include <windows.h>
#include <objbase.h>

BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID)
{
    if (dwReason == DLL_PROCESS_ATTACH)
        ::DisableThreadLibraryCalls(hInstance);
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID, REFIID, LPVOID* ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow()
{
    return S_OK;
}
