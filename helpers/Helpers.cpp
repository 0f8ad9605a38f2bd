#include "Helpers.h"

#include <dshow.h>
#include <strsafe.h>

namespace
{

// Size of the message box's text and of its scratch buffer, in UTF-16 units.
constexpr size_t kcchMessage = 1024;

// The platform's description of hr into psz, or an empty text. The media
// framework is asked first for statuses of its own facility.
void DescribeStatus(HRESULT hr, LPWSTR psz, DWORD cch)
{
    psz[0] = L'\0';
    DWORD cchText = 0;
    if (((hr >> 16) & 0x1FFF) == FACILITY_ITF)
        cchText = ::AMGetErrorTextW(hr, psz, cch);
    if (cchText == 0)
        cchText = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                   static_cast<DWORD>(hr), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), psz,
                                   cch, nullptr);
    if (cchText == 0)
        psz[0] = L'\0';
}

} // namespace

// ---------------------------------------------------------------------------
// Running Object Table

HRESULT AddGraphToRot(IUnknown* pGraph, DWORD* pdwCookie)
{
    ATLASSERT(pGraph != 0);
    if (pGraph == nullptr)
        return E_INVALIDARG;
    ATLASSERT(pdwCookie != 0);
    if (pdwCookie == nullptr)
        return E_POINTER;
    *pdwCookie = 0;

    CComPtr<IRunningObjectTable> spROT;
    HRESULT hr = ::GetRunningObjectTable(0, &spROT);
    if (hr != S_OK)
        return hr;

    // The low 32 bits of the pointer name the graph, as the editor lists it.
    wchar_t szCookieName[64];
    ::StringCchPrintfW(szCookieName, _countof(szCookieName), L"FilterGraph %08x pid %08x",
                       static_cast<unsigned>(reinterpret_cast<UINT_PTR>(pGraph)),
                       static_cast<unsigned>(::GetCurrentProcessId()));

    CComPtr<IMoniker> spMoniker;
    hr = ::CreateItemMoniker(L"!", szCookieName, &spMoniker);
    if (FAILED(hr))
        return hr;
    return spROT->Register(0, pGraph, spMoniker, pdwCookie);
}

void RemoveGraphFromRot(DWORD dwCookie)
{
    if (dwCookie == 0)
        return;
    CComPtr<IRunningObjectTable> spROT;
    if (::GetRunningObjectTable(0, &spROT) != S_OK)
        return;
    spROT->Revoke(dwCookie);
}

// ---------------------------------------------------------------------------
// CGraphEdit

CGraphEdit::CGraphEdit() : m_dwCookie(0), m_rgPI(), m_hWndGraphEdit(nullptr), m_hWndListBox(nullptr)
{
}

CGraphEdit::~CGraphEdit()
{
    Close();
}

void CGraphEdit::Close()
{
    RemoveGraphFromRot(m_dwCookie);
    m_dwCookie = 0;
    m_hWndListBox = nullptr;
    m_hWndGraphEdit = nullptr;
    QuitGraphEdit();
}

// The editor is asked to end its main thread; it is never terminated.
void CGraphEdit::QuitGraphEdit()
{
    if (m_rgPI.hThread != nullptr)
    {
        ::PostThreadMessageW(m_rgPI.dwThreadId, WM_QUIT, 0, 0);
        ::WaitForSingleObject(m_rgPI.hThread, 1000);
        ::CloseHandle(m_rgPI.hThread);
    }
    if (m_rgPI.hProcess != nullptr)
        ::CloseHandle(m_rgPI.hProcess);
    m_rgPI = PROCESS_INFORMATION();
}

// ---------------------------------------------------------------------------
// Error message box

void FormatErrorMessage(LPCWSTR pszText, HRESULT hr, LPWSTR pszMsg, size_t cchMsg)
{
    ATLASSERT(pszMsg != 0 && cchMsg > 0);
    if (pszMsg == nullptr || cchMsg == 0)
        return;
    pszMsg[0] = L'\0';
    if (pszText != nullptr)
        ::StringCchCopyW(pszMsg, cchMsg, pszText); // cut to fit
    if (hr == 0)
        return;

    wchar_t str[kcchMessage] = {};
    DescribeStatus(hr, str, kcchMessage - 1);
    size_t cchLength = ::wcslen(pszMsg);
    if (str[0] != L'\0')
    {
        if (cchLength > 0 && cchLength < cchMsg - 1)
            ::StringCchCatW(pszMsg, cchMsg, L"\n");
        ::StringCchCatW(pszMsg, cchMsg, str);
        cchLength = ::wcslen(pszMsg);
    }
    ::StringCchPrintfW(str, kcchMessage, L"%lsError 0x%X", cchLength > 0 ? L"\n" : L"",
                       static_cast<unsigned>(hr));
    ::StringCchCatW(pszMsg, cchMsg, str);
}

int ErrorMessageBox(HWND hWnd, LPCWSTR pszText, LPCWSTR pszCaption, HRESULT hr, UINT uType)
{
    wchar_t msg[kcchMessage] = {};
    FormatErrorMessage(pszText, hr, msg, kcchMessage);
    if (hr != 0 && uType == 0)
        uType = MB_ICONERROR;
    HWND hWndOwner = ::IsWindow(hWnd) ? hWnd : ::GetActiveWindow();
    return ::MessageBoxW(hWndOwner, msg, pszCaption, uType);
}
