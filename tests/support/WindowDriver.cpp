#include "WindowDriver.h"

#include "MainDialog.h"

#include <commctrl.h>

#include <vector>

namespace
{

struct BoxSearch
{
    HWND hWndExcept;
    HWND hWndFound;
};

BOOL CALLBACK FindBoxProc(HWND hWnd, LPARAM lParam)
{
    auto* pSearch = reinterpret_cast<BoxSearch*>(lParam);
    if (hWnd != pSearch->hWndExcept && ClassNameOf(hWnd) == L"#32770" && ::IsWindowVisible(hWnd))
    {
        pSearch->hWndFound = hWnd;
        return FALSE;
    }
    return TRUE;
}

// The message that carries a function to the dialog's thread; a hook on that
// thread runs it before the dialog sees (and ignores) the message.
UINT RunMessage()
{
    static const UINT s_uMsg = ::RegisterWindowMessageW(L"SkerryTestRunOnDialogThread");
    return s_uMsg;
}

struct RunRequest
{
    const std::function<void()>* pfn;
    bool bRan;
};

LRESULT CALLBACK RunHookProc(int nCode, WPARAM wParam, LPARAM lParam)
{
    const auto* pMsg = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (nCode == HC_ACTION && pMsg->message == RunMessage() && pMsg->lParam != 0)
    {
        auto* pRequest = reinterpret_cast<RunRequest*>(pMsg->lParam);
        (*pRequest->pfn)();
        pRequest->bRan = true;
    }
    return ::CallNextHookEx(nullptr, nCode, wParam, lParam);
}

BOOL CALLBACK ReadBoxChildProc(HWND hWnd, LPARAM lParam)
{
    auto* pView = reinterpret_cast<MessageBoxView*>(lParam);
    if (ClassNameOf(hWnd) != L"Static")
        return TRUE;
    const LONG lStyle = ::GetWindowLongW(hWnd, GWL_STYLE);
    if ((lStyle & SS_TYPEMASK) == SS_ICON)
    {
        if (::IsWindowVisible(hWnd) && ::SendMessageW(hWnd, STM_GETICON, 0, 0) != 0)
            pView->bIcon = true;
        return TRUE;
    }
    const std::wstring text = WindowText(hWnd);
    if (!text.empty())
        pView->text = text;
    return TRUE;
}

struct ProcessWindowSearch
{
    DWORD dwProcessId;
    HWND hWnd;
};

BOOL CALLBACK FindProcessDialogProc(HWND hWnd, LPARAM lParam)
{
    auto* pSearch = reinterpret_cast<ProcessWindowSearch*>(lParam);
    DWORD dwProcessId = 0;
    ::GetWindowThreadProcessId(hWnd, &dwProcessId);
    if (dwProcessId != pSearch->dwProcessId || ClassNameOf(hWnd) != L"#32770" || !::IsWindowVisible(hWnd))
        return TRUE;
    pSearch->hWnd = hWnd;
    return FALSE;
}

} // namespace

HWND WaitForProcessDialog(DWORD dwProcessId, DWORD dwTimeoutMs)
{
    const DWORD dwStart = ::GetTickCount();
    do
    {
        ProcessWindowSearch search = {dwProcessId, nullptr};
        ::EnumWindows(FindProcessDialogProc, reinterpret_cast<LPARAM>(&search));
        if (search.hWnd != nullptr)
            return search.hWnd;
        ::Sleep(20);
    } while (::GetTickCount() - dwStart < dwTimeoutMs);
    return nullptr;
}

std::wstring ControlText(HWND hWnd)
{
    wchar_t sz[MAX_PATH] = {};
    ::SendMessageW(hWnd, WM_GETTEXT, MAX_PATH, reinterpret_cast<LPARAM>(sz));
    return sz;
}

std::wstring WindowText(HWND hWnd)
{
    const int cch = ::GetWindowTextLengthW(hWnd);
    std::vector<wchar_t> buffer(static_cast<size_t>(cch) + 1);
    ::GetWindowTextW(hWnd, buffer.data(), cch + 1);
    return buffer.data();
}

std::wstring ClassNameOf(HWND hWnd)
{
    wchar_t sz[256] = {};
    ::GetClassNameW(hWnd, sz, 256);
    return sz;
}

MessageBoxView ReadMessageBox(HWND hWndBox)
{
    MessageBoxView view;
    view.hWnd = hWndBox;
    view.caption = WindowText(hWndBox);
    ::EnumChildWindows(hWndBox, ReadBoxChildProc, reinterpret_cast<LPARAM>(&view));
    return view;
}

HWND WaitForThreadDialog(DWORD dwThreadId, HWND hWndExcept, DWORD dwTimeoutMs)
{
    const DWORD dwStart = ::GetTickCount();
    do
    {
        BoxSearch search = {hWndExcept, nullptr};
        ::EnumThreadWindows(dwThreadId, FindBoxProc, reinterpret_cast<LPARAM>(&search));
        if (search.hWndFound != nullptr)
            return search.hWndFound;
        ::Sleep(10);
    } while (::GetTickCount() - dwStart < dwTimeoutMs);
    return nullptr;
}

void DismissMessageBox(HWND hWndBox)
{
    ::PostMessageW(hWndBox, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    for (int i = 0; i < 500 && ::IsWindow(hWndBox); ++i)
        ::Sleep(10);
}

// ---------------------------------------------------------------------------
// CConsoleProcess

CConsoleProcess::CConsoleProcess(const std::wstring& exe, const std::wstring& arguments, DWORD dwTimeoutMs)
{
    std::wstring commandLine = L"\"" + exe + L"\"";
    if (!arguments.empty())
        commandLine += L" " + arguments;
    STARTUPINFOW si = {sizeof(si)};
    if (!::CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &m_pi))
    {
        m_pi = PROCESS_INFORMATION();
        return;
    }
    m_hWndDialog = WaitForProcessDialog(m_pi.dwProcessId, dwTimeoutMs);
}

CConsoleProcess::~CConsoleProcess()
{
    if (!Started())
        return;
    if (::WaitForSingleObject(m_pi.hProcess, 0) == WAIT_TIMEOUT)
        ::TerminateProcess(m_pi.hProcess, 1);
    ::CloseHandle(m_pi.hThread);
    ::CloseHandle(m_pi.hProcess);
}

bool CConsoleProcess::Click(int nID, DWORD dwTimeoutMs)
{
    DWORD_PTR dwResult = 0;
    return ::SendMessageTimeoutW(m_hWndDialog, WM_COMMAND, MAKEWPARAM(nID, BN_CLICKED), 0, SMTO_NORMAL, dwTimeoutMs,
                                 &dwResult) != 0;
}

void CConsoleProcess::PostClick(int nID)
{
    ::PostMessageW(m_hWndDialog, WM_COMMAND, MAKEWPARAM(nID, BN_CLICKED), 0);
}

HWND CConsoleProcess::WaitForMessageBox(DWORD dwTimeoutMs) const
{
    const DWORD dwThreadId = ::GetWindowThreadProcessId(m_hWndDialog, nullptr);
    return dwThreadId != 0 ? WaitForThreadDialog(dwThreadId, m_hWndDialog, dwTimeoutMs) : nullptr;
}

DWORD CConsoleProcess::CloseWith(UINT uMsg, WPARAM wParam, DWORD dwTimeoutMs)
{
    if (!Started())
        return STILL_ACTIVE;
    if (m_hWndDialog != nullptr)
        ::PostMessageW(m_hWndDialog, uMsg, wParam, 0);
    DWORD dwExit = STILL_ACTIVE;
    if (::WaitForSingleObject(m_pi.hProcess, dwTimeoutMs) == WAIT_OBJECT_0)
        ::GetExitCodeProcess(m_pi.hProcess, &dwExit);
    return dwExit;
}

// ---------------------------------------------------------------------------
// CDialogHost

CDialogHost::CDialogHost(SetUp setUp) : m_setUp(std::move(setUp))
{
    m_hReady = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_thread = std::thread([this] { ThreadMain(); });
    // The dialog counts as ready once its window is visible.
    ::WaitForSingleObject(m_hReady, 10000);
    m_hWndDialog = ::WaitForThreadDialog(m_dwThreadId, nullptr, 10000);
}

CDialogHost::~CDialogHost()
{
    if (!m_bClosed && ::IsWindow(m_hWndDialog))
    {
        // Close any message box first, then the dialog itself.
        while (HWND hWndBox = ::WaitForThreadDialog(m_dwThreadId, m_hWndDialog, 0))
            DismissMessageBox(hWndBox);
        ::PostMessageW(m_hWndDialog, WM_COMMAND, IDCANCEL, 0);
    }
    if (m_thread.joinable())
        m_thread.join();
    ::CloseHandle(m_hReady);
}

void CDialogHost::ThreadMain()
{
    m_dwThreadId = ::GetCurrentThreadId();
    ::CoInitialize(nullptr);
    // As the entry does before it makes the dialog.
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_BAR_CLASSES};
    ::InitCommonControlsEx(&icc);
    std::shared_ptr<void> fixtures = m_setUp ? m_setUp() : nullptr;
    {
        CMainDialog dialog;
        m_pDialog = &dialog;
        ::SetEvent(m_hReady);
        m_nResult = dialog.DoModal(nullptr);
        m_pDialog = nullptr;
    }
    fixtures.reset();
    ::CoUninitialize();
}

bool CDialogHost::Send(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT* plResult, DWORD dwTimeoutMs)
{
    DWORD_PTR dwResult = 0;
    const bool bDone =
        ::SendMessageTimeoutW(m_hWndDialog, uMsg, wParam, lParam, SMTO_NORMAL, dwTimeoutMs, &dwResult) != 0;
    if (plResult != nullptr)
        *plResult = static_cast<LRESULT>(dwResult);
    return bDone;
}

bool CDialogHost::Click(int nID, DWORD dwTimeoutMs)
{
    return Send(WM_COMMAND, MAKEWPARAM(nID, BN_CLICKED), reinterpret_cast<LPARAM>(Item(nID)), nullptr,
                dwTimeoutMs);
}

void CDialogHost::PostClick(int nID)
{
    ::PostMessageW(m_hWndDialog, WM_COMMAND, MAKEWPARAM(nID, BN_CLICKED), reinterpret_cast<LPARAM>(Item(nID)));
}

HWND CDialogHost::WaitForMessageBox(DWORD dwTimeoutMs) const
{
    return ::WaitForThreadDialog(m_dwThreadId, m_hWndDialog, dwTimeoutMs);
}

MessageBoxView CDialogHost::ClickForMessageBox(int nID)
{
    PostClick(nID);
    HWND hWndBox = WaitForMessageBox();
    if (hWndBox == nullptr)
        return MessageBoxView();
    MessageBoxView view = ReadMessageBox(hWndBox);
    DismissMessageBox(hWndBox);
    Send(WM_NULL, 0, 0);
    return view;
}

bool CDialogHost::RunOnDialogThread(const std::function<void()>& fn)
{
    HHOOK hHook = ::SetWindowsHookExW(WH_CALLWNDPROC, RunHookProc, nullptr, m_dwThreadId);
    if (hHook == nullptr)
        return false;
    // Sent without a time limit: the request lives on this stack until it ran.
    RunRequest request = {&fn, false};
    ::SendMessageW(m_hWndDialog, RunMessage(), 0, reinterpret_cast<LPARAM>(&request));
    ::UnhookWindowsHookEx(hHook);
    return request.bRan;
}

INT_PTR CDialogHost::CloseWith(UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    ::PostMessageW(m_hWndDialog, uMsg, wParam, lParam);
    m_thread.join();
    m_bClosed = true;
    return m_nResult;
}
