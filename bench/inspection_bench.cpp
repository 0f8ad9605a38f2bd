// Times "Show graph" through the real console with the installed graph
// editor: from the click to an editor that shows the console's graph, how
// often that works, and how long closing the console takes with an editor
// attached. Prints medians.
#include "Median.h"
#include "EditorDriver.h"
#include "MainDialog.h"
#include "WindowDriver.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace
{

constexpr int kShows = 20;
constexpr int kLoadClicks = 60;
constexpr int kBusyThreads = 2;
constexpr int kHeavyBusyThreads = 6;
constexpr int kCloses = 5;
constexpr DWORD kAttachTimeoutMs = 5000;
constexpr size_t kConnections = 4; // of the default streaming graph

double NowMs()
{
    LARGE_INTEGER frequency, now;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// An editor other than the previous one that shows the whole default graph.
bool WaitForAttachedEditor(DWORD dwPreviousProcessId, DWORD& dwProcessId)
{
    const DWORD dwStart = ::GetTickCount();
    while (::GetTickCount() - dwStart < kAttachTimeoutMs)
    {
        for (HWND hWnd : EditorWindows(dwPreviousProcessId))
        {
            if (CountStartingWith(EditorLines(hWnd, 0), L"Connection: ") == kConnections)
            {
                ::GetWindowThreadProcessId(hWnd, &dwProcessId);
                return true;
            }
        }
        ::Sleep(1);
    }
    return false;
}

// "Show graph" again and again on one console: click to attached editor.
void MeasureShows(std::vector<double>& times, int& cAttached)
{
    CDialogHost host;
    if (!host.Click(IDC_DEFAULT))
        return;
    DWORD dwPrevious = 0;
    for (int i = 0; i < kShows; ++i)
    {
        const double dStart = NowMs();
        DWORD dwProcessId = 0;
        if (host.Click(IDC_SHOW, 10000) && WaitForAttachedEditor(dwPrevious, dwProcessId))
        {
            times.push_back(NowMs() - dStart);
            ++cAttached;
            dwPrevious = dwProcessId;
        }
    }
}

// Closing a console whose editor is attached: until the dialog has gone, and
// until the editor's process has ended.
void MeasureCloses(std::vector<double>& dialogs, std::vector<double>& editors)
{
    for (int i = 0; i < kCloses; ++i)
    {
        CDialogHost host;
        DWORD dwProcessId = 0;
        if (!host.Click(IDC_DEFAULT) || !host.Click(IDC_SHOW, 10000) || !WaitForAttachedEditor(0, dwProcessId))
            continue;
        HANDLE hEditor = ::OpenProcess(SYNCHRONIZE, FALSE, dwProcessId);
        const double dStart = NowMs();
        host.CloseWith(WM_COMMAND, IDCANCEL, 0);
        dialogs.push_back(NowMs() - dStart);
        if (hEditor != nullptr && ::WaitForSingleObject(hEditor, 5000) == WAIT_OBJECT_0)
            editors.push_back(NowMs() - dStart);
        if (hEditor != nullptr)
            ::CloseHandle(hEditor);
    }
}

} // namespace

int main()
{
    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::vector<double> shows, dialogs, editors;
    int cAttached = 0;
    MeasureShows(shows, cAttached);
    MeasureCloses(dialogs, editors);

    std::printf("Skerry inspection benchmark: medians of %d shows and %d closes\n", kShows, kCloses);
    std::printf("%-40s %10.1f ms   goal < 700 ms  %s\n", "Show graph click to attached editor", Median(shows),
                !shows.empty() && Median(shows) < 700.0 ? "met" : "MISSED");
    std::printf("%-40s %7d of %d   goal 20 of 20  %s\n", "editors attached", cAttached, kShows,
                cAttached == kShows ? "met" : "MISSED");
    std::printf("%-40s %10.1f ms\n", "close with an editor attached: dialog", Median(dialogs));
    std::printf("%-40s %10.1f ms   (%zu of %d ended)\n", "close with an editor attached: editor", Median(editors),
                editors.size(), kCloses);

    std::fflush(stdout);

    // A hostile tester's loop: Show graph again and again, both cores busy.
    const ShowLoopFigures load = RunShowGraphLoop(kLoadClicks, kBusyThreads);
    const bool bAttachMet = load.cAttached * 20 >= load.cClicks * 19 && load.cClicks == kLoadClicks;
    std::printf("Show graph %d times with %d busy threads\n", kLoadClicks, kBusyThreads);
    std::printf("%-40s %7d of %d   goal 19 of 20  %s\n", "editors attached", load.cAttached, load.cClicks,
                bAttachMet ? "met" : "MISSED");
    std::printf("%-40s %10d      goal 0        %s\n", "clicks that hung", load.cHangs,
                load.cHangs == 0 ? "met" : "MISSED");
    std::printf("%-40s %10zu      goal <= 1     %s\n", "most own editors after a click", load.cMostEditors,
                load.cMostEditors <= 1 ? "met" : "MISSED");
    std::printf("%-40s %10zu      goal 0        %s\n", "own editors after close", load.cEditorsAfterClose,
                load.cEditorsAfterClose == 0 ? "met" : "MISSED");
    std::printf("%-40s %5lu -> %-5lu goal +10      %s\n", "handles before and after",
                static_cast<unsigned long>(load.cHandlesBefore), static_cast<unsigned long>(load.cHandlesAfter),
                load.cHandlesAfter <= load.cHandlesBefore + 10 ? "met" : "MISSED");
    std::printf("%-40s %5d -> %-5d goal +2       %s\n", "threads before and after", load.cThreadsBefore,
                load.cThreadsAfter, load.cThreadsAfter <= load.cThreadsBefore + 2 ? "met" : "MISSED");

    std::fflush(stdout);

    // How the attach rate falls as the load grows beyond the cores.
    const ShowLoopFigures heavy = RunShowGraphLoop(kLoadClicks / 3, kHeavyBusyThreads);
    std::printf("%-40s %7d of %d   (%d boxes, %d hung, %d busy threads)\n", "editors attached under heavy load",
                heavy.cAttached, heavy.cClicks, heavy.cBoxes, heavy.cHangs, kHeavyBusyThreads);
    ::CoUninitialize();
    return cAttached == kShows ? 0 : 1;
}
