// The default streaming graph with the stand-in filters, end to end: the real
// console in a real window, Wine's graph manager, and the filters from the
// registered VelkFilters.dll. Counters on the generator and the server prove
// that every sample arrived, in order.
#include "StreamingFixture.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cwchar>
#include <functional>
#include <memory>
#include <string>

namespace
{

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

// The access units of the sound up to rtStop: one a buffer, and one more
// that brings out the last samples.
LONGLONG AudioUnitsUpTo(REFERENCE_TIME rtStop)
{
    return AudioBuffersUpTo(rtStop) + 1;
}
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
    // What one connection is, read on the dialog's thread.
    struct Connection
    {
        bool bPins = false;
        HRESULT hrConnectedTo = E_FAIL;
        bool bPeerIsTheInput = false;
        HRESULT hrMediaType = E_FAIL;
        GUID subtype = GUID_NULL;
    };
    for (const auto& c : kConnections)
    {
        SCOPED_TRACE(std::wstring(c.pszUpstream) + L" -> " + c.pszDownstream);
        const Connection seen = OnGraph([&](IGraphBuilder* pGraph) {
            Connection connection;
            CComPtr<IBaseFilter> spUp = FilterNamed(pGraph, c.pszUpstream);
            CComPtr<IBaseFilter> spDown = FilterNamed(pGraph, c.pszDownstream);
            CComPtr<IPin> spOut = spUp ? PinOf(spUp, PINDIR_OUTPUT, c.nOutput) : nullptr;
            CComPtr<IPin> spIn = spDown ? PinOf(spDown, PINDIR_INPUT, c.nInput) : nullptr;
            connection.bPins = spOut && spIn;
            if (!connection.bPins)
                return connection;
            CComPtr<IPin> spPeer;
            connection.hrConnectedTo = spOut->ConnectedTo(&spPeer);
            connection.bPeerIsTheInput = spPeer == spIn;
            AM_MEDIA_TYPE mt = {};
            connection.hrMediaType = spOut->ConnectionMediaType(&mt);
            if (SUCCEEDED(connection.hrMediaType))
            {
                connection.subtype = mt.subtype;
                ::CoTaskMemFree(mt.pbFormat);
                if (mt.pUnk != nullptr)
                    mt.pUnk->Release();
            }
            return connection;
        });
        ASSERT_TRUE(seen.bPins);
        EXPECT_EQ(S_OK, seen.hrConnectedTo);
        EXPECT_TRUE(seen.bPeerIsTheInput);
        EXPECT_EQ(S_OK, seen.hrMediaType);
        EXPECT_TRUE(IsEqualGUID(c.subtype, seen.subtype));
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
        EXPECT_EQ(AudioUnitsUpTo(rtLength), Statistics(1).cSamples);
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

// Stopping straight from playing keeps the stream where it was: the
// position shown and the graph's own report stay there, and playing again
// goes on from there, picture and sound alike.
TEST_F(StreamingTest, StopWhilePlayingKeepsThePositionAndPlayGoesOnFromThere)
{
    BuildDefaultGraph();
    ASSERT_TRUE(host.Click(IDC_PLAY));
    ASSERT_TRUE(WaitForPosition(1000, 4000));

    const int nPlayingMs = PositionMs();
    ASSERT_TRUE(host.Click(IDC_STOP));
    const int nStoppedMs = PositionMs();
    EXPECT_GE(nStoppedMs, nPlayingMs) << "Stop does not go back";
    LONGLONG llStopped = -1;
    ASSERT_EQ(S_OK, OnGraph([&](IGraphBuilder* pGraph) {
                  CComPtr<IMediaSeeking> spSeeking;
                  const HRESULT hr = pGraph->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&spSeeking));
                  return SUCCEEDED(hr) ? spSeeking->GetCurrentPosition(&llStopped) : hr;
              }));
    EXPECT_EQ(nStoppedMs, llStopped / kUnitsPerMs) << "the graph reports what the console shows";
    ::Sleep(300);
    EXPECT_EQ(nStoppedMs, PositionMs());

    ASSERT_TRUE(host.Click(IDC_PLAY));
    int nLowestMs = nStoppedMs;
    EXPECT_TRUE(WaitUntil(
        [&] {
            const int nMs = PositionMs();
            nLowestMs = std::min(nLowestMs, nMs);
            return nMs >= nStoppedMs + 300;
        },
        2000));
    EXPECT_EQ(nStoppedMs, nLowestMs) << "Play does not go back either";
    for (LONG nInput : {0L, 1L})
        EXPECT_NEAR(llStopped, Statistics(nInput).rtSegmentStart, 50 * kUnitsPerMs);
}

TEST_F(StreamingTest, PositionBarSeeksWhilePlayingAndWhilePaused)
{
    for (bool bPaused : {false, true})
    {
        SCOPED_TRACE(bPaused ? "paused" : "playing");
        BuildDefaultGraph();
        ASSERT_TRUE(host.Click(IDC_PLAY));
        ASSERT_TRUE(WaitForPosition(300, 3000));
        if (bPaused)
        {
            ASSERT_TRUE(host.Click(IDC_PAUSE));
        }

        Scroll(IDC_POSITION, SB_THUMBPOSITION, 900);
        EXPECT_TRUE(WaitForPosition(9000, 1000)) << "the position jumps to 9 s";
        EXPECT_NEAR(900, SelectionEnd(), 10);
        if (bPaused)
        {
            ASSERT_TRUE(host.Click(IDC_PLAY));
        }
        ExpectTheEnd(3000);
        ExpectCompleteStreams(10 * kUnitsPerSecond, 1);
        EXPECT_EQ(9 * kUnitsPerSecond, Statistics(0).rtSegmentStart);
    }
}

TEST_F(StreamingTest, SeekingToTheEndEndsTheStreamAtOnce)
{
    BuildDefaultGraph();
    ASSERT_TRUE(host.Click(IDC_PLAY));
    ASSERT_TRUE(WaitForPosition(2000, 4000));

    // Nothing is left to present, so the end does not wait for the two
    // seconds already played to come round again.
    Scroll(IDC_POSITION, SB_THUMBPOSITION, 1000);
    ExpectTheEnd(1200);
    for (LONG nInput : {0L, 1L})
    {
        const VelkInputStatistics stats = Statistics(nInput);
        EXPECT_EQ(10 * kUnitsPerSecond, stats.rtSegmentStart);
        EXPECT_EQ(1, stats.cEndOfStream);
        EXPECT_EQ(1, stats.cFlushes);
        EXPECT_EQ(0, stats.cGaps);
        // The sound's last buffer, from where the end falls, and the unit after it.
        EXPECT_EQ(Delivered(nInput) + nInput, stats.cSamples);
    }
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
    EXPECT_EQ(AudioUnitsUpTo(rtStop), Statistics(1).cSamples);
}

TEST_F(StreamingTest, NewGraphPutsTheStopBarBackAtTheEnd)
{
    BuildDefaultGraph();
    HWND hWndStop = host.Item(IDC_STOP_POSITION);
    ::SendMessageW(hWndStop, TBM_SETPOS, TRUE, 200);
    Scroll(IDC_STOP_POSITION, SB_ENDSCROLL, 0);
    ASSERT_EQ(200, ::SendMessageW(hWndStop, TBM_GETPOS, 0, 0));

    BuildDefaultGraph();
    EXPECT_EQ(1000, ::SendMessageW(hWndStop, TBM_GETPOS, 0, 0));
    // The bar shows what the new graph does: it plays to its end.
    LONGLONG llStop = 0;
    LONGLONG llDuration = 0;
    EXPECT_EQ(S_OK, OnGraph([&](IGraphBuilder* pGraph) {
                  CComPtr<IMediaSeeking> spSeeking;
                  HRESULT hr = pGraph->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&spSeeking));
                  if (SUCCEEDED(hr))
                      hr = spSeeking->GetStopPosition(&llStop);
                  if (SUCCEEDED(hr))
                      hr = spSeeking->GetDuration(&llDuration);
                  return hr;
              }));
    EXPECT_EQ(llDuration, llStop);
}

// An editor's proxies (even those of an editor killed from outside) may hold
// the graph after the console lets it go: it must not stream on for them.
TEST_F(StreamingTest, AGraphHeldElsewhereStopsWhenTheConsoleLetsItGo)
{
    BuildDefaultGraph();
    ASSERT_TRUE(host.Click(IDC_PLAY));
    ASSERT_TRUE(WaitForPosition(200, 3000));
    CComPtr<IMediaControl> spHeld = OnGraph([](IGraphBuilder* pGraph) {
        CComPtr<IMediaControl> spControl;
        pGraph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&spControl));
        return spControl;
    });
    ASSERT_TRUE(spHeld != nullptr);

    ASSERT_TRUE(host.Click(IDC_DEFAULT));
    OAFilterState state = -1;
    EXPECT_EQ(S_OK, host.OnDialogThread([&] { return spHeld->GetState(1000, &state); }));
    EXPECT_EQ(State_Stopped, state);
    host.RunOnDialogThread([&] { spHeld.Release(); });
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
    EXPECT_EQ(IDCANCEL, host.CloseWith(WM_COMMAND, IDCANCEL, 0));
    // Wine keeps one thread of its own once a graph has run, so
    // the count comes back to where it was although the dialog's thread has
    // gone too; the filters' objects, which join their threads before they
    // go, are checked below.
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= cThreadsBefore; }, 2000))
        << ThreadCount() << " threads, " << cThreadsBefore << " before";
    const HMODULE hFilters = ::GetModuleHandleW(L"VelkFilters.dll");
    ASSERT_NE(nullptr, hFilters) << "loaded before the console closed";
    const FARPROC pfn = ::GetProcAddress(hFilters, "DllCanUnloadNow");
    ASSERT_NE(nullptr, pfn);
    EXPECT_EQ(S_OK, reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void*>(pfn))())
        << "every filter, pin and enumerator was released";
}

// ---------------------------------------------------------------------------
// The console as a program of its own

TEST(RealConsoleTest, StreamsTheDefaultGraphAndExitsWithZeroWhilePlaying)
{
    CConsoleProcess console(BuildFolder() + L"\\Skerry.exe");
    ASSERT_TRUE(console.Started());
    const HWND hWndDialog = console.Dialog();
    EXPECT_NE(nullptr, hWndDialog);
    if (hWndDialog != nullptr)
    {
        const HWND hWndProgress = ::GetDlgItem(hWndDialog, IDC_PROGRESS);
        for (int nID : {IDC_DEFAULT, IDC_PLAY})
            EXPECT_TRUE(console.Click(nID, 10000)) << "no message box after " << nID;
        EXPECT_EQ(L"Skerry", WindowText(hWndDialog));
        EXPECT_TRUE(WaitUntil([&] { return ParseProgress(ControlText(hWndProgress)).nPositionMs >= 500; }, 5000))
            << "the console plays: " << std::string(ControlText(hWndProgress).begin(), ControlText(hWndProgress).end());
    }
    EXPECT_EQ(0u, console.CloseWith(WM_COMMAND, IDCANCEL));
}

// ---------------------------------------------------------------------------
// The filters' contract, with Wine's graph manager and no console

namespace
{

// The four filters in one graph manager, unconnected.
class CFilterSet
{
public:
    CFilterSet()
    {
        EXPECT_EQ(S_OK, m_spGraph.CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER));
        const struct
        {
            CLSID clsid;
            const wchar_t* pszName;
            CComPtr<IBaseFilter>* pspFilter;
        } kFilters[] = {
            {CLSID_VelkVideoGenerator, VELK_NAME_VIDEO_GENERATOR, std::addressof(m_spGenerator)},
            {CLSID_VelkH264Encoder, VELK_NAME_H264_ENCODER, std::addressof(m_spH264)},
            {CLSID_VelkAACEncoder, VELK_NAME_AAC_ENCODER, std::addressof(m_spAac)},
            {CLSID_VelkRtmpServer, VELK_NAME_RTMP_SERVER, std::addressof(m_spServer)},
        };
        for (const auto& f : kFilters)
        {
            EXPECT_EQ(S_OK, f.pspFilter->CoCreateInstance(f.clsid, nullptr, CLSCTX_INPROC_SERVER));
            if (m_spGraph && *f.pspFilter)
            {
                EXPECT_EQ(S_OK, m_spGraph->AddFilter(*f.pspFilter, f.pszName));
            }
        }
    }

    bool IsComplete() const { return m_spGraph && m_spGenerator && m_spH264 && m_spAac && m_spServer; }

    CComPtr<IPin> GenVideo() { return PinOf(m_spGenerator, PINDIR_OUTPUT, 0); }
    CComPtr<IPin> GenAudio() { return PinOf(m_spGenerator, PINDIR_OUTPUT, 1); }
    CComPtr<IPin> H264In() { return PinOf(m_spH264, PINDIR_INPUT, 0); }
    CComPtr<IPin> H264Out() { return PinOf(m_spH264, PINDIR_OUTPUT, 0); }
    CComPtr<IPin> AacIn() { return PinOf(m_spAac, PINDIR_INPUT, 0); }
    CComPtr<IPin> AacOut() { return PinOf(m_spAac, PINDIR_OUTPUT, 0); }
    CComPtr<IPin> ServerVideo() { return PinOf(m_spServer, PINDIR_INPUT, 0); }
    CComPtr<IPin> ServerAudio() { return PinOf(m_spServer, PINDIR_INPUT, 1); }

    HRESULT ConnectVideo()
    {
        HRESULT hr = GenVideo()->Connect(H264In(), nullptr);
        return SUCCEEDED(hr) ? H264Out()->Connect(ServerVideo(), nullptr) : hr;
    }
    HRESULT ConnectAudio()
    {
        HRESULT hr = GenAudio()->Connect(AacIn(), nullptr);
        return SUCCEEDED(hr) ? AacOut()->Connect(ServerAudio(), nullptr) : hr;
    }

    // The first type a pin offers.
    static HRESULT FirstType(IPin* pPin, AM_MEDIA_TYPE& mt)
    {
        CComPtr<IEnumMediaTypes> spEnum;
        HRESULT hr = pPin->EnumMediaTypes(&spEnum);
        if (FAILED(hr))
            return hr;
        AM_MEDIA_TYPE* pmt = nullptr;
        hr = spEnum->Next(1, &pmt, nullptr);
        if (hr != S_OK)
            return E_FAIL;
        mt = *pmt;
        ::CoTaskMemFree(pmt);
        return S_OK;
    }

    CComPtr<IGraphBuilder> m_spGraph;
    CComPtr<IBaseFilter> m_spGenerator;
    CComPtr<IBaseFilter> m_spH264;
    CComPtr<IBaseFilter> m_spAac;
    CComPtr<IBaseFilter> m_spServer;
};

// Frees the format block of a media type the test received.
class CReceivedType
{
public:
    ~CReceivedType() { ::CoTaskMemFree(mt.pbFormat); }
    AM_MEDIA_TYPE mt = {};
};

class FilterContractTest : public ::testing::Test
{
protected:
    CMultiThreadedApartment m_apartment;
};

} // namespace

TEST_F(FilterContractTest, ConnectionsThatCannotBeMadeAreRefused)
{
    const struct
    {
        const char* pszWhat;
        HRESULT hrExpected;
        std::function<HRESULT(CFilterSet&)> attempt;
    } kCases[] = {
        {"a second connection on a connected output", VFW_E_ALREADY_CONNECTED,
         [](CFilterSet& s) {
             EXPECT_EQ(S_OK, s.GenVideo()->Connect(s.H264In(), nullptr));
             return s.GenVideo()->Connect(s.AacIn(), nullptr);
         }},
        {"a second connection on a connected input", VFW_E_ALREADY_CONNECTED,
         [](CFilterSet& s) {
             EXPECT_EQ(S_OK, s.GenVideo()->Connect(s.H264In(), nullptr));
             return s.GenAudio()->Connect(s.H264In(), nullptr);
         }},
        {"audio into the H.264 encoder", VFW_E_NO_ACCEPTABLE_TYPES,
         [](CFilterSet& s) { return s.GenAudio()->Connect(s.H264In(), nullptr); }},
        {"video into the AAC encoder", VFW_E_NO_ACCEPTABLE_TYPES,
         [](CFilterSet& s) { return s.GenVideo()->Connect(s.AacIn(), nullptr); }},
        {"PCM offered to the H.264 encoder by name", VFW_E_TYPE_NOT_ACCEPTED,
         [](CFilterSet& s) {
             CReceivedType pcm;
             EXPECT_EQ(S_OK, CFilterSet::FirstType(s.GenAudio(), pcm.mt));
             return s.GenAudio()->Connect(s.H264In(), &pcm.mt);
         }},
        {"raw video into the server", VFW_E_NO_ACCEPTABLE_TYPES,
         [](CFilterSet& s) { return s.GenVideo()->Connect(s.ServerVideo(), nullptr); }},
        {"AAC into the server's video input", VFW_E_NO_ACCEPTABLE_TYPES,
         [](CFilterSet& s) {
             EXPECT_EQ(S_OK, s.GenAudio()->Connect(s.AacIn(), nullptr));
             return s.AacOut()->Connect(s.ServerVideo(), nullptr);
         }},
        {"H.264 into the server's audio input", VFW_E_NO_ACCEPTABLE_TYPES,
         [](CFilterSet& s) {
             EXPECT_EQ(S_OK, s.GenVideo()->Connect(s.H264In(), nullptr));
             return s.H264Out()->Connect(s.ServerAudio(), nullptr);
         }},
        {"an encoder output before its input", VFW_E_NO_ACCEPTABLE_TYPES,
         [](CFilterSet& s) { return s.H264Out()->Connect(s.ServerVideo(), nullptr); }},
        {"an output to an output", VFW_E_INVALID_DIRECTION,
         [](CFilterSet& s) { return s.GenVideo()->Connect(s.H264Out(), nullptr); }},
        {"a type check of AAC on the video input", S_FALSE,
         [](CFilterSet& s) {
             EXPECT_EQ(S_OK, s.ConnectAudio());
             CReceivedType aac;
             EXPECT_EQ(S_OK, s.AacOut()->ConnectionMediaType(&aac.mt));
             return s.ServerVideo()->QueryAccept(&aac.mt);
         }},
    };
    for (const auto& c : kCases)
    {
        SCOPED_TRACE(c.pszWhat);
        CFilterSet set;
        ASSERT_TRUE(set.IsComplete());
        EXPECT_EQ(c.hrExpected, c.attempt(set));
    }
}

TEST_F(FilterContractTest, ARunningGraphRefusesConnectionChangesAndModes)
{
    CFilterSet set;
    ASSERT_TRUE(set.IsComplete());
    ASSERT_EQ(S_OK, set.ConnectVideo()); // the audio branch stays free
    CComPtr<IMediaControl> spControl;
    ASSERT_EQ(S_OK, set.m_spGraph.QueryInterface(&spControl));
    ASSERT_TRUE(SUCCEEDED(spControl->Run()));
    OAFilterState eState = State_Stopped;
    EXPECT_EQ(S_OK, spControl->GetState(2000, &eState));
    EXPECT_EQ(State_Running, eState);

    EXPECT_EQ(VFW_E_NOT_STOPPED, set.GenAudio()->Connect(set.AacIn(), nullptr));
    EXPECT_EQ(VFW_E_NOT_STOPPED, set.GenVideo()->Disconnect());
    EXPECT_EQ(VFW_E_NOT_STOPPED, set.ServerVideo()->Disconnect());
    CComPtr<IVelkVideoGenerator> spGen;
    ASSERT_EQ(S_OK, set.m_spGenerator->QueryInterface(IID_IVelkVideoGenerator, reinterpret_cast<void**>(&spGen)));
    EXPECT_EQ(VFW_E_NOT_STOPPED, spGen->SetMode(VelkModeShortStream));

    EXPECT_EQ(S_OK, spControl->Stop());
    EXPECT_EQ(S_OK, spGen->SetMode(VelkModeShortStream));
    EXPECT_EQ(E_INVALIDARG, spGen->SetMode(0));
    EXPECT_EQ(S_OK, set.GenVideo()->Disconnect());
    EXPECT_EQ(S_FALSE, set.GenVideo()->Disconnect()) << "nothing left to disconnect";
}

TEST_F(FilterContractTest, NullPointersAreRefused)
{
    CFilterSet set;
    ASSERT_TRUE(set.IsComplete());
    for (IBaseFilter* pFilter : {set.m_spGenerator.p, set.m_spH264.p, set.m_spAac.p, set.m_spServer.p})
    {
        FILTER_INFO info = {};
        pFilter->QueryFilterInfo(&info);
        SCOPED_TRACE(std::wstring(info.achName));
        if (info.pGraph != nullptr)
            info.pGraph->Release();

        EXPECT_EQ(E_POINTER, pFilter->EnumPins(nullptr));
        EXPECT_EQ(E_POINTER, pFilter->FindPin(L"Video", nullptr));
        EXPECT_EQ(E_POINTER, pFilter->QueryFilterInfo(nullptr));
        EXPECT_EQ(E_POINTER, pFilter->GetState(0, nullptr));
        EXPECT_EQ(E_POINTER, pFilter->GetClassID(nullptr));
        EXPECT_EQ(E_POINTER, pFilter->GetSyncSource(nullptr));
        for (PIN_DIRECTION eDirection : {PINDIR_INPUT, PINDIR_OUTPUT})
        {
            for (int i = 0;; ++i)
            {
                CComPtr<IPin> spPin = PinOf(pFilter, eDirection, i);
                if (!spPin)
                    break;
                EXPECT_EQ(E_POINTER, spPin->Connect(nullptr, nullptr));
                EXPECT_EQ(E_POINTER, spPin->ReceiveConnection(nullptr, nullptr));
                EXPECT_EQ(E_POINTER, spPin->ConnectedTo(nullptr));
                EXPECT_EQ(E_POINTER, spPin->ConnectionMediaType(nullptr));
                EXPECT_EQ(E_POINTER, spPin->QueryPinInfo(nullptr));
                EXPECT_EQ(E_POINTER, spPin->QueryDirection(nullptr));
                EXPECT_EQ(E_POINTER, spPin->QueryId(nullptr));
                EXPECT_EQ(E_POINTER, spPin->QueryAccept(nullptr));
                EXPECT_EQ(E_POINTER, spPin->EnumMediaTypes(nullptr));
                CComPtr<IMemInputPin> spMemInput;
                if (SUCCEEDED(spPin.QueryInterface(&spMemInput)))
                {
                    EXPECT_EQ(E_POINTER, spMemInput->GetAllocator(nullptr));
                    EXPECT_EQ(E_POINTER, spMemInput->NotifyAllocator(nullptr, FALSE));
                    EXPECT_EQ(E_POINTER, spMemInput->Receive(nullptr));
                }
            }
        }
    }

    CComPtr<IMediaSeeking> spSeeking;
    ASSERT_EQ(S_OK, set.GenVideo().QueryInterface(&spSeeking));
    EXPECT_EQ(E_POINTER, spSeeking->GetDuration(nullptr));
    EXPECT_EQ(E_POINTER, spSeeking->GetCurrentPosition(nullptr));
    EXPECT_EQ(E_POINTER, spSeeking->SetPositions(nullptr, AM_SEEKING_AbsolutePositioning, nullptr, 0));
    CComPtr<IVelkGeneratorStatistics> spGenStats;
    ASSERT_EQ(S_OK, set.m_spGenerator->QueryInterface(IID_IVelkGeneratorStatistics,
                                                     reinterpret_cast<void**>(&spGenStats)));
    EXPECT_EQ(E_POINTER, spGenStats->GetDeliveredSamples(VelkStreamVideo, nullptr));
    CComPtr<IVelkRtmpServerStatistics> spServerStats;
    ASSERT_EQ(S_OK, set.m_spServer->QueryInterface(IID_IVelkRtmpServerStatistics,
                                                  reinterpret_cast<void**>(&spServerStats)));
    EXPECT_EQ(E_POINTER, spServerStats->GetInputCount(nullptr));
    EXPECT_EQ(E_POINTER, spServerStats->GetInputStatistics(0, nullptr));
    VelkInputStatistics stats = {};
    EXPECT_EQ(E_INVALIDARG, spServerStats->GetInputStatistics(2, &stats));
    CComPtr<IVelkVersion> spVersion;
    ASSERT_EQ(S_OK, set.m_spServer->QueryInterface(IID_IVelkVersion, reinterpret_cast<void**>(&spVersion)));
    EXPECT_EQ(E_POINTER, spVersion->GetType(nullptr));
    EXPECT_EQ(E_POINTER, spVersion->GetOS(nullptr));
    EXPECT_EQ(E_POINTER, spVersion->GetName(nullptr));
    EXPECT_EQ(E_POINTER, spVersion->GetNumber(nullptr));
    EXPECT_EQ(E_POINTER, spVersion->GetDateTime(nullptr));
}

TEST_F(FilterContractTest, ServerNamesItsBuildInTheConsoleCaption)
{
    CComPtr<IBaseFilter> spServer;
    ASSERT_EQ(S_OK, spServer.CoCreateInstance(CLSID_VelkRtmpServer, nullptr, CLSCTX_INPROC_SERVER));
    CGraph graph;
    ASSERT_EQ(S_OK, spServer->QueryInterface(IID_IVelkRtmpServer,
                                            reinterpret_cast<void**>(&CGraphAccess::Server(graph))));
    CComBSTR cbsCaption;
    ASSERT_EQ(S_OK, graph.GetServerVersion(cbsCaption));
#ifdef NDEBUG
    const wchar_t* pszBuild = L"Release";
#else
    const wchar_t* pszBuild = L"Debug";
#endif
    wchar_t szName[64] = {}, szBuild[16] = {}, szNumber[16] = {};
    int nBits = 0, nYear = 0, nMonth = 0, nDay = 0, nHour = 0, nMinute = 0, nSecond = 0;
    ASSERT_EQ(10, std::swscanf(static_cast<BSTR>(cbsCaption), L"RTMP %63ls [%15ls %d] v.%15ls (%d-%d-%d %d:%d:%d)",
                               szName, szBuild, &nBits, szNumber, &nYear, &nMonth, &nDay, &nHour, &nMinute, &nSecond))
        << std::string(cbsCaption.m_str, cbsCaption.m_str + cbsCaption.Length());
    EXPECT_STREQ(L"Server", szName);
    EXPECT_STREQ(pszBuild, szBuild);
    EXPECT_EQ(static_cast<int>(sizeof(void*) * 8), nBits);
    EXPECT_STREQ(L"1.0.0", szNumber);
    EXPECT_GE(nYear, 2024);
    EXPECT_TRUE(nMonth >= 1 && nMonth <= 12 && nDay >= 1 && nDay <= 31 && nHour < 24 && nMinute < 60);
}

TEST_F(FilterContractTest, EveryClassIsRegisteredAsAnInprocServerOfTheDll)
{
    const struct
    {
        CLSID clsid;
        const wchar_t* pszName;
    } kClasses[] = {
        {CLSID_VelkVideoGenerator, VELK_NAME_VIDEO_GENERATOR},
        {CLSID_VelkH264Encoder, VELK_NAME_H264_ENCODER},
        {CLSID_VelkAACEncoder, VELK_NAME_AAC_ENCODER},
        {CLSID_VelkRtmpServer, VELK_NAME_RTMP_SERVER},
    };
    for (const auto& c : kClasses)
    {
        SCOPED_TRACE(std::wstring(c.pszName));
        wchar_t szClsid[40] = {};
        ::StringFromGUID2(c.clsid, szClsid, 40);
        const std::wstring key = std::wstring(L"CLSID\\") + szClsid;
        wchar_t sz[MAX_PATH] = {};
        DWORD cb = sizeof(sz);
        EXPECT_EQ(ERROR_SUCCESS, ::RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, sz, &cb));
        EXPECT_STREQ(c.pszName, sz);
        cb = sizeof(sz);
        EXPECT_EQ(ERROR_SUCCESS, ::RegGetValueW(HKEY_CLASSES_ROOT, (key + L"\\InprocServer32").c_str(), L"ThreadingModel",
                                                RRF_RT_REG_SZ, nullptr, sz, &cb));
        EXPECT_STREQ(L"Both", sz);
        const std::wstring path = RegisteredServer(c.clsid);
        EXPECT_TRUE(EndsWith(path, L"\\testbed\\filters\\VelkFilters.dll")) << std::string(path.begin(), path.end());
        EXPECT_NE(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(path.c_str()));
    }
}

TEST_F(FilterContractTest, ServerSeekingReachesBothGeneratorStreamsThroughTheEncoders)
{
    CFilterSet set;
    ASSERT_TRUE(set.IsComplete());
    ASSERT_EQ(S_OK, set.ConnectVideo());
    ASSERT_EQ(S_OK, set.ConnectAudio());
    CComPtr<IMediaSeeking> spServer;
    ASSERT_EQ(S_OK, set.m_spServer.QueryInterface(&spServer));

    LONGLONG llDuration = 0;
    EXPECT_EQ(S_OK, spServer->GetDuration(&llDuration));
    EXPECT_EQ(10 * kUnitsPerSecond, llDuration);
    DWORD dwCaps = AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanGetDuration;
    EXPECT_EQ(S_OK, spServer->CheckCapabilities(&dwCaps));

    LONGLONG llCurrent = 3 * kUnitsPerSecond;
    LONGLONG llStop = 5 * kUnitsPerSecond;
    EXPECT_EQ(S_OK, spServer->SetPositions(&llCurrent, AM_SEEKING_AbsolutePositioning, &llStop,
                                           AM_SEEKING_AbsolutePositioning));
    // Relative to the new stop, and clamped to the stream.
    LONGLONG llLater = 60 * kUnitsPerSecond;
    EXPECT_EQ(S_OK, spServer->SetPositions(nullptr, AM_SEEKING_NoPositioning, &llLater,
                                           AM_SEEKING_RelativePositioning | AM_SEEKING_ReturnTime));
    EXPECT_EQ(10 * kUnitsPerSecond, llLater);

    for (IPin* pPin : {set.GenVideo().p, set.GenAudio().p, set.H264Out().p, set.AacOut().p})
    {
        CComPtr<IMediaSeeking> spSeeking;
        ASSERT_EQ(S_OK, pPin->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(&spSeeking)));
        LONGLONG llPinCurrent = -1, llPinStop = -1;
        EXPECT_EQ(S_OK, spSeeking->GetPositions(&llPinCurrent, &llPinStop));
        EXPECT_EQ(3 * kUnitsPerSecond, llPinCurrent);
        EXPECT_EQ(10 * kUnitsPerSecond, llPinStop);
    }
    EXPECT_EQ(E_INVALIDARG, spServer->SetRate(2.0)) << "the test stream plays at its own pace";
    GUID frames = TIME_FORMAT_FRAME;
    EXPECT_EQ(E_INVALIDARG, spServer->SetTimeFormat(&frames));
}
