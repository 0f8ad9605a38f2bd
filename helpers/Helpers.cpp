#include "Helpers.h"

#include <dshow.h>
#include <strsafe.h>

#include <memory>
#include <new>

namespace
{

// Size of the message box's text and of its scratch buffer, in UTF-16 units.
constexpr size_t kcchMessage = 1024;

// Where the property-page library and the graph editor are registered.
constexpr CLSID kclsidProppage = {0x29E07010, 0xBD27, 0x11CE, {0xAB, 0x59, 0x00, 0xAA, 0x00, 0x57, 0x7D, 0xA1}};
constexpr wchar_t kszProppageKey[] = L"CLSID\\{29E07010-BD27-11CE-AB59-00AA00577DA1}";
constexpr wchar_t kszGraphEditKey[] = L"Software\\Microsoft\\Shared Tools\\Graphedit";
constexpr wchar_t kszGraphEditFile[] = L"graphedt.exe";

// The editor's "Connect to remote graph" command, as its accelerator sends it.
constexpr WPARAM kConnectCommand = MAKEWPARAM(0x8034, 1);

// Style bits of the editor's main window: caption, system menu, sizing border.
constexpr LONG kMainWindowStyle = WS_CAPTION | WS_SYSMENU | WS_THICKFRAME;

constexpr DWORD kPollMs = 10;

// A list entry must fit this buffer, terminator included, to be one of ours.
constexpr size_t kcchEntry = 64;
// Where list entries are read before they are looked at (see ReadListEntry).
constexpr size_t kcchScratch = 64 * 1024;

// HRESULT_FROM_WIN32 of the last error, or E_FAIL when there is none.
HRESULT LastErrorStatus()
{
    const DWORD dwError = ::GetLastError();
    return dwError != 0 ? HRESULT_FROM_WIN32(dwError) : E_FAIL;
}

// The registry views of this process's bitness and of the other one.
#ifdef _WIN64
constexpr REGSAM kOwnView = KEY_WOW64_64KEY;
constexpr REGSAM kOtherView = KEY_WOW64_32KEY;
constexpr int kOtherBits = 32;
#else
constexpr REGSAM kOwnView = KEY_WOW64_32KEY;
constexpr REGSAM kOtherView = KEY_WOW64_64KEY;
constexpr int kOtherBits = 64;
#endif

// Reads a string value of a key into psz (cch units); false leaves it empty.
// samView picks a view of the registry (0: this process's own).
bool ReadPathValue(HKEY hKeyParent, LPCWSTR pszKey, LPCWSTR pszValue, LPWSTR psz, size_t cch, REGSAM samView = 0)
{
    psz[0] = L'\0';
    CRegKey key;
    if (key.Open(hKeyParent, pszKey, KEY_READ | samView) != ERROR_SUCCESS)
        return false;
    ULONG cchValue = static_cast<ULONG>(cch);
    return key.QueryStringValue(pszValue, psz, &cchValue) == ERROR_SUCCESS;
}

// Starts the editor without a command line; the last error tells why not.
bool StartProcess(LPCWSTR pszFile, CEditorProcess& editor)
{
    STARTUPINFOW rgSI = {};
    rgSI.cb = sizeof(rgSI);
    rgSI.dwFlags = STARTF_USESHOWWINDOW;
    rgSI.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION rgPI = {};
    if (!::CreateProcessW(pszFile, nullptr, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr, &rgSI,
                          &rgPI))
        return false;
    editor.Attach(rgPI);
    return true;
}

// Replaces the file name of the path in psz (cch units) with pszFile; false
// when the path has no folder or the result would not fit.
bool ReplaceFileName(LPWSTR psz, size_t cch, LPCWSTR pszFile)
{
    size_t cchFolder = ::wcsnlen(psz, cch);
    while (cchFolder > 0 && psz[cchFolder - 1] != L'\\' && psz[cchFolder - 1] != L'/')
        --cchFolder;
    if (cchFolder == 0 || cchFolder >= cch)
        return false;
    return SUCCEEDED(::StringCchCopyW(psz + cchFolder, cch - cchFolder, pszFile));
}

// Sends a message to a window of the editor and waits for the answer at most
// CGraphEdit::kMessageWaitMs, so that an editor that hangs never freezes the
// dialog.
// HRESULT_FROM_WIN32(ERROR_TIMEOUT) when it did not answer in time.
HRESULT SendToEditor(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT* plResult)
{
    DWORD_PTR dwResult = 0;
    ::SetLastError(ERROR_SUCCESS);
    if (::SendMessageTimeoutW(hWnd, uMsg, wParam, lParam, SMTO_ABORTIFHUNG, CGraphEdit::kMessageWaitMs,
                              &dwResult) == 0)
    {
        const DWORD dwError = ::GetLastError();
        return HRESULT_FROM_WIN32(dwError != ERROR_SUCCESS ? dwError : ERROR_TIMEOUT);
    }
    *plResult = static_cast<LRESULT>(dwResult);
    return S_OK;
}

// A heap buffer of UTF-16 units that frees itself; empty when out of memory.
class CTextBuffer
{
public:
    explicit CTextBuffer(size_t cch) : m_psz(new (std::nothrow) wchar_t[cch]), m_cch(m_psz ? cch : 0) {}
    LPWSTR Get() const { return m_psz.get(); }
    size_t Size() const { return m_cch; }

private:
    std::unique_ptr<wchar_t[]> m_psz;
    size_t m_cch;
};

// Reads entry i of another process's list box into psz (cch units). S_FALSE
// when the entry is empty, cannot be read or is too long to be ours.
//
// LB_GETTEXT takes no buffer size: the platform copies back as much as the
// list reports at the moment of the copy, which need not be what it answered
// to LB_GETTEXTLEN just before. So the text lands in a scratch block far
// larger than any entry we look at, and only a text that fits psz is kept.
HRESULT ReadListEntry(HWND hWndList, int i, CTextBuffer& scratch, LPWSTR psz, size_t cch)
{
    psz[0] = L'\0';
    LRESULT cchText = 0;
    HRESULT hr = SendToEditor(hWndList, LB_GETTEXTLEN, i, 0, &cchText);
    if (FAILED(hr))
        return hr;
    if (cchText <= 0 || static_cast<size_t>(cchText) >= cch || scratch.Size() < kcchScratch)
        return S_FALSE;
    scratch.Get()[0] = L'\0';
    hr = SendToEditor(hWndList, LB_GETTEXT, i, reinterpret_cast<LPARAM>(scratch.Get()), &cchText);
    if (FAILED(hr))
        return hr;
    if (cchText <= 0 || static_cast<size_t>(cchText) >= cch)
        return S_FALSE;
    ::StringCchCopyNW(psz, cch, scratch.Get(), static_cast<size_t>(cchText));
    return S_OK;
}

// The platform's description of hr into psz, or an empty text. The media
// framework is asked first for statuses of its own facility.
void DescribeStatus(HRESULT hr, LPWSTR psz, DWORD cch)
{
    psz[0] = L'\0';
    // A success status is no Win32 error: status 1 would read "Invalid function."
    if (SUCCEEDED(hr))
        return;
    DWORD cchText = 0;
    if (((hr >> 16) & 0x1FFF) == FACILITY_ITF)
        cchText = ::AMGetErrorTextW(hr, psz, cch);
    if (cchText == 0)
        cchText = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                   static_cast<DWORD>(hr), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), psz,
                                   cch, nullptr);
    if (cchText == 0)
    {
        psz[0] = L'\0';
        return;
    }
    // System descriptions end with a line break; the message adds its own.
    size_t cchEnd = ::wcsnlen(psz, cch);
    while (cchEnd > 0 && (psz[cchEnd - 1] == L'\r' || psz[cchEnd - 1] == L'\n' || psz[cchEnd - 1] == L' '))
        psz[--cchEnd] = L'\0';
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

void TraceOtherBitnessRegistration(REFCLSID clsid, LPCWSTR pszCaller)
{
    wchar_t szClsid[40];
    if (::StringFromGUID2(clsid, szClsid, _countof(szClsid)) == 0)
        return;
    wchar_t szKey[64];
    if (FAILED(::StringCchPrintfW(szKey, _countof(szKey), L"CLSID\\%ls\\InprocServer32", szClsid)))
        return;
    wchar_t szServer[MAX_PATH];
    if (ReadPathValue(HKEY_CLASSES_ROOT, szKey, nullptr, szServer, _countof(szServer), kOwnView))
        return; // registered for this bitness: the failure is another one
    if (!ReadPathValue(HKEY_CLASSES_ROOT, szKey, nullptr, szServer, _countof(szServer), kOtherView))
        return;
    ATLTRACE2(atlTraceGeneral, 2, L"###Err### %ls: %ls is registered for %d-bit programs only: %ls\n", pszCaller,
              szClsid, kOtherBits, szServer);
}

// ---------------------------------------------------------------------------
// CStubKeeper

void CStubKeeper::KeepEditorInterfaces(IUnknown* pGraph)
{
    CComPtr<IFilterGraph> spGraph;
    if (pGraph == nullptr || FAILED(pGraph->QueryInterface(IID_IFilterGraph, reinterpret_cast<void**>(&spGraph))))
        return;
    Keep(IID_IFilterGraph, spGraph);
    CComPtr<IEnumFilters> spFilters;
    if (spGraph->EnumFilters(&spFilters) != S_OK || !spFilters)
        return;
    Keep(IID_IEnumFilters, spFilters);
    CComPtr<IBaseFilter> spFilter;
    if (spFilters->Next(1, &spFilter, nullptr) != S_OK || !spFilter)
        return;
    Keep(IID_IBaseFilter, spFilter);
    CComPtr<IEnumPins> spPins;
    if (spFilter->EnumPins(&spPins) != S_OK || !spPins)
        return;
    Keep(IID_IEnumPins, spPins);
    CComPtr<IPin> spPin;
    if (spPins->Next(1, &spPin, nullptr) == S_OK && spPin)
        Keep(IID_IPin, spPin);
}

void CStubKeeper::Keep(REFIID riid, IUnknown* pUnknown)
{
    if (m_cKept == kMaxKept)
        return;
    CComPtr<IStream> spStream;
    if (FAILED(::CreateStreamOnHGlobal(nullptr, TRUE, &spStream)))
        return;
    if (FAILED(::CoMarshalInterface(spStream, riid, pUnknown, MSHCTX_LOCAL, nullptr, MSHLFLAGS_TABLESTRONG)))
        return;
    m_rgspStreams[m_cKept++] = spStream;
}

void CStubKeeper::Release()
{
    for (size_t i = 0; i < m_cKept; ++i)
    {
        const LARGE_INTEGER liStart = {};
        if (SUCCEEDED(m_rgspStreams[i]->Seek(liStart, STREAM_SEEK_SET, nullptr)))
            ::CoReleaseMarshalData(m_rgspStreams[i]);
        m_rgspStreams[i].Release();
    }
    m_cKept = 0;
}

// ---------------------------------------------------------------------------
// CEditorProcess

void CEditorProcess::Attach(const PROCESS_INFORMATION& pi)
{
    hProcess.Attach(pi.hProcess);
    hThread.Attach(pi.hThread);
    dwProcessId = pi.dwProcessId;
    dwThreadId = pi.dwThreadId;
}

void CEditorProcess::Reset()
{
    hThread.Close();
    hProcess.Close();
    dwProcessId = 0;
    dwThreadId = 0;
}

// ---------------------------------------------------------------------------
// CGraphEdit

CGraphEdit::CGraphEdit() : m_dwCookie(0), m_hWndGraphEdit(nullptr), m_hWndListBox(nullptr)
{
}

CGraphEdit::~CGraphEdit()
{
    Close();
}

HRESULT CGraphEdit::ShowGraph(IUnknown* pGraph)
{
    const DWORD dwStart = ::GetTickCount();
    const HRESULT hr = AttachEditor(pGraph);
    // How long the caller's thread was held up, whatever the outcome.
    ATLTRACE2(atlTraceGeneral, 4, L"CGraphEdit::ShowGraph(): hr=0x%X after %u ms\n", static_cast<unsigned>(hr),
              static_cast<unsigned>(::GetTickCount() - dwStart));
    return hr;
}

HRESULT CGraphEdit::AttachEditor(IUnknown* pGraph)
{
    Close(); // a running editor is never reused

    wchar_t szProppage_dll[MAX_PATH];
    if (!IsProppageRegistered(szProppage_dll, _countof(szProppage_dll)))
    {
        ATLREPORT(L"CGraphEdit::ShowGraph(): Proppage.dll is not registered");
        TraceOtherBitnessRegistration(kclsidProppage, L"CGraphEdit::ShowGraph()");
        return REGDB_E_CLASSNOTREG;
    }
    HRESULT hr = AddGraphToRot(pGraph, &m_dwCookie);
    if (FAILED(hr))
        return hr;
    m_stubs.KeepEditorInterfaces(pGraph);
    hr = LoadGraphEdit(szProppage_dll);
    if (hr != S_OK)
    {
        QuitGraphEdit(); // an editor given up on is not left running
        return hr;
    }
    if (!FindMainWindow())
    {
        QuitGraphEdit();
        return S_FALSE;
    }
    PostConnectCommand();
    hr = SelectRemoteGraph(pGraph);
    if (FAILED(hr))
    {
        QuitGraphEdit();
        return hr;
    }
    return S_OK;
}

void CGraphEdit::Close()
{
    RemoveGraphFromRot(m_dwCookie);
    m_dwCookie = 0;
    m_hWndListBox = nullptr;
    m_hWndGraphEdit = nullptr;
    QuitGraphEdit();
    m_stubs.Release(); // no editor is left to call in
}

// The editor ships with its property-page library, so the library's
// registration says whether the editor is installed, and where.
bool CGraphEdit::IsProppageRegistered(LPWSTR pszProppage_dll, size_t cchProppage_dll)
{
    pszProppage_dll[0] = L'\0';
    CRegKey key;
    if (key.Open(HKEY_CLASSES_ROOT, kszProppageKey, KEY_READ) != ERROR_SUCCESS)
        return false;
    return ReadPathValue(key, L"InprocServer32", nullptr, pszProppage_dll, cchProppage_dll);
}

HRESULT CGraphEdit::LoadGraphEdit(LPCWSTR pszProppage_dll)
{
    wchar_t szGraphEdit[MAX_PATH] = {};
    if (!ReadPathValue(HKEY_LOCAL_MACHINE, kszGraphEditKey, L"Path", szGraphEdit, _countof(szGraphEdit)))
        ::StringCchCopyW(szGraphEdit, _countof(szGraphEdit), kszGraphEditFile);

    CEditorProcess editor;
    bool bStarted = StartProcess(szGraphEdit, editor);
    // Not there: look beside the property-page library.
    if (!bStarted && ::GetLastError() == ERROR_FILE_NOT_FOUND && pszProppage_dll != nullptr &&
        pszProppage_dll[0] != L'\0')
    {
        ::StringCchCopyW(szGraphEdit, _countof(szGraphEdit), pszProppage_dll);
        if (ReplaceFileName(szGraphEdit, _countof(szGraphEdit), kszGraphEditFile))
            bStarted = StartProcess(szGraphEdit, editor);
        else
            ::SetLastError(ERROR_FILE_NOT_FOUND);
    }
    if (!bStarted)
        return LastErrorStatus();
    ATLTRACE2(atlTraceGeneral, 4, L"CGraphEdit::LoadGraphEdit(): started %ls, process %u\n", szGraphEdit,
              static_cast<unsigned>(editor.dwProcessId));

    ATLASSERT(editor.hProcess != 0 && editor.hThread != 0);
    // Tracked from its start, whatever happens next: the console never
    // forgets an editor it started.
    m_rgPI = std::move(editor);
    const DWORD dwWait = WaitForEditorWindow();
    if (dwWait == 0)
        return S_OK;
    const HRESULT hr = dwWait == WAIT_TIMEOUT ? E_FAIL : HRESULT_FROM_WIN32(ERROR_PROCESS_ABORTED);
    ATLTRACE2(atlTraceGeneral, 2, L"###Err### CGraphEdit::LoadGraphEdit(): editor not ready=%u, hr=0x%X\n",
              static_cast<unsigned>(dwWait), static_cast<unsigned>(hr));
    return hr;
}

// Waits, within a bound, until the editor has made its main window: then it
// takes input. WaitForInputIdle would say the same, but Wine's leaves an
// event handle behind on every call, and a console that shows the graph all
// day would creep. 0 when ready, WAIT_TIMEOUT, or WAIT_ABANDONED when the
// editor ended first.
DWORD CGraphEdit::WaitForEditorWindow()
{
    const DWORD dwStart = ::GetTickCount();
    for (;;)
    {
        m_hWndGraphEdit = nullptr;
        ::EnumWindows(EnumMainWindowProc, reinterpret_cast<LPARAM>(this));
        const bool bFound = m_hWndGraphEdit != nullptr;
        m_hWndGraphEdit = nullptr;
        if (bFound)
        {
            ATLTRACE2(atlTraceGeneral, 4, L"CGraphEdit::WaitForEditorWindow(): main window after %u ms\n",
                      static_cast<unsigned>(::GetTickCount() - dwStart));
            return 0;
        }
        if (::WaitForSingleObject(m_rgPI.hProcess, kPollMs) == WAIT_OBJECT_0)
            return WAIT_ABANDONED;
        if (::GetTickCount() - dwStart >= kInputIdleMs)
            return WAIT_TIMEOUT;
    }
}

bool CGraphEdit::FindMainWindow()
{
    ATLASSERT(m_rgPI.hProcess != 0 && m_rgPI.hThread != 0);
    m_hWndGraphEdit = nullptr;
    for (int nPasses = kSearchPasses; m_hWndGraphEdit == nullptr && --nPasses > 0;)
        ::EnumWindows(EnumMainWindowProc, reinterpret_cast<LPARAM>(this));
    if (m_hWndGraphEdit != nullptr && !WaitWhileHidden())
        m_hWndGraphEdit = nullptr;
    if (m_hWndGraphEdit == nullptr)
        ATLTRACE2(atlTraceGeneral, 2, L"###Err### CGraphEdit::FindMainWindow(): GraphEdit window not found\n");
    return m_hWndGraphEdit != nullptr;
}

BOOL CGraphEdit::MatchMainWindow(HWND hWnd)
{
    ATLASSERT(hWnd != 0);
    if (!::IsWindow(hWnd))
        return TRUE;
    DWORD dwProcessId = 0;
    ::GetWindowThreadProcessId(hWnd, &dwProcessId);
    if (dwProcessId != m_rgPI.dwProcessId)
        return TRUE;
    if ((::GetWindowLongW(hWnd, GWL_STYLE) & kMainWindowStyle) != kMainWindowStyle)
        return TRUE;
    m_hWndGraphEdit = hWnd;
    return FALSE;
}

// The editor shows its main window on its own; give it a moment.
bool CGraphEdit::WaitWhileHidden()
{
    if (m_hWndGraphEdit == nullptr)
        return false;
    const DWORD dwStart = ::GetTickCount();
    for (DWORD dwPassed = 0; dwPassed <= kVisibleWaitMs; dwPassed = ::GetTickCount() - dwStart)
    {
        if (::GetWindowLongW(m_hWndGraphEdit, GWL_STYLE) & WS_VISIBLE)
        {
            ATLTRACE2(atlTraceGeneral, 4, L"CGraphEdit::WaitWhileHidden(): visible after %u ms\n",
                      static_cast<unsigned>(dwPassed));
            return true;
        }
        ATLTRACE2(atlTraceGeneral, 10, L"CGraphEdit::WaitWhileHidden(): wait time rest is %i ms\n",
                  static_cast<int>(kVisibleWaitMs) - static_cast<int>(dwPassed));
        ::Sleep(kPollMs);
    }
    ATLTRACE2(atlTraceGeneral, 2, L"###Err### CGraphEdit::WaitWhileHidden(): Wait time is ending\n");
    return false;
}

// The editor is asked to end its main thread; it is never terminated. While
// it ends it lets go of the graph, which are calls into this thread, and it
// may still be doing so after its main thread has ended. The wait is for the
// whole process and serves those calls, so that they are done before another
// editor comes to call: the platform's COM can deadlock this thread when one
// client's last release meets another client's call. An editor that has no
// message queue yet is asked again until it has one, within the same bound;
// one that does not end in time is let go.
void CGraphEdit::QuitGraphEdit()
{
    if (m_rgPI.hProcess != nullptr && !WaitForEditorToQuit())
        ATLTRACE2(atlTraceGeneral, 2, L"###Err### CGraphEdit::QuitGraphEdit(): editor %u did not end in time\n",
                  static_cast<unsigned>(m_rgPI.dwProcessId));
    m_rgPI.Reset();
}

bool CGraphEdit::WaitForEditorToQuit()
{
    HANDLE hProcess = m_rgPI.hProcess;
    bool bAsked = false;
    const DWORD dwStart = ::GetTickCount();
    for (;;)
    {
        if (!bAsked)
            bAsked = ::PostThreadMessageW(m_rgPI.dwThreadId, WM_QUIT, 0, 0) != FALSE;
        const DWORD dwPassed = ::GetTickCount() - dwStart;
        if (dwPassed >= kQuitWaitMs)
            return ::WaitForSingleObject(hProcess, 0) == WAIT_OBJECT_0;
        // Asked: wait out the rest; not yet: look again soon.
        const DWORD dwSlice = bAsked ? kQuitWaitMs - dwPassed : kPollMs;
        DWORD dwIndex = 0;
        if (::CoWaitForMultipleHandles(0, dwSlice, 1, &hProcess, &dwIndex) == S_OK)
            return true;
    }
}

// ---------------------------------------------------------------------------
// Attaching the editor to the graph

void CGraphEdit::PostConnectCommand()
{
    if (m_hWndGraphEdit != nullptr)
        ::PostMessageW(m_hWndGraphEdit, WM_COMMAND, kConnectCommand, 0);
}

// The connect dialog opens asynchronously, so it is looked for until it
// shows, within a bound. Not finding it, or not finding the graph in it,
// leaves the editor open without the graph: no failure of the console, but
// traced as one, since the user sees no graph. An editor that stops
// answering is a failure.
HRESULT CGraphEdit::SelectRemoteGraph(IUnknown* pGraph)
{
    if (!::IsWindow(m_hWndGraphEdit))
        return S_OK;
    const DWORD dwStart = ::GetTickCount();
    m_hWndListBox = nullptr;
    int nPass = 0;
    for (;;)
    {
        ++nPass;
        const bool bSeen = m_hWndListBox != nullptr;
        ::EnumWindows(EnumConnectDialogProc, reinterpret_cast<LPARAM>(this));
        if (::IsWindow(m_hWndListBox))
        {
            if (!bSeen)
                ATLTRACE2(atlTraceGeneral, 4, L"CGraphEdit::SelectRemoteGraph(): connect dialog after pass %d, %u ms\n",
                          nPass, static_cast<unsigned>(::GetTickCount() - dwStart));
            int i = -1;
            const HRESULT hr = SelectGraphEntry(pGraph, &i);
            if (FAILED(hr) || i != -1)
                return hr;
        }
        if (::GetTickCount() - dwStart >= kDialogWaitMs)
            break;
        ::Sleep(kPollMs);
    }
    ATLTRACE2(atlTraceGeneral, 2, L"###Err### CGraphEdit::SelectRemoteGraph(): %ls not found after %d passes, %u ms\n",
              m_hWndListBox != nullptr ? L"graph entry" : L"connect dialog", nPass,
              static_cast<unsigned>(::GetTickCount() - dwStart));
    return S_OK;
}

// Picks the graph's entry in the connect list and confirms the dialog;
// *pnIndex is -1 when the list does not hold it (yet).
HRESULT CGraphEdit::SelectGraphEntry(IUnknown* pGraph, int* pnIndex)
{
    const DWORD dwStart = ::GetTickCount();
    HRESULT hr = FindGraphEntry(pGraph, pnIndex);
    LRESULT lResult = LB_ERR;
    if (SUCCEEDED(hr) && *pnIndex != -1)
        hr = SendToEditor(m_hWndListBox, LB_SETCURSEL, *pnIndex, 0, &lResult);
    if (FAILED(hr))
    {
        ATLTRACE2(atlTraceGeneral, 2,
                  L"###Err### CGraphEdit::SelectGraphEntry(): connect list did not answer, hr=0x%X\n",
                  static_cast<unsigned>(hr));
        return hr;
    }
    if (*pnIndex == -1)
        return S_OK;
    ATLTRACE2(atlTraceGeneral, 4, L"CGraphEdit::SelectGraphEntry(): entry %d found, list answered in %u ms\n", *pnIndex,
              static_cast<unsigned>(::GetTickCount() - dwStart));
    if (lResult != LB_ERR)
        ::PostMessageW(::GetParent(m_hWndListBox), WM_COMMAND, IDOK, 0);
    return S_OK;
}

BOOL CGraphEdit::MatchConnectDialog(HWND hWnd)
{
    ATLASSERT(hWnd != 0);
    if (!::IsWindow(hWnd))
        return TRUE;
    DWORD dwProcessId = 0;
    ::GetWindowThreadProcessId(hWnd, &dwProcessId);
    if (dwProcessId != m_rgPI.dwProcessId || ::GetParent(hWnd) != m_hWndGraphEdit)
        return TRUE;
    ::EnumChildWindows(hWnd, EnumListBoxProc, reinterpret_cast<LPARAM>(this));
    return m_hWndListBox == nullptr;
}

BOOL CGraphEdit::MatchListBox(HWND hWnd)
{
    ATLASSERT(hWnd != 0);
    if (!::IsWindow(hWnd))
        return TRUE;
    wchar_t szClassName[256] = {};
    if (::GetClassNameW(hWnd, szClassName, _countof(szClassName)) == 0)
        return TRUE;
    if (::wcscmp(szClassName, L"ListBox") != 0)
        return TRUE;
    m_hWndListBox = hWnd;
    return FALSE;
}

// *pnIndex: the first entry that names this process and pGraph, or -1.
HRESULT CGraphEdit::FindGraphEntry(IUnknown* pGraph, int* pnIndex)
{
    *pnIndex = -1;
    if (!::IsWindow(m_hWndListBox))
        return S_OK;
    LRESULT cEntries = 0;
    HRESULT hr = SendToEditor(m_hWndListBox, LB_GETCOUNT, 0, 0, &cEntries);
    if (FAILED(hr))
        return hr;
    CTextBuffer scratch(kcchScratch);
    for (int i = 0; i < static_cast<int>(cEntries); ++i)
    {
        wchar_t szCookieName[kcchEntry];
        hr = ReadListEntry(m_hWndListBox, i, scratch, szCookieName, _countof(szCookieName));
        if (FAILED(hr))
            return hr;
        if (hr == S_OK && IsGraphEntry(szCookieName, pGraph))
        {
            *pnIndex = i;
            return S_OK;
        }
    }
    return S_OK;
}

// "... pid <process id in hex> ...IFilterGraph = <graph pointer in hex>": the
// editor's entry for this process's published graph.
bool CGraphEdit::IsGraphEntry(LPCWSTR pszCookieName, IUnknown* pGraph)
{
    if (pszCookieName == nullptr)
    {
        ATLASSERT(pszCookieName != 0);
        return false;
    }
    LPCWSTR pszPid = ::wcsstr(pszCookieName, L"pid ");
    if (pszPid == nullptr)
        return false;
    pszPid += 4;
    wchar_t* pszEnd = nullptr;
    const DWORD dwProcessId = static_cast<DWORD>(::wcstoul(pszPid, &pszEnd, 16));
    if (pszEnd == pszPid || *pszEnd != L' ' || dwProcessId != ::GetCurrentProcessId())
        return false;

    LPCWSTR pszGraph = ::wcsstr(pszEnd + 1, L"IFilterGraph = ");
    if (pszGraph == nullptr)
        return false;
    pszGraph += 15;
    const DWORD dwGraph = static_cast<DWORD>(::wcstoul(pszGraph, &pszEnd, 16));
    return pszEnd != pszGraph && *pszEnd == L'\0' &&
           dwGraph == static_cast<DWORD>(reinterpret_cast<UINT_PTR>(pGraph));
}

// The enumerations hand the object over as their application value.

BOOL CALLBACK CGraphEdit::EnumMainWindowProc(HWND hWnd, LPARAM lParam)
{
    ATLASSERT(lParam != 0);
    return lParam != 0 ? reinterpret_cast<CGraphEdit*>(lParam)->MatchMainWindow(hWnd) : FALSE;
}

BOOL CALLBACK CGraphEdit::EnumConnectDialogProc(HWND hWnd, LPARAM lParam)
{
    ATLASSERT(lParam != 0);
    return lParam != 0 ? reinterpret_cast<CGraphEdit*>(lParam)->MatchConnectDialog(hWnd) : FALSE;
}

BOOL CALLBACK CGraphEdit::EnumListBoxProc(HWND hWnd, LPARAM lParam)
{
    ATLASSERT(lParam != 0);
    return lParam != 0 ? reinterpret_cast<CGraphEdit*>(lParam)->MatchListBox(hWnd) : FALSE;
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
