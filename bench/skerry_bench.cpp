// Times the default streaming graph through the real console: building it,
// the first sample after Play, the end of the stream against its duration,
// samples delivered, the dialog thread's CPU while playing and the process's
// memory over many build-play-stop cycles. Prints medians.
#include "Median.h"
#include "Timing.h"
#include "MainDialog.h"
#include "WindowDriver.h"

#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

struct CMainDialogAccess
{
    static CGraph& Graph(CMainDialog& dialog) { return dialog.m_Graph; }
};

struct CGraphAccess
{
    static IGraphBuilder* Manager(CGraph& graph) { return graph.m_spGraph; }
};

namespace
{

constexpr int kWarmUpCycles = 5;
constexpr int kMeasuredCycles = 50;
constexpr int kPlayRuns = 5;
constexpr double kStreamSeconds = 10.0; // the generator's default stream

// Waits, polling each millisecond, for a condition; false after dwTimeoutMs.
bool Poll(const std::function<bool()>& condition, DWORD dwTimeoutMs)
{
    const DWORD dwStart = ::GetTickCount();
    while (!condition())
    {
        if (::GetTickCount() - dwStart > dwTimeoutMs)
            return false;
        ::Sleep(1);
    }
    return true;
}

// The process's committed private memory. Wine leaves PrivateUsage at 0 and
// fills PagefileUsage, which is the same commit charge on Windows.
SIZE_T CommittedBytes()
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    if (!::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters)))
        return 0;
    return counters.PagefileUsage;
}

// The console with its graph's two ends at hand.
class CBench
{
public:
    bool Build(double& dMs)
    {
        const CStopwatch watch;
        if (!m_host.Click(IDC_DEFAULT))
            return false;
        dMs = watch.Milliseconds();
        m_spServer.Release();
        m_spGenerator.Release();
        IGraphBuilder* pGraph = CGraphAccess::Manager(CMainDialogAccess::Graph(m_host.Object()));
        return pGraph != nullptr && pGraph->FindFilterByName(VELK_NAME_RTMP_SERVER, &m_spServer) == S_OK &&
               pGraph->FindFilterByName(VELK_NAME_VIDEO_GENERATOR, &m_spGenerator) == S_OK &&
               m_spServer.QueryInterface(&m_spStats) == S_OK;
    }

    // Play, then the time until the server has a sample on any input (it
    // arrives in the pause that precedes running) and until it presents one.
    bool PlayToFirstSample(double& dReceivedMs, double& dPresentedMs)
    {
        const CStopwatch watch;
        if (!m_host.Click(IDC_PLAY))
            return false;
        if (!Poll([&] { return Received(0) + Received(1) > 0; }, 5000))
            return false;
        dReceivedMs = watch.Milliseconds();
        if (!Poll([&] { return Presented(0) + Presented(1) > 0; }, 5000))
            return false;
        dPresentedMs = watch.Milliseconds();
        return true;
    }

    // Plays the stream to "The end": how long after the duration, counted
    // from the first sample presented, the box came, and the dialog
    // thread's CPU share while the stream ran.
    bool PlayToTheEnd(double& dLateMs, double& dCpuPercent)
    {
        double dReceivedMs = 0.0, dPresentedMs = 0.0;
        if (!PlayToFirstSample(dReceivedMs, dPresentedMs))
            return false;
        const CStopwatch sinceFirst;
        const HANDLE hThread = ::OpenThread(THREAD_QUERY_INFORMATION, FALSE, m_host.ThreadId());
        const double dCpuBefore = ThreadCpuMs(hThread);
        ::Sleep(static_cast<DWORD>(kStreamSeconds * 1000.0 * 0.75));
        dCpuPercent = 100.0 * (ThreadCpuMs(hThread) - dCpuBefore) / sinceFirst.Milliseconds();
        ::CloseHandle(hThread);

        HWND hWndBox = nullptr;
        if (!Poll([&] { return (hWndBox = WaitForThreadDialog(m_host.ThreadId(), m_host.Dialog(), 0)) != nullptr; },
                  10000))
            return false;
        dLateMs = sinceFirst.Milliseconds() - kStreamSeconds * 1000.0;
        DismissMessageBox(hWndBox);
        return true;
    }

    bool Stop() { return m_host.Click(IDC_STOP); }

    LONGLONG Presented(LONG nInput) { return Statistics(nInput).cSamples; }
    LONGLONG Received(LONG nInput) { return Statistics(nInput).cReceived; }

    VelkInputStatistics Statistics(LONG nInput)
    {
        VelkInputStatistics stats = {};
        m_spStats->GetInputStatistics(nInput, &stats);
        return stats;
    }

    LONGLONG Delivered(LONG eStream)
    {
        CComPtr<IVelkGeneratorStatistics> spStats;
        LONGLONG c = -1;
        if (m_spGenerator.QueryInterface(&spStats) == S_OK)
            spStats->GetDeliveredSamples(eStream, &c);
        return c;
    }

private:
    CDialogHost m_host;
    CComPtr<IBaseFilter> m_spServer;
    CComPtr<IBaseFilter> m_spGenerator;
    CComPtr<IVelkRtmpServerStatistics> m_spStats;
};

void Report(const char* pszWhat, double dValue, const char* pszUnit, const char* pszGoal, bool bMet)
{
    std::printf("%-40s %10.1f %-3s  goal %-10s %s\n", pszWhat, dValue, pszUnit, pszGoal, bMet ? "met" : "MISSED");
}

void Note(const char* pszWhat, double dValue, const char* pszUnit, const char* pszNote)
{
    std::printf("%-40s %10.1f %-3s  %s\n", pszWhat, dValue, pszUnit, pszNote);
}

// 50 build-play-stop cycles after a warm-up: build times, first-sample
// latencies and the memory they leave behind.
bool MeasureCycles(CBench& bench, std::vector<double>& builds, std::vector<double>& received,
                   std::vector<double>& presented, double& dGrowthKb)
{
    SIZE_T cbBefore = 0;
    for (int i = 0; i < kWarmUpCycles + kMeasuredCycles; ++i)
    {
        if (i == kWarmUpCycles)
            cbBefore = CommittedBytes();
        double dBuild = 0.0, dReceived = 0.0, dPresented = 0.0;
        if (!bench.Build(dBuild) || !bench.PlayToFirstSample(dReceived, dPresented) || !bench.Stop())
            return false;
        if (i >= kWarmUpCycles)
        {
            builds.push_back(dBuild);
            received.push_back(dReceived);
            presented.push_back(dPresented);
        }
    }
    dGrowthKb = (static_cast<double>(CommittedBytes()) - static_cast<double>(cbBefore)) / 1024.0;
    return true;
}

// Whole plays of the default stream: lateness, delivery and dialog-thread CPU.
bool MeasurePlays(CBench& bench, std::vector<double>& lates, std::vector<double>& cpus, double& dDeliveredPercent)
{
    double dWorst = 100.0;
    for (int i = 0; i < kPlayRuns; ++i)
    {
        double dBuild = 0.0, dLate = 0.0, dCpu = 0.0;
        if (!bench.Build(dBuild) || !bench.PlayToTheEnd(dLate, dCpu))
            return false;
        lates.push_back(dLate);
        cpus.push_back(dCpu);
        const double dProduced = static_cast<double>(bench.Delivered(VelkStreamVideo) + bench.Delivered(VelkStreamAudio));
        const double dPresented = static_cast<double>(bench.Presented(0) + bench.Presented(1));
        dWorst = std::min(dWorst, dProduced > 0 ? 100.0 * dPresented / dProduced : 0.0);
    }
    dDeliveredPercent = dWorst;
    return true;
}

} // namespace

int main()
{
    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int nExit = 0;
    {
        CBench bench;
        std::vector<double> builds, received, presented, lates, cpus;
        double dGrowthKb = 0.0, dDelivered = 0.0;
        if (!MeasureCycles(bench, builds, received, presented, dGrowthKb) ||
            !MeasurePlays(bench, lates, cpus, dDelivered))
        {
            std::printf("the console did not stream as expected\n");
            nExit = 1;
        }
        else
        {
            std::printf("Skerry streaming benchmark, %d-bit console: medians of %d cycles and %d plays of %.0f s\n",
                        static_cast<int>(sizeof(void*) * 8), kMeasuredCycles, kPlayRuns, kStreamSeconds);
            Report("default-graph build", Median(builds), "ms", "< 50 ms", Median(builds) < 50.0);
            Report("Play to first sample at the server", Median(received), "ms", "< 100 ms", Median(received) < 100.0);
            Note("Play to first sample presented", Median(presented), "ms", "(the stream clock starts 200 ms after Run)");
            Report("end of stream after the duration", Median(lates), "ms", "< 150 ms", Median(lates) < 150.0);
            Report("samples delivered of produced (worst)", dDelivered, "%", "100 %", dDelivered >= 100.0);
            Report("dialog thread CPU while playing", Median(cpus), "%", "< 2 %", Median(cpus) < 2.0);
            Report("memory growth over 50 cycles", dGrowthKb, "KB", "< 1024 KB", dGrowthKb < 1024.0);
        }
    }
    ::CoUninitialize();
    return nExit;
}
