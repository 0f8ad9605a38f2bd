// Times the RTMP server of the default streaming graph with real players:
// from Play to the first picture a connected ffmpeg decodes, and the
// process's CPU over the 10 s stream with 0, 1 and 8 players connected.
// Prints medians; ffmpeg runs natively beside Wine (see NativeJob.h).
#include "Median.h"
#include "Timing.h"
#include "MainDialog.h"
#include "NativeJob.h"
#include "TestUtil.h"
#include "WindowDriver.h"

#include <cstdio>
#include <memory>
#include <string>
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

constexpr int kLatencyRuns = 7;
constexpr int kCpuRuns = 3;
constexpr wchar_t kszSettingsKey[] = L"Software\\Velk\\RTMP Server";

// The port the server listens on: the run's, or the usual one.
DWORD ServerPort()
{
    DWORD dwPort = 1935;
    DWORD cb = sizeof(dwPort);
    ::RegGetValueW(HKEY_CURRENT_USER, kszSettingsKey, L"Port", RRF_RT_REG_DWORD, nullptr, &dwPort, &cb);
    return dwPort;
}


class CBench
{
public:
    CBench() : m_folder(MakeTempFolder(L"rtmp-bench")) {}
    ~CBench() { RemoveTempFolder(m_folder); }
    CBench(const CBench&) = delete;
    CBench& operator=(const CBench&) = delete;

    // Play to the first bytes the server sends and to the first picture
    // decoded by a player connected while paused. The player starts at once
    // (no probing beyond the stream headers, no frame delay), as one tuned
    // for live streams does: by default ffmpeg analyses a second or two of
    // the stream before it decodes anything.
    bool FirstPictureMs(int nRun, double& dSentMs, double& dDecodedMs)
    {
        if (!Prepare())
            return false;
        const std::string name = "first" + std::to_string(nRun);
        // Written out frame by frame, so that the file shows each as it comes.
        CNativeJob player(m_folder, name,
                          "ffmpeg -nostdin -v error -probesize 32 -analyzeduration 0 -flags low_delay -i '" + Url() +
                              "' -map 0:v -flush_packets 1 -f framecrc " + name + ".crc");
        if (!WaitForServed(1))
            return false;
        const std::wstring crcPath = player.PathOf(name + ".crc");
        const LONGLONG cbBefore = Statistics().cbSent;
        const CStopwatch watch;
        host.Click(IDC_PLAY);
        dSentMs = 0;
        const bool bDecoded = WaitUntil(
            [&] {
                if (dSentMs == 0 && Statistics().cbSent > cbBefore)
                    dSentMs = watch.Milliseconds();
                return HasFrameLine(ReadWholeFile(crcPath));
            },
            5000);
        dDecodedMs = watch.Milliseconds();
        return bDecoded && Finish();
    }

    // The process's CPU over the whole stream with cPlayers players.
    bool StreamCpuMs(int cPlayers, double& dMs)
    {
        if (!Prepare())
            return false;
        std::vector<std::unique_ptr<CNativeJob>> players;
        for (int i = 0; i < cPlayers; ++i)
        {
            players.push_back(std::make_unique<CNativeJob>(
                m_folder, "cpu" + std::to_string(i), "ffmpeg -nostdin -v error -i '" + Url() + "' -f null -"));
        }
        if (!WaitForServed(cPlayers))
            return false;
        const double dStart = ProcessCpuMs();
        host.Click(IDC_PLAY);
        const bool bEnded = Finish();
        dMs = ProcessCpuMs() - dStart;
        return bEnded;
    }

private:
    std::string Url() const { return "rtmp://127.0.0.1:" + std::to_string(ServerPort()) + "/live/skerry"; }

    bool Prepare() { return host.Click(IDC_DEFAULT) && host.Click(IDC_PAUSE); }

    // The end of the stream, and its box closed.
    bool Finish()
    {
        const HWND hWndBox = host.WaitForMessageBox(20000);
        if (hWndBox == nullptr)
            return false;
        DismissMessageBox(hWndBox);
        return true;
    }

    static bool HasFrameLine(const std::string& crc)
    {
        return crc.find("\n0,") != std::string::npos;
    }

    VelkClientStatistics Statistics()
    {
        VelkClientStatistics stats = {};
        host.OnDialogThread([&] {
            IGraphBuilder* pGraph = CGraphAccess::Manager(CMainDialogAccess::Graph(host.Object()));
            CComPtr<IBaseFilter> spServer;
            CComPtr<IVelkRtmpServerClientStatistics> spStats;
            if (pGraph != nullptr && SUCCEEDED(pGraph->FindFilterByName(VELK_NAME_RTMP_SERVER, &spServer)) &&
                SUCCEEDED(spServer->QueryInterface(IID_IVelkRtmpServerClientStatistics,
                                                   reinterpret_cast<void**>(&spStats))))
                spStats->GetClientStatistics(&stats);
        });
        return stats;
    }

    bool WaitForServed(LONG cServed)
    {
        return WaitUntil([&] { return Statistics().cClientsServed >= cServed; }, 15000);
    }

    const std::wstring m_folder;
    CDialogHost host;
};

} // namespace

int main()
{
    CBench bench;
    std::vector<double> sent;
    std::vector<double> decoded;
    for (int nRun = 0; nRun < kLatencyRuns; ++nRun)
    {
        double dSentMs = 0;
        double dDecodedMs = 0;
        if (!bench.FirstPictureMs(nRun, dSentMs, dDecodedMs))
        {
            std::printf("rtmp: the first picture did not reach ffmpeg\n");
            return 1;
        }
        sent.push_back(dSentMs);
        decoded.push_back(dDecodedMs);
    }
    std::printf("rtmp: Play to the server's first bytes: median %.0f ms; to the first picture decoded by ffmpeg: "
                "median %.0f ms (%d runs; goal under 400 ms, the clock's 200 ms start included)\n",
                Median(sent), Median(decoded), kLatencyRuns);

    double dAlone = 0;
    for (int cPlayers : {0, 1, 8})
    {
        std::vector<double> cpu;
        for (int nRun = 0; nRun < kCpuRuns; ++nRun)
        {
            double dMs = 0;
            if (!bench.StreamCpuMs(cPlayers, dMs))
            {
                std::printf("rtmp: the stream with %d players did not end\n", cPlayers);
                return 1;
            }
            cpu.push_back(dMs);
        }
        const double dMedian = Median(cpu);
        if (cPlayers == 0)
            dAlone = dMedian;
        std::printf("rtmp: process CPU over the 10 s stream with %d players: median %.0f ms", cPlayers, dMedian);
        if (cPlayers > 0)
            std::printf(", %.1f ms a player", (dMedian - dAlone) / cPlayers);
        std::printf("\n");
    }
    return 0;
}
