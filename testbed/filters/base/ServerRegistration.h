// Registration of an in-process COM server's classes under
// HKEY_CLASSES_ROOT\CLSID.
#pragma once

#include <objbase.h>

// {clsid} = pszName, {clsid}\InprocServer32 = the module's full path with
// ThreadingModel "Both".
HRESULT RegisterInprocClass(REFCLSID clsid, LPCWSTR pszName, HMODULE hModule);
// Removes {clsid} and everything under it; S_OK when it was not there.
HRESULT UnregisterInprocClass(REFCLSID clsid);
