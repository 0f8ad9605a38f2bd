#include "EditorDriver.h"

#include "MainDialog.h"
#include "TestUtil.h"
#include "WindowDriver.h"

#include <tlhelp32.h>
#include <winternl.h>

#include <cstddef>

#include <algorithm>
#include <memory>
#include <atomic>
#include <thread>

namespace
{

// What the editor names its main window's class and its list of lines.
constexpr wchar_t kszEditorClass[] = L"SkerryGraphEditor";
constexpr int kGraphListId = 1000;

struct EditorSearch
{
    DWORD dwExceptProcessId;
    std::vector<HWND> windows;
};

BOOL CALLBACK FindEditorProc(HWND hWnd, LPARAM lParam)
{
    auto* pSearch = reinterpret_cast<EditorSearch*>(lParam);
    DWORD dwProcessId = 0;
    ::GetWindowThreadProcessId(hWnd, &dwProcessId);
    if (ClassNameOf(hWnd) == kszEditorClass && ::IsWindowVisible(hWnd) && dwProcessId != pSearch->dwExceptProcessId)
        pSearch->windows.push_back(hWnd);
    return TRUE;
}

} // namespace

std::vector<HWND> EditorWindows(DWORD dwExceptProcessId)
{
    EditorSearch search = {dwExceptProcessId, {}};
    ::EnumWindows(FindEditorProc, reinterpret_cast<LPARAM>(&search));
    return search.windows;
}

namespace
{

// A message to the editor's list that an editor gone still never holds up;
// LB_ERR when it did not answer in time.
LRESULT AskList(HWND hWndList, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    DWORD_PTR dwResult = 0;
    if (::SendMessageTimeoutW(hWndList, uMsg, wParam, lParam, SMTO_ABORTIFHUNG, 1000, &dwResult) == 0)
        return LB_ERR;
    return static_cast<LRESULT>(dwResult);
}

} // namespace

std::vector<std::wstring> EditorLines(HWND hWndEditor, DWORD dwTimeoutMs)
{
    HWND hWndList = ::GetDlgItem(hWndEditor, kGraphListId);
    const DWORD dwStart = ::GetTickCount();
    while (AskList(hWndList, LB_GETCOUNT, 0, 0) <= 0 && ::GetTickCount() - dwStart < dwTimeoutMs)
        ::Sleep(5);
    std::vector<std::wstring> lines;
    const int cLines = static_cast<int>(AskList(hWndList, LB_GETCOUNT, 0, 0));
    for (int i = 0; i < cLines; ++i)
    {
        const LRESULT cch = AskList(hWndList, LB_GETTEXTLEN, i, 0);
        if (cch < 0)
            break;
        std::vector<wchar_t> buffer(static_cast<size_t>(cch) + 1);
        if (AskList(hWndList, LB_GETTEXT, i, reinterpret_cast<LPARAM>(buffer.data())) < 0)
            break;
        lines.push_back(buffer.data());
    }
    return lines;
}

size_t CountStartingWith(const std::vector<std::wstring>& lines, const std::wstring& head)
{
    size_t c = 0;
    for (const auto& line : lines)
        c += line.rfind(head, 0) == 0 ? 1 : 0;
    return c;
}

HANDLE OpenProcessOf(HWND hWnd)
{
    DWORD dwProcessId = 0;
    ::GetWindowThreadProcessId(hWnd, &dwProcessId);
    return ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, dwProcessId);
}

size_t OwnEditorProcesses()
{
    const HANDLE hSnapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (hSnapshot == INVALID_HANDLE_VALUE)
        return 0;
    size_t cEditors = 0;
    PROCESSENTRY32W entry = {sizeof(entry)};
    for (BOOL bMore = ::Process32FirstW(hSnapshot, &entry); bMore; bMore = ::Process32NextW(hSnapshot, &entry))
    {
        if (entry.th32ParentProcessID == ::GetCurrentProcessId() && _wcsicmp(entry.szExeFile, L"graphedt.exe") == 0)
            ++cEditors;
    }
    ::CloseHandle(hSnapshot);
    return cEditors;
}

namespace
{

// Threads that spin until the object goes: a machine with its cores busy.
class CBusyThreads
{
public:
    explicit CBusyThreads(int nThreads)
    {
        for (int i = 0; i < nThreads; ++i)
            m_threads.emplace_back([this] {
                unsigned long long c = 0;
                while (!m_bStop.load(std::memory_order_relaxed))
                    ++c;
                m_cSpins += c;
            });
    }
    ~CBusyThreads()
    {
        m_bStop = true;
        for (auto& thread : m_threads)
            thread.join();
    }

    CBusyThreads(const CBusyThreads&) = delete;
    CBusyThreads& operator=(const CBusyThreads&) = delete;

private:
    std::atomic<bool> m_bStop{false};
    std::atomic<unsigned long long> m_cSpins{0};
    std::vector<std::thread> m_threads;
};

constexpr DWORD kClickTimeoutMs = 15000;
constexpr DWORD kAttachTimeoutMs = 5000;
// An editor asked to quit ends on its own; on a loaded machine that may take
// longer than the console waits for it (2 s) before it lets it go. Editors
// never asked would stay for good, so a grace of a few seconds tells the two.
constexpr DWORD kEditorEndMs = 5000;
constexpr size_t kConnections = 4; // of the default streaming graph

// This process's handles, from the system's table of all handles (Wine's
// GetProcessHandleCount answers 0); 0 when the table cannot be read.
DWORD HandleCount()
{
    using QueryProc = LONG(WINAPI*)(SYSTEM_INFORMATION_CLASS, PVOID, ULONG, PULONG);
    auto pfnQuery = reinterpret_cast<QueryProc>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (pfnQuery == nullptr)
        return 0;
    std::vector<BYTE> buffer(1 << 20);
    for (int nTry = 0; nTry < 8; ++nTry)
    {
        ULONG cbNeeded = 0;
        const LONG lStatus = pfnQuery(SystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()),
                                      &cbNeeded);
        if (lStatus == 0)
            break;
        if (lStatus != static_cast<LONG>(0xC0000004)) // not STATUS_INFO_LENGTH_MISMATCH
            return 0;
        buffer.resize(std::max<size_t>(buffer.size() * 2, cbNeeded + 4096));
    }
    const auto* pInfo = reinterpret_cast<const SYSTEM_HANDLE_INFORMATION*>(buffer.data());
    const size_t cMax = (buffer.size() - offsetof(SYSTEM_HANDLE_INFORMATION, Handle)) / sizeof(SYSTEM_HANDLE_ENTRY);
    DWORD cHandles = 0;
    for (ULONG i = 0; i < pInfo->Count && i < cMax; ++i)
    {
        if (pInfo->Handle[i].OwnerPid == ::GetCurrentProcessId())
            ++cHandles;
    }
    return cHandles;
}

// An editor of this process's other than dwExcept that shows the whole graph;
// its process id, or 0.
DWORD WaitForAttachedEditor(DWORD dwExcept)
{
    const DWORD dwStart = ::GetTickCount();
    do
    {
        for (HWND hWnd : EditorWindows(dwExcept))
        {
            if (CountStartingWith(EditorLines(hWnd, 0), L"Connection: ") == kConnections)
            {
                DWORD dwProcessId = 0;
                ::GetWindowThreadProcessId(hWnd, &dwProcessId);
                return dwProcessId;
            }
        }
        ::Sleep(10);
    } while (::GetTickCount() - dwStart < kAttachTimeoutMs);
    return 0;
}

// Own editors once those on their way out have had a moment to end.
size_t SettledEditorCount(size_t cAtMost)
{
    WaitUntil([&] { return OwnEditorProcesses() <= cAtMost; }, kEditorEndMs);
    return OwnEditorProcesses();
}

// Called on the clicking thread once the dialog's handler of the click returned.
void CALLBACK OnClickReturned(HWND, UINT, ULONG_PTR dwData, LRESULT)
{
    *reinterpret_cast<bool*>(dwData) = true;
}

// One click of "Show graph"; a box it opens is read and closed. The click is
// sent, not posted, so that its return is known: the dialog answers messages
// sent to it while it waits for the editor, so an answer is no sign of it.
ShowClickOutcome ClickShowGraph(CDialogHost& host, ShowLoopFigures& figures, DWORD& dwLastEditor)
{
    ShowClickOutcome outcome;
    ++figures.cClicks;
    // The callback of a click that hangs may still come later: its flag is
    // then left behind, never freed under it.
    auto pbDone = std::make_unique<bool>(false);
    const DWORD dwStart = ::GetTickCount();
    const bool bSent =
        ::SendMessageCallbackW(host.Dialog(), WM_COMMAND, MAKEWPARAM(IDC_SHOW, BN_CLICKED),
                               reinterpret_cast<LPARAM>(host.Item(IDC_SHOW)), OnClickReturned,
                               reinterpret_cast<ULONG_PTR>(pbDone.get())) != FALSE;
    while (bSent && !*pbDone && ::GetTickCount() - dwStart < kClickTimeoutMs)
    {
        if (HWND hWndBox = host.WaitForMessageBox(0))
        {
            ++figures.cBoxes;
            DismissMessageBox(hWndBox);
        }
        // The return comes as a callback while this thread reads its messages.
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            ::DispatchMessageW(&msg);
    }
    const DWORD dwDone = ::GetTickCount();
    if (!*pbDone)
    {
        ++figures.cHangs;
        outcome.bHung = true;
        if (bSent)
            (void)pbDone.release();
        return outcome;
    }
    const DWORD dwEditor = WaitForAttachedEditor(dwLastEditor);
    if (dwEditor != 0)
    {
        ++figures.cAttached;
        dwLastEditor = dwEditor;
        outcome.bAttached = true;
        outcome.dwAttachMs = ::GetTickCount() - dwDone;
    }
    figures.cMostEditors = std::max(figures.cMostEditors, SettledEditorCount(1));
    return outcome;
}

} // namespace

ShowLoopFigures RunShowGraphLoop(int cClicks, int nBusyThreads, const ShowClickObserver& observer)
{
    ShowLoopFigures figures;
    {
        // A console whose thread hangs can never be closed: it is left behind
        // (not destroyed, which would wait for its thread) and the hang told.
        auto pHost = std::make_unique<CDialogHost>();
        CDialogHost& host = *pHost;
        if (!host.Click(IDC_DEFAULT, kClickTimeoutMs))
        {
            ++figures.cHangs;
            (void)pHost.release();
            return figures;
        }
        // One round first: what Wine and COM set up once is part of the start.
        DWORD dwLastEditor = 0;
        ShowLoopFigures warmUp;
        ClickShowGraph(host, warmUp, dwLastEditor);
        if (warmUp.cHangs != 0 || !host.Click(IDC_DEFAULT, kClickTimeoutMs)) // lets the editor go
        {
            ++figures.cHangs;
            (void)pHost.release();
            return figures;
        }
        SettledEditorCount(0);
        figures.cHandlesBefore = HandleCount();
        figures.cThreadsBefore = ThreadCount();
        {
            CBusyThreads busy(nBusyThreads);
            for (int i = 0; i < cClicks && figures.cHangs == 0; ++i)
            {
                const ShowClickOutcome outcome = ClickShowGraph(host, figures, dwLastEditor);
                if (observer)
                    observer(outcome);
            }
        }
        if (figures.cHangs != 0 || !host.Click(IDC_DEFAULT, kClickTimeoutMs))
        {
            figures.cHangs = std::max(figures.cHangs, 1);
            (void)pHost.release();
            return figures;
        }
        SettledEditorCount(0);
        figures.cHandlesAfter = HandleCount();
        figures.cThreadsAfter = ThreadCount();
    }
    figures.cEditorsAfterClose = SettledEditorCount(0);
    return figures;
}
