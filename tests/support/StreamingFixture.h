// The default streaming graph in the real console: a fixture that builds it,
// reads its progress and the filters' statistics, for the tests that play it.
#pragma once

#include <gtest/gtest.h>

#include "Diagnostics.h"
#include "MainDialog.h"
#include "TestUtil.h"
#include "WindowDriver.h"

#include <commctrl.h>

#include <cwchar>
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


inline constexpr REFERENCE_TIME kUnitsPerSecond = 10000000;
inline constexpr REFERENCE_TIME kUnitsPerMs = 10000;

// Position and duration in milliseconds, as the progress text shows them.
struct Progress
{
    bool bShown = false;
    int nPositionMs = 0;
    int nDurationMs = 0;
};

inline Progress ParseProgress(const std::wstring& text)
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


// A filter of the graph by its name; null when there is none.
inline CComPtr<IBaseFilter> FilterNamed(IGraphBuilder* pGraph, LPCWSTR pszName)
{
    CComPtr<IBaseFilter> spFilter;
    if (pGraph != nullptr)
        pGraph->FindFilterByName(pszName, &spFilter);
    return spFilter;
}

// An interface of the named filter, by its id; null when either is missing.
template <class I>
CComPtr<I> FilterInterface(IGraphBuilder* pGraph, LPCWSTR pszName, REFIID riid)
{
    CComPtr<I> sp;
    if (CComPtr<IBaseFilter> spFilter = FilterNamed(pGraph, pszName))
        spFilter->QueryInterface(riid, reinterpret_cast<void**>(&sp));
    return sp;
}

class StreamingTest : public ::testing::Test
{
protected:
    // Runs fn with the console's graph manager on the dialog's thread: the
    // graph and its filters belong to the dialog's apartment.
    template <class F>
    auto OnGraph(F fn) -> decltype(fn(static_cast<IGraphBuilder*>(nullptr)))
    {
        return host.OnDialogThread([&] { return fn(CGraphAccess::Manager(CMainDialogAccess::Graph(host.Object()))); });
    }

    // "Default graph", which must show no message box.
    void BuildDefaultGraph()
    {
        ASSERT_TRUE(host.Click(IDC_DEFAULT));
        ASSERT_EQ(nullptr, host.WaitForMessageBox(0)) << "a message box after Default graph";
        ASSERT_TRUE(OnGraph([](IGraphBuilder* pGraph) {
            return FilterNamed(pGraph, VELK_NAME_VIDEO_GENERATOR) && FilterNamed(pGraph, VELK_NAME_RTMP_SERVER);
        })) << "the graph holds the generator and the server";
    }

    void SelectShortStream()
    {
        ASSERT_EQ(S_OK, OnGraph([](IGraphBuilder* pGraph) {
                      auto spGen = FilterInterface<IVelkVideoGenerator>(pGraph, VELK_NAME_VIDEO_GENERATOR,
                                                                        IID_IVelkVideoGenerator);
                      return spGen ? spGen->SetMode(VelkModeShortStream) : E_NOINTERFACE;
                  }));
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
        EXPECT_EQ(S_OK, OnGraph([&](IGraphBuilder* pGraph) {
                      auto spStats = FilterInterface<IVelkRtmpServerStatistics>(pGraph, VELK_NAME_RTMP_SERVER,
                                                                                IID_IVelkRtmpServerStatistics);
                      return spStats ? spStats->GetInputStatistics(nInput, &stats) : E_NOINTERFACE;
                  }));
        return stats;
    }

    LONGLONG Delivered(LONG eStream)
    {
        LONGLONG cSamples = -1;
        EXPECT_EQ(S_OK, OnGraph([&](IGraphBuilder* pGraph) {
                      auto spStats = FilterInterface<IVelkGeneratorStatistics>(pGraph, VELK_NAME_VIDEO_GENERATOR,
                                                                               IID_IVelkGeneratorStatistics);
                      return spStats ? spStats->GetDeliveredSamples(eStream, &cSamples) : E_NOINTERFACE;
                  }));
        return cSamples;
    }

    // Everything the generator delivered on both streams was presented, in
    // order, up to rtEnd; seeks (each a flush and a new segment) are the only
    // discontinuities after the first sample. The AAC Encoder makes one
    // access unit of each of the generator's buffers of 1024 frames (the last
    // one padded) and one more at the end, which brings out the last samples:
    // the sound goes on one or two units past the picture.
    void ExpectCompleteStreams(REFERENCE_TIME rtEnd, LONG cSeeks)
    {
        for (LONG nInput : {0L, 1L})
        {
            SCOPED_TRACE(nInput == 0 ? "video" : "audio");
            const VelkInputStatistics stats = Statistics(nInput);
            EXPECT_EQ(Delivered(nInput) + nInput, stats.cSamples);
            EXPECT_EQ(0, stats.cGaps);
            EXPECT_EQ(1 + cSeeks, stats.cDiscontinuities);
            EXPECT_EQ(cSeeks, stats.cFlushes);
            EXPECT_EQ(1 + cSeeks, stats.cSegments);
            EXPECT_EQ(1, stats.cEndOfStream);
            if (nInput == 0)
            {
                EXPECT_EQ(rtEnd, stats.rtSegmentStart + stats.rtLast);
            }
            else
            {
                EXPECT_GE(stats.rtSegmentStart + stats.rtLast, rtEnd + kAudioUnit - 1);
                EXPECT_LT(stats.rtSegmentStart + stats.rtLast, rtEnd + 2 * kAudioUnit);
            }
            EXPECT_GT(stats.cbData, 0);
        }
    }

    // An access unit of 1024 samples at 48 kHz, rounded up.
    static constexpr REFERENCE_TIME kAudioUnit = (1024 * kUnitsPerSecond + 47999) / 48000;

    CMultiThreadedApartment m_apartment;
    CDiagnosticsRecorder diag;
    CDialogHost host;
};

