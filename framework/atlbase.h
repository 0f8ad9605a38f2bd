// The framework layer: the executable module, owning interface pointers,
// owned BSTRs and registry keys, in the shape of the Active Template Library.
#pragma once

#include "atldiag.h"

#include <objbase.h>
#include <oleauto.h>
#include <unknwn.h>

#include <memory>

// Spell the two status tests exactly as the Windows SDK does, so that a report
// raised with them reads the same whichever toolchain built the program.
#undef S_OK
#define S_OK ((HRESULT)0L)
#undef SUCCEEDED
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)

namespace ATL
{

// ---------------------------------------------------------------------------
// Modules

// Where the executable's resources live.
class CAtlBaseModule
{
public:
    HINSTANCE GetModuleInstance() const { return ::GetModuleHandleW(nullptr); }
    HINSTANCE GetResourceInstance() const { return GetModuleInstance(); }
};

// Bookkeeping for windows created through the framework. The dialog class
// registers no window class of its own, so termination only marks the end.
class CAtlWinModule
{
public:
    void Term() { m_bTerminated = true; }
    bool IsTerminated() const { return m_bTerminated; }

private:
    bool m_bTerminated = false;
};

inline CAtlBaseModule _AtlBaseModule;
inline CAtlWinModule _AtlWinModule;

class CAtlModule
{
public:
    CAtlModule() { m_dwMainThreadID = ::GetCurrentThreadId(); }
    virtual ~CAtlModule() = default;

    virtual LONG Lock() { return ::InterlockedIncrement(&m_nLockCnt); }
    virtual LONG Unlock()
    {
        LONG nCount = ::InterlockedDecrement(&m_nLockCnt);
        if (nCount == 0)
            ::PostThreadMessageW(m_dwMainThreadID, WM_QUIT, 0, 0);
        return nCount;
    }
    virtual LONG GetLockCount() { return m_nLockCnt; }
    // The global interface table is created on first use.
    virtual HRESULT GetGITPtr(IGlobalInterfaceTable** ppGIT)
    {
        if (ppGIT == nullptr)
            return E_POINTER;
        return ::CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IGlobalInterfaceTable, reinterpret_cast<void**>(ppGIT));
    }
    // Registry-script replacements: this framework runs no registry scripts,
    // so the replacement "APPID" is only named.
    virtual HRESULT AddCommonRGSReplacements(const wchar_t** ppszKey, const wchar_t** ppszValue)
    {
        if (ppszKey == nullptr || ppszValue == nullptr)
            return E_POINTER;
        *ppszKey = L"APPID";
        *ppszValue = L"";
        return S_OK;
    }

protected:
    DWORD m_dwMainThreadID = 0;
    LONG m_nLockCnt = 0;
};

template <class T>
class CAtlModuleT : public CAtlModule
{
};

template <class T>
class CAtlExeModuleT : public CAtlModuleT<T>
{
public:
    static HRESULT InitializeCom() { return ::CoInitialize(nullptr); }
    static void UninitializeCom() { ::CoUninitialize(); }
};

// ---------------------------------------------------------------------------
// CComPtr: owns one reference to an interface.

template <class T>
class CComPtr
{
public:
    CComPtr() = default;
    CComPtr(T* p) : p(p)
    {
        if (p != nullptr)
            p->AddRef();
    }
    CComPtr(const CComPtr& other) : CComPtr(other.p) {}
    CComPtr(CComPtr&& other) noexcept : p(other.p) { other.p = nullptr; }
    ~CComPtr() { Release(); }

    CComPtr& operator=(T* pNew)
    {
        if (pNew != p)
        {
            if (pNew != nullptr)
                pNew->AddRef();
            Attach(pNew);
        }
        return *this;
    }
    CComPtr& operator=(const CComPtr& other) { return *this = other.p; }
    CComPtr& operator=(CComPtr&& other) noexcept
    {
        if (this != std::addressof(other))
            Attach(other.Detach());
        return *this;
    }

    operator T*() const { return p; }
    T* operator->() const
    {
        ATLASSERT(p != nullptr);
        return p;
    }
    // Hands out the address for an out-parameter; the pointer must be empty.
    T** operator&()
    {
        ATLASSERT(p == nullptr);
        return &p;
    }
    bool operator!() const { return p == nullptr; }

    void Release()
    {
        T* pTemp = p;
        if (pTemp != nullptr)
        {
            p = nullptr;
            pTemp->Release();
        }
    }
    // Takes over a reference without adding one.
    void Attach(T* pNew)
    {
        T* pOld = p;
        p = pNew;
        if (pOld != nullptr)
            pOld->Release();
    }
    // Gives up the reference without releasing it.
    T* Detach()
    {
        T* pTemp = p;
        p = nullptr;
        return pTemp;
    }

    HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter = nullptr,
                             DWORD dwClsContext = CLSCTX_ALL)
    {
        ATLASSERT(p == nullptr);
        return ::CoCreateInstance(rclsid, pUnkOuter, dwClsContext, __uuidof(T),
                                  reinterpret_cast<void**>(&p));
    }

    template <class Q>
    HRESULT QueryInterface(Q** pp) const
    {
        ATLASSERT(pp != nullptr);
        if (pp == nullptr)
            return E_POINTER;
        *pp = nullptr;
        if (p == nullptr)
            return E_POINTER;
        return p->QueryInterface(__uuidof(Q), reinterpret_cast<void**>(pp));
    }

    T* p = nullptr;
};

// ---------------------------------------------------------------------------
// CComBSTR: owns one BSTR.

class CComBSTR
{
public:
    CComBSTR() = default;
    explicit CComBSTR(const wchar_t* psz) : m_str(psz != nullptr ? ::SysAllocString(psz) : nullptr) {}
    CComBSTR(const CComBSTR&) = delete;
    CComBSTR& operator=(const CComBSTR&) = delete;
    ~CComBSTR() { Empty(); }

    operator BSTR() const { return m_str; }
    // Hands out the address for an out-parameter; the string must be empty.
    BSTR* operator&()
    {
        ATLASSERT(m_str == nullptr);
        return &m_str;
    }
    bool operator!() const { return m_str == nullptr; }

    void Empty()
    {
        ::SysFreeString(m_str);
        m_str = nullptr;
    }
    unsigned int Length() const { return ::SysStringLen(m_str); }
    void Attach(BSTR str)
    {
        if (str != m_str)
        {
            Empty();
            m_str = str;
        }
    }
    BSTR Detach()
    {
        BSTR str = m_str;
        m_str = nullptr;
        return str;
    }
    // Replaces the string with a copy of psz (null leaves it empty).
    HRESULT AssignCopy(const wchar_t* psz)
    {
        Empty();
        if (psz == nullptr)
            return S_OK;
        m_str = ::SysAllocString(psz);
        return m_str != nullptr ? S_OK : E_OUTOFMEMORY;
    }

    BSTR m_str = nullptr;
};

// ---------------------------------------------------------------------------
// CHandle: owns one kernel handle (null when empty).

class CHandle
{
public:
    CHandle() = default;
    explicit CHandle(HANDLE h) : m_h(h) {}
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;
    CHandle(CHandle&& other) noexcept : m_h(other.Detach()) {}
    CHandle& operator=(CHandle&& other) noexcept
    {
        if (this != std::addressof(other))
            Attach(other.Detach());
        return *this;
    }
    ~CHandle() { Close(); }

    operator HANDLE() const { return m_h; }

    // Takes over h; the handle held before is closed.
    void Attach(HANDLE h)
    {
        if (h != m_h)
        {
            Close();
            m_h = h;
        }
    }
    HANDLE Detach()
    {
        HANDLE h = m_h;
        m_h = nullptr;
        return h;
    }
    void Close()
    {
        if (m_h != nullptr)
        {
            ::CloseHandle(m_h);
            m_h = nullptr;
        }
    }

    HANDLE m_h = nullptr;
};

// ---------------------------------------------------------------------------
// CRegKey: owns one open registry key.

class CRegKey
{
public:
    CRegKey() = default;
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;
    ~CRegKey() { Close(); }

    operator HKEY() const { return m_hKey; }

    LONG Open(HKEY hKeyParent, const wchar_t* pszKeyName, REGSAM samDesired = KEY_READ | KEY_WRITE)
    {
        ATLASSERT(hKeyParent != nullptr);
        HKEY hKey = nullptr;
        LONG lRes = ::RegOpenKeyExW(hKeyParent, pszKeyName, 0, samDesired, &hKey);
        if (lRes == ERROR_SUCCESS)
        {
            Close();
            m_hKey = hKey;
        }
        return lRes;
    }

    LONG Close()
    {
        LONG lRes = ERROR_SUCCESS;
        if (m_hKey != nullptr)
        {
            lRes = ::RegCloseKey(m_hKey);
            m_hKey = nullptr;
        }
        return lRes;
    }

    // Reads a string value into pszValue, whose capacity *pnChars gives in
    // characters. Accepts REG_SZ and REG_EXPAND_SZ (as stored) whose data is
    // terminated and fits; on success *pnChars holds the characters read,
    // terminator included. Anything else leaves pszValue empty.
    LONG QueryStringValue(const wchar_t* pszValueName, wchar_t* pszValue, ULONG* pnChars)
    {
        ATLASSERT(pnChars != nullptr);
        if (pnChars == nullptr || pszValue == nullptr || *pnChars == 0)
            return ERROR_INVALID_PARAMETER;
        const ULONG nCapacity = *pnChars;
        pszValue[0] = L'\0';
        DWORD dwType = REG_NONE;
        DWORD cbData = nCapacity * sizeof(wchar_t);
        LONG lRes = ::RegQueryValueExW(m_hKey, pszValueName, nullptr, &dwType,
                                       reinterpret_cast<BYTE*>(pszValue), &cbData);
        if (lRes != ERROR_SUCCESS)
        {
            pszValue[0] = L'\0';
            return lRes;
        }
        const ULONG nChars = cbData / sizeof(wchar_t);
        const bool bTerminated = nChars > 0 && nChars <= nCapacity && pszValue[nChars - 1] == L'\0';
        if ((dwType != REG_SZ && dwType != REG_EXPAND_SZ) || cbData % sizeof(wchar_t) != 0 ||
            (cbData != 0 && !bTerminated))
        {
            pszValue[0] = L'\0';
            return ERROR_INVALID_DATA;
        }
        if (cbData == 0)
            pszValue[0] = L'\0'; // an empty value reads as empty text
        *pnChars = nChars == 0 ? 1 : nChars;
        return ERROR_SUCCESS;
    }

private:
    HKEY m_hKey = nullptr;
};

} // namespace ATL

using namespace ATL;
