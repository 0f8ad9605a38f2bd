#include "ServerRegistration.h"

#include <cwchar>

namespace
{

// An open registry key, closed with its owner.
class CRegistryKey
{
public:
    CRegistryKey() = default;
    ~CRegistryKey()
    {
        if (m_hKey != nullptr)
            ::RegCloseKey(m_hKey);
    }
    CRegistryKey(const CRegistryKey&) = delete;
    CRegistryKey& operator=(const CRegistryKey&) = delete;

    LSTATUS Create(HKEY hParent, LPCWSTR pszSubKey)
    {
        return ::RegCreateKeyExW(hParent, pszSubKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                                 &m_hKey, nullptr);
    }
    LSTATUS SetString(LPCWSTR pszValueName, LPCWSTR pszValue)
    {
        const DWORD cb = static_cast<DWORD>((::wcslen(pszValue) + 1) * sizeof(wchar_t));
        return ::RegSetValueExW(m_hKey, pszValueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(pszValue), cb);
    }
    HKEY Get() const { return m_hKey; }

private:
    HKEY m_hKey = nullptr;
};

// "CLSID\{...}" for a class.
HRESULT ClassKeyPath(REFCLSID clsid, wchar_t (&szPath)[64])
{
    wchar_t szClsid[40] = {};
    if (::StringFromGUID2(clsid, szClsid, 40) == 0)
        return E_UNEXPECTED;
    std::swprintf(szPath, 64, L"CLSID\\%ls", szClsid);
    return S_OK;
}

} // namespace

HRESULT RegisterInprocClass(REFCLSID clsid, LPCWSTR pszName, HMODULE hModule)
{
    wchar_t szModule[MAX_PATH] = {};
    const DWORD cch = ::GetModuleFileNameW(hModule, szModule, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH)
        return E_FAIL;
    wchar_t szPath[64] = {};
    HRESULT hr = ClassKeyPath(clsid, szPath);
    if (FAILED(hr))
        return hr;

    CRegistryKey classKey;
    LSTATUS status = classKey.Create(HKEY_CLASSES_ROOT, szPath);
    if (status == ERROR_SUCCESS)
        status = classKey.SetString(nullptr, pszName);
    CRegistryKey serverKey;
    if (status == ERROR_SUCCESS)
        status = serverKey.Create(classKey.Get(), L"InprocServer32");
    if (status == ERROR_SUCCESS)
        status = serverKey.SetString(nullptr, szModule);
    if (status == ERROR_SUCCESS)
        status = serverKey.SetString(L"ThreadingModel", L"Both");
    return HRESULT_FROM_WIN32(status);
}

HRESULT UnregisterInprocClass(REFCLSID clsid)
{
    wchar_t szPath[64] = {};
    const HRESULT hr = ClassKeyPath(clsid, szPath);
    if (FAILED(hr))
        return hr;
    const LSTATUS status = ::RegDeleteTreeW(HKEY_CLASSES_ROOT, szPath);
    if (status == ERROR_FILE_NOT_FOUND)
        return S_OK;
    return HRESULT_FROM_WIN32(status);
}
