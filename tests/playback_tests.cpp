// The main dialog with a graph: building, the title, playback commands, the
// progress display, the track bars and graph notifications. A fake graph
// manager and fake filters, registered for the dialog's apartment, stand in
// for the real ones and record what the dialog asked of them.
#include <gtest/gtest.h>

#include "FakeComponents.h"
#include "Diagnostics.h"
#include "MainDialog.h"
#include "TestUtil.h"
#include "WindowDriver.h"

#include <commctrl.h>

#include <memory>
#include <string>
#include <vector>

struct CMainDialogAccess
{
    static bool IsGraphEmpty(CMainDialog& dialog) { return dialog.m_Graph.IsEmpty(); }
};

namespace
{

constexpr LONGLONG kDuration = 100000000; // 10 s

// The graph manager and the maker's four filters, created by class id.
struct FakeComponents : FakeVelkFilters
{
    FakeComponents()
    {
        spGraph->SetDurationAnswer(S_OK, kDuration);
        spGraph->SetCurrentPositionAnswer(S_OK, 12345678);
    }

    std::shared_ptr<void> Register() const { return FakeVelkFilters::Register(spGraph->Identity()); }

    CComPtr<CFakeGraphManager> spGraph = MakeFake<CFakeGraphManager>();
};

// A graph file with an "ActiveMovieGraph" stream, whose content only the
// graph manager reads.
std::wstring MakeGraphFile(const std::wstring& dir)
{
    const std::wstring path = dir + L"\\graph.grf";
    CComPtr<IStorage> spStorage;
    ::StgCreateDocfile(path.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, &spStorage);
    CComPtr<IStream> spStream;
    if (spStorage)
        spStorage->CreateStream(L"ActiveMovieGraph", STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0,
                                &spStream);
    if (spStream)
        spStream->Write("0002\r\nFILTERS\r\nEND", 18, nullptr);
    return path;
}

class PlaybackTest : public ::testing::Test
{
protected:
    PlaybackTest() : host([this] { return fakes.Register(); }) {}

    // Runs a command that must end in one message box; returns what it showed.
    MessageBoxView ClickForMessageBox(int nID)
    {
        MessageBoxView view = host.ClickForMessageBox(nID);
        EXPECT_NE(nullptr, view.hWnd) << "no message box for command " << nID;
        return view;
    }

    void BuildDefaultGraph()
    {
        ASSERT_TRUE(host.Click(IDC_DEFAULT)) << "a message box is open";
        ASSERT_EQ(4u, fakes.spGraph->FilterCount());
    }

    void Scroll(int nID, WORD wCode, WORD wThumb = 0)
    {
        host.Send(WM_HSCROLL, MAKEWPARAM(wCode, wThumb), reinterpret_cast<LPARAM>(host.Item(nID)));
    }

    LRESULT SelectionEnd() { return ::SendMessageW(host.Item(IDC_POSITION), TBM_GETSELEND, 0, 0); }

    bool WaitForProgressText(const std::wstring& text)
    {
        for (int i = 0; i < 100 && host.ItemText(IDC_PROGRESS) != text; ++i)
            ::Sleep(20);
        return host.ItemText(IDC_PROGRESS) == text;
    }

    CDiagnosticsRecorder diag;
    FakeComponents fakes;
    CDialogHost host;
};

} // namespace

TEST_F(PlaybackTest, DefaultGraphReadiesPlaybackAndTheTimerFollowsTheStream)
{
    BuildDefaultGraph();
    EXPECT_EQ(L"Skerry", host.Title()) << "the default graph names no server build";
    for (int nID : {IDC_PLAY, IDC_PAUSE, IDC_STOP, IDC_POSITION})
        EXPECT_TRUE(host.IsEnabled(nID)) << "item " << nID;

    EXPECT_EQ(L"Video Generator", fakes.spGenerator->NameInGraph());
    EXPECT_EQ(L"H264 Encoder", fakes.spH264Enc->NameInGraph());
    EXPECT_EQ(L"AAC Encoder", fakes.spAACEnc->NameInGraph());
    EXPECT_EQ(L"RTMP Server", fakes.spServer->NameInGraph());
    EXPECT_EQ(1, fakes.spGenerator->LastMode());

    const auto notify = fakes.spGraph->NotifyWindowCalls();
    ASSERT_EQ(1u, notify.size());
    EXPECT_EQ(reinterpret_cast<OAHWND>(host.Dialog()), notify[0].hwnd);
    EXPECT_EQ(static_cast<long>(WM_GRAPHNOTIFY), notify[0].lMsg);

    // Refreshed at once, then by every tick of the timer.
    EXPECT_EQ(L"1.234 from 10.000", host.ItemText(IDC_PROGRESS));
    EXPECT_EQ(123, SelectionEnd());
    fakes.spGraph->SetCurrentPositionAnswer(S_OK, kDuration / 2);
    EXPECT_TRUE(WaitForProgressText(L"5.000 from 10.000")) << "the timer does not refresh";
    EXPECT_EQ(500, SelectionEnd());

    // A failing query empties the text; the bar keeps its band.
    fakes.spGraph->SetCurrentPositionAnswer(E_UNEXPECTED, std::nullopt);
    EXPECT_TRUE(WaitForProgressText(L""));
    EXPECT_EQ(500, SelectionEnd());
}

TEST_F(PlaybackTest, PlaybackCommandsDriveTheGraphAndShowOnlyPlayFailures)
{
    BuildDefaultGraph();
    for (int nID : {IDC_PLAY, IDC_PAUSE, IDC_STOP})
        EXPECT_TRUE(host.Click(nID)) << "command " << nID << " opened a message box";
    EXPECT_EQ((std::vector<std::string>{"Run", "Pause", "Stop"}), fakes.spGraph->ControlCalls());
    EXPECT_TRUE(fakes.spGraph->SetPositionsCalls().empty()) << "Stop does not rewind";

    fakes.spGraph->SetControlResult(VFW_E_NOT_CONNECTED);
    const MessageBoxView box = ClickForMessageBox(IDC_PLAY);
    EXPECT_EQ(0u, box.text.rfind(L"Can't play file\n", 0)) << box.text;
    EXPECT_TRUE(EndsWith(box.text, L"\n" + StatusLine(VFW_E_NOT_CONNECTED)));
    EXPECT_TRUE(box.bIcon);

    diag.Clear();
    EXPECT_TRUE(host.Click(IDC_PAUSE)) << "a failed pause shows no box";
    EXPECT_TRUE(host.Click(IDC_STOP)) << "a failed stop shows no box";
    EXPECT_EQ((std::vector<std::wstring>{L"(((HRESULT)(hr)) >= 0)", L"(((HRESULT)(hr)) >= 0)"}), diag.Reports());
}

TEST_F(PlaybackTest, TrackBarsSeekAndSetTheStopPosition)
{
    BuildDefaultGraph();
    std::vector<CFakeSeeking::Positions> calls;

    Scroll(IDC_POSITION, SB_THUMBPOSITION, 250);
    calls = fakes.spGraph->SetPositionsCalls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(kDuration / 4, calls.back().llCurrent);
    EXPECT_EQ(static_cast<DWORD>(AM_SEEKING_AbsolutePositioning), calls.back().dwCurrentFlags);
    EXPECT_FALSE(calls.back().llStop.has_value());

    // Dragging reads the bar's own position.
    ::SendMessageW(host.Item(IDC_POSITION), TBM_SETPOS, TRUE, 100);
    Scroll(IDC_POSITION, SB_THUMBTRACK, 999);
    calls = fakes.spGraph->SetPositionsCalls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(kDuration / 10, calls.back().llCurrent);

    // The stop bar acts only once its thumb is let go.
    Scroll(IDC_STOP_POSITION, SB_THUMBTRACK, 300);
    calls = fakes.spGraph->SetPositionsCalls();
    EXPECT_EQ(2u, calls.size());
    ::SendMessageW(host.Item(IDC_STOP_POSITION), TBM_SETPOS, TRUE, 600);
    Scroll(IDC_STOP_POSITION, SB_ENDSCROLL);
    calls = fakes.spGraph->SetPositionsCalls();
    ASSERT_EQ(3u, calls.size());
    EXPECT_FALSE(calls.back().llCurrent.has_value());
    EXPECT_EQ(kDuration * 6 / 10, calls.back().llStop);
    EXPECT_EQ(static_cast<DWORD>(AM_SEEKING_AbsolutePositioning), calls.back().dwStopFlags);
}

TEST_F(PlaybackTest, ProgressNeverShowsAPositionPastTheDuration)
{
    BuildDefaultGraph();
    fakes.spGraph->SetCurrentPositionAnswer(S_OK, kDuration + 721000);
    EXPECT_TRUE(WaitForProgressText(L"10.000 from 10.000")) << host.ItemText(IDC_PROGRESS);
    EXPECT_EQ(1000, SelectionEnd());
}

TEST_F(PlaybackTest, EndOfStreamStopsRewindsAndSaysTheEnd)
{
    BuildDefaultGraph();
    fakes.spGraph->QueueEvent(EC_CLOCK_CHANGED, 0, 0);
    fakes.spGraph->QueueEvent(EC_COMPLETE, S_OK, 0);
    fakes.spGraph->QueueEvent(EC_PAUSED, S_OK, 0);
    ::PostMessageW(host.Dialog(), WM_GRAPHNOTIFY, 0, 0);

    HWND hWndBox = host.WaitForMessageBox();
    ASSERT_NE(nullptr, hWndBox);
    const MessageBoxView box = ReadMessageBox(hWndBox);
    EXPECT_EQ(L"The end", box.text);
    EXPECT_EQ(L"Skerry", box.caption);
    EXPECT_FALSE(box.bIcon);
    // Stopped and rewound before the box opened.
    EXPECT_EQ((std::vector<std::string>{"Stop"}), fakes.spGraph->ControlCalls());
    const auto calls = fakes.spGraph->SetPositionsCalls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(0, calls.back().llCurrent);
    DismissMessageBox(hWndBox);
    host.Send(WM_NULL, 0, 0);

    EXPECT_EQ(3u, fakes.spGraph->FreedEvents().size()) << "every queued event is fetched and freed";
    std::vector<std::wstring> lines;
    for (const auto& trace : diag.Traces())
    {
        EXPECT_EQ(static_cast<unsigned>(atlTraceGeneral), trace.dwCategory);
        EXPECT_EQ(2u, trace.nLevel);
        lines.push_back(trace.text);
    }
    EXPECT_EQ((std::vector<std::wstring>{L"CMainDialog::OnGraphNotify(): event 0xD\n",
                                         L"CMainDialog::OnGraphNotify(): event 0xE\n"}),
              lines);
}

TEST_F(PlaybackTest, BuildWithEmptyPathKeepsTheGraphAndStopsPlaybackAndTheTimer)
{
    BuildDefaultGraph();
    ::SetWindowTextW(host.Item(IDC_FILE), L"");
    ASSERT_TRUE(host.Send(WM_NULL, 0, 0));

    const MessageBoxView box = ClickForMessageBox(IDC_BUILD);
    EXPECT_EQ(L".grf file not selected\n" + SystemText(E_INVALIDARG) + L"\nError 0x80070057", box.text);
    for (int nID : {IDC_PLAY, IDC_PAUSE, IDC_STOP, IDC_POSITION})
        EXPECT_FALSE(host.IsEnabled(nID)) << "item " << nID;
    EXPECT_FALSE(host.OnDialogThread([&] { return CMainDialogAccess::IsGraphEmpty(host.Object()); }))
        << "the graph built before stays";
    EXPECT_EQ(4u, fakes.spGraph->FilterCount());
    // Only the timer's own thread can ask for it: gone means already killed.
    EXPECT_FALSE(host.OnDialogThread([&] { return ::KillTimer(host.Dialog(), kTimerProgress) != FALSE; }))
        << "the progress timer still runs";
}

TEST_F(PlaybackTest, StreamingErrorStopsWhereItWasAndShowsTheStatus)
{
    BuildDefaultGraph();
    const struct
    {
        long lCode;
        LONG_PTR lStatus;
        HRESULT hrShown;
    } kCases[] = {
        {EC_ERRORABORT, E_UNEXPECTED, E_UNEXPECTED},
        {EC_ERRORABORTEX, E_OUTOFMEMORY, E_OUTOFMEMORY},
        {EC_ERRORABORT, S_OK, E_FAIL}, // an abort that claims success is still a failure
    };
    size_t cStops = 0;
    for (const auto& c : kCases)
    {
        SCOPED_TRACE(c.lCode);
        fakes.spGraph->QueueEvent(c.lCode, c.lStatus, 0);
        ::PostMessageW(host.Dialog(), WM_GRAPHNOTIFY, 0, 0);
        HWND hWndBox = host.WaitForMessageBox();
        ASSERT_NE(nullptr, hWndBox);
        const MessageBoxView box = ReadMessageBox(hWndBox);
        EXPECT_EQ(0u, box.text.rfind(L"Streaming failed\n", 0)) << box.text;
        EXPECT_TRUE(EndsWith(box.text, L"\n" + StatusLine(c.hrShown))) << box.text;
        EXPECT_TRUE(box.bIcon);
        // Stopped before the box opened, and not rewound: the tester sees
        // where the stream broke.
        EXPECT_EQ(std::vector<std::string>(++cStops, "Stop"), fakes.spGraph->ControlCalls());
        EXPECT_TRUE(fakes.spGraph->SetPositionsCalls().empty());
        DismissMessageBox(hWndBox);
        ASSERT_TRUE(host.Send(WM_NULL, 0, 0));
    }
}

TEST_F(PlaybackTest, GraphFileNamesTheServerBuildInTheTitle)
{
    const std::wstring dir = MakeTempFolder(L"title");
    FakeVersion version;
    version.name = L"Velk RTMP Server";
    version.number = L"2.1";
    version.dateTime = L"2015-03-04";
    version.eOS = VelkBuild32;
    fakes.spServer->ExposeVersion(version);
    fakes.spGraph->SetLoad(S_OK, {{fakes.spServer, L"RTMP Server"}});

    ::SetWindowTextW(host.Item(IDC_FILE), MakeGraphFile(dir).c_str());
    ASSERT_TRUE(host.Click(IDC_BUILD)) << "a message box is open";
    EXPECT_EQ(L"Test for Velk RTMP Server [Release 32] v.2.1 (2015-03-04)", host.Title());
    EXPECT_TRUE(host.IsEnabled(IDC_PLAY));
    EXPECT_EQ(1u, fakes.spGraph->NotifyWindowCalls().size());
    RemoveTempFolder(dir);
}

TEST_F(PlaybackTest, GraphFileWithoutServerWarnsAndStillReadiesPlayback)
{
    const std::wstring dir = MakeTempFolder(L"noserver");
    fakes.spGraph->SetLoad(S_OK, {{fakes.spGenerator, L"Video Generator"}});
    ::SetWindowTextW(host.Item(IDC_FILE), MakeGraphFile(dir).c_str());

    const MessageBoxView box = ClickForMessageBox(IDC_BUILD);
    EXPECT_EQ(0u, box.text.rfind(L"Some problems found\n", 0)) << box.text;
    EXPECT_TRUE(EndsWith(box.text, L"\nError 0x1"));
    EXPECT_EQ(L"Skerry", host.Title());
    EXPECT_TRUE(host.IsEnabled(IDC_PLAY));
    // No notifications for this graph: only ever cleared, never set.
    for (const auto& call : fakes.spGraph->NotifyWindowCalls())
        EXPECT_EQ(0, call.hwnd);
    RemoveTempFolder(dir);
}
