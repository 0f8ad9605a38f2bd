// Times "Show graph" through the real console with the installed graph
// editor: from the click to an editor that shows the console's graph, how
// often that works, and how long closing the console takes with an editor
// attached. Prints medians. Then sweeps the load: which of the console's
// waits gives way first as busy threads pile up, and how long each took.
#include "Median.h"
#include "Diagnostics.h"
#include "EditorDriver.h"
#include "Helpers.h"
#include "MainDialog.h"
#include "WindowDriver.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace
{

constexpr int kShows = 20;
constexpr int kLoadClicks = 60;
constexpr int kBusyThreads = 2;
constexpr int kSweepClicks = 20;
constexpr int kSweepBusyThreads[] = {2, 4, 6, 8, 12};
constexpr int kGoalBusyThreads = 6; // the load the console must take: 19 of 20 attach
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

// ---------------------------------------------------------------------------
// The load sweep: which wait of "Show graph" gives way first as the load grows,
// and how long each wait took when it did not, read from the console's traces.

// The phases of one click, in the order they run.
enum Phase : size_t
{
    kMainWindow,    // CGraphEdit::kInputIdleMs
    kVisible,       // CGraphEdit::kVisibleWaitMs
    kConnectDialog, // CGraphEdit::kDialogWaitMs
    kGraphEntry,    // CGraphEdit::kMessageWaitMs for each message
    kEditorAttach,  // the editor binds the graph and shows it: no wait of the console's
    kDialogHeld,    // the whole of ShowGraph, while the dialog's thread answers no input
    kPhaseCount
};

struct PhaseTrace
{
    const char* pszName;
    const wchar_t* pszDone; // the head of the line that tells how long it took
};

const PhaseTrace kPhases[kPhaseCount] = {
    {"main window", L"CGraphEdit::WaitForEditorWindow(): main window after "},
    {"visible", L"CGraphEdit::WaitWhileHidden(): visible after "},
    {"connect dialog", L"CGraphEdit::SelectRemoteGraph(): connect dialog after pass "},
    {"graph entry", L"CGraphEdit::SelectGraphEntry(): entry "},
    {"editor attach", nullptr},
    {"dialog held", L"CGraphEdit::ShowGraph(): hr="},
};

// The "###Err###" lines, and the phase each names.
const struct
{
    const wchar_t* pszHead;
    Phase ePhase;
} kFailures[] = {
    {L"###Err### CGraphEdit::LoadGraphEdit()", kMainWindow},
    {L"###Err### CGraphEdit::WaitWhileHidden()", kVisible},
    {L"###Err### CGraphEdit::FindMainWindow()", kMainWindow},
    {L"###Err### CGraphEdit::SelectRemoteGraph(): connect dialog", kConnectDialog},
    {L"###Err### CGraphEdit::SelectRemoteGraph(): graph entry", kGraphEntry},
    {L"###Err### CGraphEdit::SelectGraphEntry()", kGraphEntry},
};

constexpr wchar_t kszStarted[] = L"CGraphEdit::LoadGraphEdit(): started ";

struct ClickRecord
{
    std::array<long, kPhaseCount> rgMs; // -1: not reached, or gave way
    int nPass = 0;                      // the pass that found the connect dialog
    const char* pszFailure = nullptr;   // what gave way; null when attached
    std::wstring failureTrace;          // the "###Err###" line that named it
};

bool StartsWith(const std::wstring& text, const wchar_t* pszHead)
{
    return text.compare(0, std::wcslen(pszHead), pszHead) == 0;
}

// The number right before the last " ms" of a line; -1 when there is none.
long TraceMs(const std::wstring& text)
{
    const size_t nUnit = text.rfind(L" ms");
    if (nUnit == std::wstring::npos)
        return -1;
    size_t nDigits = nUnit;
    while (nDigits > 0 && std::iswdigit(text[nDigits - 1]))
        --nDigits;
    return nDigits < nUnit ? std::wcstol(text.c_str() + nDigits, nullptr, 10) : -1;
}

// What one click did, from its trace lines (those of its editor's start on)
// and what the loop saw.
ClickRecord ReadClick(const std::vector<CDiagnosticsRecorder::Trace>& traces, const ShowClickOutcome& outcome)
{
    ClickRecord click;
    click.rgMs.fill(-1);
    size_t iStart = traces.size();
    for (size_t i = 0; i < traces.size(); ++i)
        iStart = StartsWith(traces[i].text, kszStarted) ? i : iStart;
    const char* pszGaveWay = nullptr;
    for (size_t i = iStart; i < traces.size(); ++i)
    {
        const std::wstring& text = traces[i].text;
        for (size_t p = 0; p < kPhaseCount; ++p)
        {
            if (kPhases[p].pszDone != nullptr && StartsWith(text, kPhases[p].pszDone))
                click.rgMs[p] = TraceMs(text);
        }
        if (StartsWith(text, kPhases[kConnectDialog].pszDone))
            click.nPass = std::wcstol(text.c_str() + std::wcslen(kPhases[kConnectDialog].pszDone), nullptr, 10);
        for (const auto& failure : kFailures)
        {
            if (pszGaveWay == nullptr && StartsWith(text, failure.pszHead))
            {
                pszGaveWay = kPhases[failure.ePhase].pszName;
                click.failureTrace = text.substr(0, text.find_last_not_of(L"\n") + 1);
            }
        }
    }
    if (outcome.bAttached)
        click.rgMs[kEditorAttach] = static_cast<long>(outcome.dwAttachMs);
    else if (outcome.bHung)
        click.pszFailure = "hung";
    else if (pszGaveWay != nullptr)
        click.pszFailure = pszGaveWay;
    else if (iStart == traces.size())
        click.pszFailure = "publish or start";
    else // every wait of the console's passed: the editor did not bind or show the graph
        click.pszFailure = kPhases[kEditorAttach].pszName;
    return click;
}

// The machine's load averages over 1, 5 and 15 minutes, through Wine's drive
// Z:; "?" where the file cannot be read.
std::string LoadAverage()
{
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(_wfopen(L"Z:\\proc\\loadavg", L"r"), &std::fclose);
    char sz[64] = {};
    if (!file || std::fgets(sz, static_cast<int>(sizeof(sz)), file.get()) == nullptr)
        return "?";
    std::string text(sz);
    // The first three fields only.
    size_t nEnd = 0;
    for (int nField = 0; nField < 3 && nEnd != std::string::npos; ++nField)
        nEnd = text.find(' ', nEnd + (nField > 0 ? 1 : 0));
    return text.substr(0, nEnd);
}

struct LoadRun
{
    int nBusyThreads = 0;
    std::string loadBefore;
    std::string loadAfter;
    ShowLoopFigures figures;
    std::vector<ClickRecord> clicks;
};

LoadRun RunLoad(int nBusyThreads, int cClicks)
{
    LoadRun run;
    run.nBusyThreads = nBusyThreads;
    run.loadBefore = LoadAverage();
    CDiagnosticsRecorder diag;
    run.figures = RunShowGraphLoop(cClicks, nBusyThreads, [&](const ShowClickOutcome& outcome) {
        run.clicks.push_back(ReadClick(diag.Traces(), outcome));
        diag.Clear();
    });
    run.loadAfter = LoadAverage();
    return run;
}

// Nearest rank: the smallest value that at least p percent of them do not exceed.
double Percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const size_t nRank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())));
    return values[std::min(values.size(), std::max<size_t>(nRank, 1)) - 1];
}

struct Spread
{
    size_t n = 0;
    double dMedian = 0.0, dP95 = 0.0, dP99 = 0.0, dMax = 0.0;
};

Spread SpreadOf(const std::vector<double>& values)
{
    Spread spread;
    spread.n = values.size();
    spread.dMedian = Median(values);
    spread.dP95 = Percentile(values, 95);
    spread.dP99 = Percentile(values, 99);
    spread.dMax = Percentile(values, 100);
    return spread;
}

// A phase's times over the clicks where it succeeded.
std::vector<double> PhaseTimes(const LoadRun& run, size_t nPhase)
{
    std::vector<double> times;
    for (const auto& click : run.clicks)
    {
        if (click.rgMs[nPhase] >= 0)
            times.push_back(static_cast<double>(click.rgMs[nPhase]));
    }
    return times;
}

int GaveWay(const LoadRun& run, const char* pszPhase)
{
    return static_cast<int>(std::count_if(run.clicks.begin(), run.clicks.end(), [&](const ClickRecord& click) {
        return click.pszFailure != nullptr && std::string(click.pszFailure) == pszPhase;
    }));
}

std::string BoundText(size_t nPhase)
{
    char sz[64];
    switch (nPhase)
    {
    case kMainWindow:
        std::snprintf(sz, sizeof(sz), "%lu ms", static_cast<unsigned long>(CGraphEdit::kInputIdleMs));
        break;
    case kVisible:
        std::snprintf(sz, sizeof(sz), "%lu ms", static_cast<unsigned long>(CGraphEdit::kVisibleWaitMs));
        break;
    case kConnectDialog:
        std::snprintf(sz, sizeof(sz), "%lu ms", static_cast<unsigned long>(CGraphEdit::kDialogWaitMs));
        break;
    case kGraphEntry:
        std::snprintf(sz, sizeof(sz), "%u ms/msg", CGraphEdit::kMessageWaitMs);
        break;
    default:
        std::snprintf(sz, sizeof(sz), "-");
        break;
    }
    return sz;
}

void PrintLoadRun(const LoadRun& run)
{
    std::printf("\n%d busy threads, load average %s -> %s: %d of %d attached, %d boxes, %d hung\n",
                run.nBusyThreads, run.loadBefore.c_str(), run.loadAfter.c_str(), run.figures.cAttached,
                run.figures.cClicks, run.figures.cBoxes, run.figures.cHangs);
    int nPass = 0;
    for (const auto& click : run.clicks)
    {
        nPass = std::max(nPass, click.nPass);
        if (click.pszFailure != nullptr)
            std::printf("  click %d gave way at: %s  %ls\n", static_cast<int>(&click - run.clicks.data()) + 1,
                        click.pszFailure, click.failureTrace.c_str());
    }
    std::printf("  %-16s %-11s %4s %8s %8s %8s %8s  (ms, where it succeeded)\n", "phase", "bound", "n", "median",
                "p95", "p99", "max");
    for (size_t p = 0; p < kPhaseCount; ++p)
    {
        const Spread spread = SpreadOf(PhaseTimes(run, p));
        std::printf("  %-16s %-11s %4zu %8.0f %8.0f %8.0f %8.0f\n", kPhases[p].pszName, BoundText(p).c_str(), spread.n,
                    spread.dMedian, spread.dP95, spread.dP99, spread.dMax);
    }
    std::printf("  connect dialog found at pass %d at the latest\n", nPass);
}

// For each wait: how long a bound would have to be to cover the 95th and 99th
// percentiles and every click, at the worst load it was seen at.
void PrintBounds(const std::vector<LoadRun>& runs)
{
    std::printf("\nWhat each bound would have to be (ms; worst over the loads)\n");
    for (size_t p = 0; p < kPhaseCount; ++p)
    {
        Spread worst;
        int nAtMax = 0;
        int cGaveWay = 0;
        for (const auto& run : runs)
        {
            const Spread spread = SpreadOf(PhaseTimes(run, p));
            worst.dP95 = std::max(worst.dP95, spread.dP95);
            worst.dP99 = std::max(worst.dP99, spread.dP99);
            if (spread.n > 0 && spread.dMax >= worst.dMax)
            {
                worst.dMax = spread.dMax;
                nAtMax = run.nBusyThreads;
            }
            cGaveWay += GaveWay(run, kPhases[p].pszName);
        }
        std::printf("  %-16s bound %-11s p95 %6.0f  p99 %6.0f  max %6.0f at %2d busy threads; gave way %d times\n",
                    kPhases[p].pszName, BoundText(p).c_str(), worst.dP95, worst.dP99, worst.dMax, nAtMax, cGaveWay);
    }
    std::printf("  (dialog held: the whole of ShowGraph, the old editor's end included; a longer bound adds\n"
                "   its extra time to this for every click that waits it out)\n");
}

// "Show graph" at growing loads; 0 when the goal load, if swept, met its goal.
int RunSweep(int cClicks, const std::vector<int>& busyThreads)
{
    std::printf("Load sweep: \"Show graph\" %d times at each load\n", cClicks);
    std::fflush(stdout);
    std::vector<LoadRun> runs;
    bool bGoalSwept = false;
    bool bGoalMet = false;
    for (int nBusyThreads : busyThreads)
    {
        runs.push_back(RunLoad(nBusyThreads, cClicks));
        PrintLoadRun(runs.back());
        std::fflush(stdout);
        const ShowLoopFigures& f = runs.back().figures;
        bGoalSwept = bGoalSwept || nBusyThreads == kGoalBusyThreads;
        if (nBusyThreads == kGoalBusyThreads)
            bGoalMet = f.cClicks == cClicks && f.cAttached * 20 >= f.cClicks * 19;
    }
    PrintBounds(runs);
    std::printf("%-40s %-20s goal 19 of 20  %s\n", "attached at the goal load", "",
                !bGoalSwept ? "not swept" : bGoalMet ? "met" : "MISSED");
    return !bGoalSwept || bGoalMet ? 0 : 1;
}

} // namespace

// With "sweep [clicks [busy threads...]]" runs the load sweep only, at the
// loads given or at all of kSweepBusyThreads.
int main(int argc, char** argv)
{
    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (argc > 1 && std::string(argv[1]) == "sweep")
    {
        const int cClicks = argc > 2 ? std::max(1, std::atoi(argv[2])) : kSweepClicks;
        std::vector<int> busyThreads(std::begin(kSweepBusyThreads), std::end(kSweepBusyThreads));
        if (argc > 3)
            busyThreads.clear();
        for (int i = 3; i < argc; ++i)
            busyThreads.push_back(std::max(0, std::atoi(argv[i])));
        const int nResult = RunSweep(cClicks, busyThreads);
        ::CoUninitialize();
        return nResult;
    }
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

    // Which wait gives way first as the load grows beyond the cores.
    std::printf("\n");
    RunSweep(kSweepClicks, std::vector<int>(std::begin(kSweepBusyThreads), std::end(kSweepBusyThreads)));
    ::CoUninitialize();
    return cAttached == kShows ? 0 : 1;
}
