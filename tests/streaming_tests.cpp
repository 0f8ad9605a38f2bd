// The default streaming graph with the stand-in filters, end to end: the real
// console in a real window, Wine's graph manager, and the filters from the
// registered VelkFilters.dll. Counters on the generator and the server prove
// that every sample arrived, in order.
#include <gtest/gtest.h>

#include "Diagnostics.h"
#include "MainDialog.h"
#include "TestUtil.h"
#include "WindowDriver.h"

#include <commctrl.h>
#include <tlhelp32.h>

#include <cwchar>
#include <functional>
#include <string>

struct CMainDialogAccess
{
    static CGraph& Graph(CMainDialog& dialog) { return dialog.m_Graph; }
};

struct CGraphAccess
{
    static IGraphBuilder* Manager(CGraph& graph) { return graph.m_spGraph; }
    static CComPtr<IVelkRtmpServer>& Server(CGraph& graph) { return graph.m_spRtmpServer; }
};

namespace
{

constexpr REFERENCE_TIME kUnitsPerSecond = 10000000;
constexpr REFERENCE_TIME kUnitsPerMs = 10000;

// Position and duration in milliseconds, as the progress text shows them.
struct Progress
{
    bool bShown = false;
    int nPositionMs = 0;
    int nDurationMs = 0;
};

Progress ParseProgress(const std::wstring& text)
{
    Progress progress;
    int nPosS = 0, nPosMs = 0, nDurS = 0, nDurMs = 0;
    if (std::swscanf(text.c_str(), L"%d.%d from %d.%d", &nPosS, &nPosMs, &nDurS, &nDurMs) == 4)
    {
        progress.bShown = true;
        progress.nPositionMs = nPosS * 1000 + nPosMs;
        progress.nDurationMs = nDurS * 1000 + nDurMs;
    }
    return progress;
}

bool WaitUntil(const std::function<bool()>& condition, DWORD dwTimeoutMs)
{
    const DWORD dwStart = ::GetTickCount();
    while (!condition())
    {
        if (::GetTickCount() - dwStart > dwTimeoutMs)
            return false;
        ::Sleep(10);
    }
    return true;
}

// COM for the test thread, which reads the filters' counters.
class CMultiThreadedApartment
{
public:
    CMultiThreadedApartment() : m_hr(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~CMultiThreadedApartment()
    {
        if (SUCCEEDED(m_hr))
            ::CoUninitialize();
    }

private:
    HRESULT m_hr;
};

int ThreadCount()
{
    const HANDLE hSnapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (hSnapshot == INVALID_HANDLE_VALUE)
        return -1;
    int cThreads = 0;
    THREADENTRY32 entry = {sizeof(entry)};
    for (BOOL bMore = ::Thread32First(hSnapshot, &entry); bMore; bMore = ::Thread32Next(hSnapshot, &entry))
    {
        if (entry.th32OwnerProcessID == ::GetCurrentProcessId())
            ++cThreads;
    }
    ::CloseHandle(hSnapshot);
    return cThreads;
}

// The DLL registered for a class.
std::wstring RegisteredServer(REFCLSID clsid)
{
    wchar_t szClsid[40] = {};
    ::StringFromGUID2(clsid, szClsid, 40);
    const std::wstring key = std::wstring(L"CLSID\\") + szClsid + L"\\InprocServer32";
    wchar_t szPath[MAX_PATH] = {};
    DWORD cb = sizeof(szPath);
    if (::RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, szPath, &cb) != ERROR_SUCCESS)
        return L"";
    return szPath;
}

// A loaded DLL, freed with its owner.
class CLibrary
{
public:
    explicit CLibrary(LPCWSTR pszPath) : m_hModule(::LoadLibraryW(pszPath)) {}
    ~CLibrary()
    {
        if (m_hModule != nullptr)
            ::FreeLibrary(m_hModule);
    }
    CLibrary(const CLibrary&) = delete;
    CLibrary& operator=(const CLibrary&) = delete;
    bool IsLoaded() const { return m_hModule != nullptr; }

private:
    HMODULE m_hModule;
};

// What a run of a stream from 0 to rtStop leaves at the server: frames of
// rtFrame units, the last one cut at the stop.
LONGLONG FramesUpTo(REFERENCE_TIME rtStop, LONGLONG llFrameNum, LONGLONG llFrameDen)
{
    // Frame n starts at n * num / den; count those that start before rtStop.
    LONGLONG n = 0;
    while (n * llFrameNum / llFrameDen < rtStop)
        ++n;
    return n;
}

LONGLONG VideoFramesUpTo(REFERENCE_TIME rtStop)
{
    return FramesUpTo(rtStop, kUnitsPerSecond, 25);
}

LONGLONG AudioBuffersUpTo(REFERENCE_TIME rtStop)
{
    return FramesUpTo(rtStop, 1024 * kUnitsPerSecond, 48000);
}

class StreamingTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        m_spGenerator.Release();
        m_spServer.Release();
        m_spGraph.Release();
    }

    // "Default graph", which must show no message box.
    void BuildDefaultGraph()
    {
        ASSERT_TRUE(host.Click(IDC_DEFAULT));
        ASSERT_EQ(nullptr, host.WaitForMessageBox(0)) << "a message box after Default graph";
        // The dialog thread now waits for messages; its graph stays as it is.
        m_spGraph = CGraphAccess::Manager(CMainDialogAccess::Graph(host.Object()));
        ASSERT_TRUE(m_spGraph != nullptr);
        ASSERT_EQ(S_OK, m_spGraph->FindFilterByName(VELK_NAME_VIDEO_GENERATOR, &m_spGenerator));
        ASSERT_EQ(S_OK, m_spGraph->FindFilterByName(VELK_NAME_RTMP_SERVER, &m_spServer));
    }

    void SelectShortStream()
    {
        CComPtr<IVelkVideoGenerator> spGen;
        ASSERT_EQ(S_OK, m_spGenerator->QueryInterface(IID_IVelkVideoGenerator, reinterpret_cast<void**>(&spGen)));
        ASSERT_EQ(S_OK, spGen->SetMode(VelkModeShortStream));
    }

    Progress ReadProgress() const { return ParseProgress(host.ItemText(IDC_PROGRESS)); }
    int PositionMs() const { return ReadProgress().nPositionMs; }
    LRESULT SelectionEnd() { return ::SendMessageW(host.Item(IDC_POSITION), TBM_GETSELEND, 0, 0); }

    bool WaitForPosition(int nAtLeastMs, DWORD dwTimeoutMs)
    {
        return WaitUntil([&] { return PositionMs() >= nAtLeastMs; }, dwTimeoutMs);
    }

    // A scroll message from a track bar, as moving its thumb sends it.
    void Scroll(int nID, WORD wCode, WORD wPosition)
    {
        ASSERT_TRUE(host.Send(WM_HSCROLL, MAKEWPARAM(wCode, wPosition), reinterpret_cast<LPARAM>(host.Item(nID))));
    }

    // The box that ends a stream: "The end", without an icon.
    void ExpectTheEnd(DWORD dwTimeoutMs)
    {
        const HWND hWndBox = host.WaitForMessageBox(dwTimeoutMs);
        ASSERT_NE(nullptr, hWndBox) << "no end of stream";
        const MessageBoxView view = ReadMessageBox(hWndBox);
        EXPECT_EQ(L"Skerry", view.caption);
        EXPECT_EQ(L"The end", view.text);
        EXPECT_FALSE(view.bIcon);
        DismissMessageBox(hWndBox);
    }

    VelkInputStatistics Statistics(LONG nInput)
    {
        VelkInputStatistics stats = {};
        CComPtr<IVelkRtmpServerStatistics> spStats;
        EXPECT_EQ(S_OK,
                  m_spServer->QueryInterface(IID_IVelkRtmpServerStatistics, reinterpret_cast<void**>(&spStats)));
        if (spStats)
        {
            EXPECT_EQ(S_OK, spStats->GetInputStatistics(nInput, &stats));
        }
        return stats;
    }

    LONGLONG Delivered(LONG eStream)
    {
        LONGLONG cSamples = -1;
        CComPtr<IVelkGeneratorStatistics> spStats;
        EXPECT_EQ(S_OK,
                  m_spGenerator->QueryInterface(IID_IVelkGeneratorStatistics, reinterpret_cast<void**>(&spStats)));
        if (spStats)
        {
            EXPECT_EQ(S_OK, spStats->GetDeliveredSamples(eStream, &cSamples));
        }
        return cSamples;
    }

    // Everything the generator delivered on both streams was presented, in
    // order, up to rtEnd; seeks (each a flush and a new segment) are the only
    // discontinuities after the first sample.
    void ExpectCompleteStreams(REFERENCE_TIME rtEnd, LONG cSeeks)
    {
        for (LONG nInput : {0L, 1L})
        {
            SCOPED_TRACE(nInput == 0 ? "video" : "audio");
            const VelkInputStatistics stats = Statistics(nInput);
            EXPECT_EQ(Delivered(nInput), stats.cSamples);
            EXPECT_EQ(0, stats.cGaps);
            EXPECT_EQ(1 + cSeeks, stats.cDiscontinuities);
            EXPECT_EQ(cSeeks, stats.cFlushes);
            EXPECT_EQ(1 + cSeeks, stats.cSegments);
            EXPECT_EQ(1, stats.cEndOfStream);
            EXPECT_EQ(rtEnd, stats.rtSegmentStart + stats.rtLast);
            EXPECT_GT(stats.cbData, 0);
        }
    }

    CMultiThreadedApartment m_apartment;
    CDiagnosticsRecorder diag;
    CDialogHost host;
    CComPtr<IGraphBuilder> m_spGraph;
    CComPtr<IBaseFilter> m_spGenerator;
    CComPtr<IBaseFilter> m_spServer;
};

// The pins of a filter in one direction, in enumeration order.
CComPtr<IPin> PinOf(IBaseFilter* pFilter, PIN_DIRECTION eDirection, int nIndex)
{
    CComPtr<IEnumPins> spEnum;
    if (pFilter->EnumPins(&spEnum) != S_OK)
        return nullptr;
    for (;;)
    {
        CComPtr<IPin> spPin;
        if (spEnum->Next(1, &spPin, nullptr) != S_OK)
            return nullptr;
        PIN_DIRECTION eDir = PINDIR_INPUT;
        spPin->QueryDirection(&eDir);
        if (eDir == eDirection && nIndex-- == 0)
            return spPin;
    }
}

} // namespace

TEST_F(StreamingTest, DefaultGraphHoldsTheFourFiltersConnectedInOrder)
{
    BuildDefaultGraph();
    EXPECT_EQ(L"Skerry", host.Title());
    for (int nID : {IDC_PLAY, IDC_PAUSE, IDC_STOP})
        EXPECT_TRUE(host.IsEnabled(nID)) << "item " << nID;
    EXPECT_EQ(L"0.000 from 10.000", host.ItemText(IDC_PROGRESS));
    EXPECT_TRUE(diag.Reports().empty());

    const struct
    {
        const wchar_t* pszUpstream;
        int nOutput;
        const wchar_t* pszDownstream;
        int nInput;
        GUID subtype;
    } kConnections[] = {
        {VELK_NAME_VIDEO_GENERATOR, 0, VELK_NAME_H264_ENCODER, 0, MEDIASUBTYPE_RGB32},
        {VELK_NAME_H264_ENCODER, 0, VELK_NAME_RTMP_SERVER, 0,
         {0x34363248, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}}},
        {VELK_NAME_VIDEO_GENERATOR, 1, VELK_NAME_AAC_ENCODER, 0, MEDIASUBTYPE_PCM},
        {VELK_NAME_AAC_ENCODER, 0, VELK_NAME_RTMP_SERVER, 1,
         {0x000000ff, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}}},
    };
    for (const auto& c : kConnections)
    {
        SCOPED_TRACE(std::wstring(c.pszUpstream) + L" -> " + c.pszDownstream);
        CComPtr<IBaseFilter> spUp;
        CComPtr<IBaseFilter> spDown;
        ASSERT_EQ(S_OK, m_spGraph->FindFilterByName(c.pszUpstream, &spUp));
        ASSERT_EQ(S_OK, m_spGraph->FindFilterByName(c.pszDownstream, &spDown));
        CComPtr<IPin> spOut = PinOf(spUp, PINDIR_OUTPUT, c.nOutput);
        CComPtr<IPin> spIn = PinOf(spDown, PINDIR_INPUT, c.nInput);
        ASSERT_TRUE(spOut != nullptr && spIn != nullptr);
        CComPtr<IPin> spPeer;
        ASSERT_EQ(S_OK, spOut->ConnectedTo(&spPeer));
        EXPECT_TRUE(spPeer == spIn);
        AM_MEDIA_TYPE mt = {};
        ASSERT_EQ(S_OK, spOut->ConnectionMediaType(&mt));
        EXPECT_TRUE(IsEqualGUID(c.subtype, mt.subtype));
        ::CoTaskMemFree(mt.pbFormat);
    }
}

TEST_F(StreamingTest, PlaysInRealTimeToTheEndAndThenAgain)
{
    BuildDefaultGraph();
    SelectShortStream();
    const REFERENCE_TIME rtLength = 2 * kUnitsPerSecond;
    for (int nRun = 0; nRun < 2; ++nRun)
    {
        SCOPED_TRACE(nRun == 0 ? "first run" : "second run");
        ASSERT_TRUE(host.Click(IDC_PLAY));
        ASSERT_TRUE(WaitForPosition(100, 3000));
        const DWORD dwStart = ::GetTickCount();
        const int nStartMs = PositionMs();
        ::Sleep(700);
        const Progress progress = ReadProgress();
        const int nWallMs = static_cast<int>(::GetTickCount() - dwStart);
        EXPECT_EQ(2000, progress.nDurationMs);
        EXPECT_NEAR(nWallMs, progress.nPositionMs - nStartMs, 250) << "the position follows the clock";
        EXPECT_NEAR(progress.nPositionMs / 2, SelectionEnd(), 60) << "the bar follows the position";

        ExpectTheEnd(5000);
        EXPECT_TRUE(WaitUntil([&] { return host.ItemText(IDC_PROGRESS) == L"0.000 from 2.000"; }, 1000))
            << "rewound after the end";
        ExpectCompleteStreams(rtLength, 0);
        EXPECT_EQ(VideoFramesUpTo(rtLength), Statistics(0).cSamples);
        EXPECT_EQ(AudioBuffersUpTo(rtLength), Statistics(1).cSamples);
        EXPECT_EQ(0, Statistics(0).rtFirst);
    }
}

TEST_F(StreamingTest, PauseHoldsThePositionAndStopKeepsIt)
{
    BuildDefaultGraph();
    ASSERT_TRUE(host.Click(IDC_PLAY));
    ASSERT_TRUE(WaitForPosition(500, 3000));

    ASSERT_TRUE(host.Click(IDC_PAUSE));
    ::Sleep(250); // a timer tick or two
    const int nPausedMs = PositionMs();
    const LONGLONG cPausedSamples = Statistics(0).cSamples;
    ::Sleep(600);
    EXPECT_EQ(nPausedMs, PositionMs());
    EXPECT_EQ(cPausedSamples, Statistics(0).cSamples) << "nothing is presented while paused";

    ASSERT_TRUE(host.Click(IDC_STOP));
    EXPECT_EQ(nPausedMs, PositionMs()) << "Stop does not rewind";
    ::Sleep(300);
    EXPECT_EQ(nPausedMs, PositionMs());
    EXPECT_EQ(0, Statistics(0).cGaps);
    EXPECT_EQ(Delivered(VelkStreamVideo), Statistics(0).cSamples);

    // Playing again goes on from there, picture and sound alike.
    ASSERT_TRUE(host.Click(IDC_PLAY));
    EXPECT_TRUE(WaitForPosition(nPausedMs + 300, 2000));
    for (LONG nInput : {0L, 1L})
        EXPECT_NEAR(nPausedMs * kUnitsPerMs, Statistics(nInput).rtSegmentStart, 50 * kUnitsPerMs);
}

TEST_F(StreamingTest, PositionBarSeeksWhilePlaying)
{
    BuildDefaultGraph();
    ASSERT_TRUE(host.Click(IDC_PLAY));
    ASSERT_TRUE(WaitForPosition(300, 3000));

    Scroll(IDC_POSITION, SB_THUMBPOSITION, 900);
    EXPECT_TRUE(WaitForPosition(9000, 1000)) << "the position jumps to 9 s";
    ExpectTheEnd(3000);
    ExpectCompleteStreams(10 * kUnitsPerSecond, 1);
    EXPECT_EQ(9 * kUnitsPerSecond, Statistics(0).rtSegmentStart);
}

TEST_F(StreamingTest, StopBarEndsTheStreamEarly)
{
    BuildDefaultGraph();
    ASSERT_TRUE(host.Click(IDC_PLAY));
    ASSERT_TRUE(WaitForPosition(200, 3000));

    Scroll(IDC_STOP_POSITION, SB_THUMBPOSITION, 150);
    ExpectTheEnd(4000);
    const REFERENCE_TIME rtStop = 15 * kUnitsPerSecond / 10;
    ExpectCompleteStreams(rtStop, 0);
    EXPECT_EQ(VideoFramesUpTo(rtStop), Statistics(0).cSamples);
    EXPECT_EQ(AudioBuffersUpTo(rtStop), Statistics(1).cSamples);
}

TEST_F(StreamingTest, ClosingWhilePlayingReleasesTheFiltersAndTheirThreads)
{
    // Keeps the DLL mapped when COM lets go of it, to ask it afterwards.
    const CLibrary filters(RegisteredServer(CLSID_VelkVideoGenerator).c_str());
    ASSERT_TRUE(filters.IsLoaded());
    const int cThreadsBefore = ThreadCount();
    BuildDefaultGraph();
    ASSERT_TRUE(host.Click(IDC_PLAY));
    ASSERT_TRUE(WaitForPosition(300, 3000));
    m_spGenerator.Release();
    m_spServer.Release();
    m_spGraph.Release();

    EXPECT_EQ(IDCANCEL, host.CloseWith(WM_COMMAND, IDCANCEL, 0));
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= cThreadsBefore; }, 2000))
        << ThreadCount() << " threads, " << cThreadsBefore << " before";
    const HMODULE hFilters = ::GetModuleHandleW(L"VelkFilters.dll");
    ASSERT_NE(nullptr, hFilters) << "loaded before the console closed";
    const FARPROC pfn = ::GetProcAddress(hFilters, "DllCanUnloadNow");
    ASSERT_NE(nullptr, pfn);
    EXPECT_EQ(S_OK, reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void*>(pfn))())
        << "every filter, pin and enumerator was released";
}
