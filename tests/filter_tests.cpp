// The stand-in filters of VelkFilters.dll under stress: created by class id
// from the registered DLL and driven through Wine's graph manager, next to a
// renderer of the test's own (built on the same filter library) that can
// fail a sample or hold one.
#include <gtest/gtest.h>

#include <atlbase.h>

#include "TestUtil.h"
#include "VelkFilters.h"

#include "Filter.h"
#include "InputPin.h"
#include "OutputPin.h"
#include "MediaTime.h"

#include <dshow.h>
#include <dvdmedia.h>
#include <mmreg.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace
{

constexpr REFERENCE_TIME kUnitsPerSecond = 10000000;
// What a filter's streaming thread is given to get somewhere; far more than
// it needs, so that only a filter that never gets there fails.
constexpr DWORD kPatienceMs = 10000;

// The subtypes the filters stream, as mingw-w64's uuids.h lacks two of them.
constexpr GUID kSubtypeH264 = {0x34363248, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
constexpr GUID kSubtypeRawAac1 = {0x000000ff, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

class CEvent
{
public:
    CEvent() : m_h(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~CEvent()
    {
        if (m_h != nullptr)
            ::CloseHandle(m_h);
    }
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    void Set() { ::SetEvent(m_h); }
    bool Wait(DWORD dwMilliseconds) { return ::WaitForSingleObject(m_h, dwMilliseconds) == WAIT_OBJECT_0; }

private:
    HANDLE m_h;
};

// ---------------------------------------------------------------------------
// The test's renderer

// {6B1F3C52-0D4B-4E36-9A0E-51C2D7A4E8F1}
constexpr CLSID kClsidTestFilter = {0x6b1f3c52, 0x0d4b, 0x4e36, {0x9a, 0x0e, 0x51, 0xc2, 0xd7, 0xa4, 0xe8, 0xf1}};

enum class SinkMode
{
    Take, // presents every sample at once
    Fail, // refuses every sample with a status of its own, as a foreign filter may
    Hold, // holds the first sample until released
    Record, // presents every sample at once and keeps all of its bytes
};

// The head of a sample the sink took, with its flags.
struct SampleHead
{
    bool bSyncPoint;
    bool bDiscontinuity;
    std::vector<BYTE> head; // the first bytes
    REFERENCE_TIME rtStart; // -1 without a time
    REFERENCE_TIME rtStop;
};

class CSinkPin : public CInputPinBase
{
public:
    static constexpr size_t kKeptSamples = 200;
    static constexpr size_t kKeptBytes = 256;

    CSinkPin(CFilterBase* pFilter, SinkMode eMode, HRESULT hrFailure)
        : CInputPinBase(pFilter, L"In"), m_eMode(eMode), m_hrFailure(hrFailure)
    {
    }

    // Any type: the pins under test must refuse what they cannot take.
    HRESULT CheckMediaType(const AM_MEDIA_TYPE&) override { return S_OK; }

    // A failing sink answers its status itself, like a filter that does not
    // report its own failures; the upstream filter must.
    STDMETHODIMP Receive(IMediaSample* pSample) override
    {
        ++m_cReceiveCalls;
        if (m_eMode == SinkMode::Fail)
            return m_hrFailure;
        if (m_eMode == SinkMode::Hold && !m_bHeldOnce.exchange(true))
        {
            m_holding.Set();
            m_release.Wait(INFINITE);
        }
        return CInputPinBase::Receive(pSample);
    }

    // A held sample goes on, at the latest when the sink stops.
    void ReleaseHeldSample() { m_release.Set(); }
    void Inactive() override
    {
        m_release.Set();
        CInputPinBase::Inactive();
    }
    bool WaitUntilHolding(DWORD dwMilliseconds) { return m_holding.Wait(dwMilliseconds); }
    LONG ReceiveCalls() const { return m_cReceiveCalls; }
    LONG EndsOfStream() const { return m_cEndOfStream; }
    // The first samples taken, as the streaming thread passed them.
    std::vector<SampleHead> Samples() const
    {
        std::lock_guard<std::mutex> lock(m_samplesLock);
        return m_samples;
    }

protected:
    HRESULT OnReceive(IMediaSample* pSample) override
    {
        BYTE* pb = nullptr;
        const long cb = pSample->GetActualDataLength();
        if (FAILED(pSample->GetPointer(&pb)) || cb < 0)
            return S_OK;
        const bool bWhole = m_eMode == SinkMode::Record;
        REFERENCE_TIME rtStart = -1;
        REFERENCE_TIME rtStop = -1;
        if (pSample->GetTime(&rtStart, &rtStop) != S_OK)
            rtStart = rtStop = -1;
        std::lock_guard<std::mutex> lock(m_samplesLock);
        if (bWhole || m_samples.size() < kKeptSamples)
            m_samples.push_back({pSample->IsSyncPoint() == S_OK, pSample->IsDiscontinuity() == S_OK,
                                 std::vector<BYTE>(pb, pb + (bWhole ? static_cast<size_t>(cb)
                                                                    : std::min<size_t>(static_cast<size_t>(cb),
                                                                                       kKeptBytes))),
                                 rtStart, rtStop});
        return S_OK;
    }
    HRESULT OnEndOfStream() override
    {
        ++m_cEndOfStream;
        return S_OK;
    }
    HRESULT OnBeginFlush() override { return S_OK; }
    HRESULT OnEndFlush() override { return S_OK; }
    HRESULT OnNewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return S_OK; }

private:
    const SinkMode m_eMode;
    const HRESULT m_hrFailure;
    std::atomic<LONG> m_cReceiveCalls{0};
    std::atomic<LONG> m_cEndOfStream{0};
    std::atomic<bool> m_bHeldOnce{false};
    CEvent m_holding;
    CEvent m_release;
    mutable std::mutex m_samplesLock;
    std::vector<SampleHead> m_samples;
};

// An output pin of the test's own: it offers one type, and the test's thread
// delivers samples through it with any times it likes.
class CSourcePin : public COutputPinBase
{
public:
    CSourcePin(CFilterBase* pFilter, const AM_MEDIA_TYPE& mt, long cbBuffer = kSampleBytes)
        : COutputPinBase(pFilter, L"Out"), m_cbBuffer(cbBuffer)
    {
        m_hrType = m_type.Set(mt);
    }

    HRESULT CheckMediaType(const AM_MEDIA_TYPE& mt) override
    {
        return IsSameMediaType(mt, m_type.Get()) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT GetMediaType(int nIndex, CMediaTypeHolder& mt) override
    {
        if (nIndex < 0)
            return E_INVALIDARG;
        if (FAILED(m_hrType))
            return m_hrType;
        return nIndex == 0 ? mt.Set(m_type.Get()) : VFW_S_NO_MORE_ITEMS;
    }

    // One small sample covering [rtStart, rtStart + 1); what downstream answers.
    HRESULT DeliverAt(REFERENCE_TIME rtStart) { return DeliverSized(rtStart, kSampleBytes); }

    // A sample of cbData zero bytes (at most the buffer's size).
    HRESULT DeliverSized(REFERENCE_TIME rtStart, long cbData)
    {
        CComRef<IMediaSample> spSample;
        HRESULT hr = GetDeliveryBuffer(spSample);
        if (FAILED(hr))
            return hr;
        REFERENCE_TIME rtStop = rtStart + 1;
        hr = spSample->SetTime(&rtStart, &rtStop);
        BYTE* pb = nullptr;
        if (SUCCEEDED(hr))
            hr = spSample->GetPointer(&pb);
        if (SUCCEEDED(hr))
        {
            std::memset(pb, 0, static_cast<size_t>(m_cbBuffer));
            hr = spSample->SetActualDataLength(cbData);
        }
        return SUCCEEDED(hr) ? Deliver(spSample.Get()) : hr;
    }

protected:
    void GetBufferRequirements(ALLOCATOR_PROPERTIES& props) override
    {
        props.cBuffers = 2;
        props.cbBuffer = m_cbBuffer;
        props.cbAlign = 1;
        props.cbPrefix = 0;
    }

private:
    static constexpr long kSampleBytes = 16;

    const long m_cbBuffer;
    CMediaTypeHolder m_type;
    HRESULT m_hrType = S_OK;
};

// A filter of the test's own with one pin of class TPin.
template <class TPin>
class CSinglePinFilter : public CFilterBase
{
public:
    // A new filter, owned by the returned pointer; its pin goes to ppPin.
    template <class... TArgs>
    static CComPtr<IBaseFilter> Create(TPin** ppPin, TArgs&&... args)
    {
        auto* pFilter = new CSinglePinFilter(std::forward<TArgs>(args)...);
        *ppPin = &pFilter->m_pin;
        CComPtr<IBaseFilter> sp;
        sp.Attach(pFilter);
        return sp;
    }

    int PinCount() const override { return 1; }
    CPinBase* PinAt(int nIndex) override { return nIndex == 0 ? &m_pin : nullptr; }

private:
    template <class... TArgs>
    explicit CSinglePinFilter(TArgs&&... args) : CFilterBase(kClsidTestFilter), m_pin(this, std::forward<TArgs>(args)...)
    {
    }
    ~CSinglePinFilter() override = default;

    TPin m_pin;
};

// ---------------------------------------------------------------------------
// Graphs

CComPtr<IPin> PinOf(IBaseFilter* pFilter, PIN_DIRECTION eWanted, int nIndex)
{
    CComPtr<IEnumPins> spEnum;
    if (FAILED(pFilter->EnumPins(&spEnum)))
        return nullptr;
    for (;;)
    {
        CComPtr<IPin> spPin;
        if (spEnum->Next(1, &spPin, nullptr) != S_OK)
            return nullptr;
        PIN_DIRECTION eDirection = PINDIR_INPUT;
        if (SUCCEEDED(spPin->QueryDirection(&eDirection)) && eDirection == eWanted && nIndex-- == 0)
            return spPin;
    }
}

template <class T>
CComPtr<T> Query(IUnknown* pUnknown, REFIID riid)
{
    CComPtr<T> sp;
    EXPECT_EQ(S_OK, pUnknown->QueryInterface(riid, reinterpret_cast<void**>(&sp)));
    return sp;
}

// A graph manager of Wine's with the filters a test adds; stopped when it goes.
class CTestGraph
{
public:
    CTestGraph() { EXPECT_EQ(S_OK, m_spGraph.CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER)); }
    ~CTestGraph()
    {
        if (m_spGraph)
            Control()->Stop();
    }
    CTestGraph(const CTestGraph&) = delete;
    CTestGraph& operator=(const CTestGraph&) = delete;

    CComPtr<IBaseFilter> Add(REFCLSID clsid, LPCWSTR pszName)
    {
        CComPtr<IBaseFilter> spFilter;
        EXPECT_EQ(S_OK, spFilter.CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER));
        if (spFilter)
            Add(spFilter, pszName);
        return spFilter;
    }
    void Add(IBaseFilter* pFilter, LPCWSTR pszName) { EXPECT_EQ(S_OK, m_spGraph->AddFilter(pFilter, pszName)); }

    HRESULT Connect(IBaseFilter* pFrom, int nOutput, IBaseFilter* pTo, int nInput)
    {
        const CComPtr<IPin> spOut = PinOf(pFrom, PINDIR_OUTPUT, nOutput);
        const CComPtr<IPin> spIn = PinOf(pTo, PINDIR_INPUT, nInput);
        if (!spOut || !spIn)
            return E_UNEXPECTED;
        return m_spGraph->ConnectDirect(spOut, spIn, nullptr);
    }

    CComPtr<IMediaControl> Control() { return Query<IMediaControl>(m_spGraph, IID_IMediaControl); }
    CComPtr<IMediaSeeking> Seeking() { return Query<IMediaSeeking>(m_spGraph, IID_IMediaSeeking); }
    // Without a clock the graph streams as fast as its filters go.
    HRESULT RunWithoutClock()
    {
        const HRESULT hr = Query<IMediaFilter>(m_spGraph, IID_IMediaFilter)->SetSyncSource(nullptr);
        return FAILED(hr) ? hr : Control()->Run();
    }

    // Runs the graph; a pause that completes later is fine.
    void Run() { EXPECT_TRUE(SUCCEEDED(Control()->Run())); }

    // Waits for an event of the given code; false when none came in time.
    // The codes that came before it go to seen.
    bool WaitForEvent(long lWanted, LONG_PTR* plParam1, DWORD dwTimeoutMs, std::vector<long>* pSeen = nullptr)
    {
        const CComPtr<IMediaEvent> spEvents = Query<IMediaEvent>(m_spGraph, IID_IMediaEvent);
        const DWORD dwStart = ::GetTickCount();
        for (;;)
        {
            const DWORD dwElapsed = ::GetTickCount() - dwStart;
            const long lWait = dwTimeoutMs > dwElapsed ? static_cast<long>(dwTimeoutMs - dwElapsed) : 0;
            long lCode = 0;
            LONG_PTR lParam1 = 0, lParam2 = 0;
            const HRESULT hrGet = spEvents->GetEvent(&lCode, &lParam1, &lParam2, lWait);
            // Wine's queue answers E_ABORT at once when it has just been
            // emptied: only the time running out ends the wait.
            if (hrGet == E_ABORT && lWait > 0)
                continue;
            if (hrGet != S_OK)
                return false;
            spEvents->FreeEventParams(lCode, lParam1, lParam2);
            if (lCode == lWanted)
            {
                if (plParam1 != nullptr)
                    *plParam1 = lParam1;
                return true;
            }
            if (pSeen != nullptr)
                pSeen->push_back(lCode);
        }
    }

private:
    CComPtr<IGraphBuilder> m_spGraph;
};

// The generator, an encoder when one is named, and the test's sink, in a line.
class CChainGraph : public CTestGraph
{
public:
    CChainGraph(int nGeneratorPin, const CLSID* pclsidEncoder, SinkMode eMode, HRESULT hrFailure = S_OK)
        : m_spGenerator(Add(CLSID_VelkVideoGenerator, VELK_NAME_VIDEO_GENERATOR)),
          m_spSink(CSinglePinFilter<CSinkPin>::Create(&m_pSink, eMode, hrFailure))
    {
        Add(m_spSink, L"Sink");
        if (pclsidEncoder == nullptr)
        {
            m_hrConnect = Connect(m_spGenerator, nGeneratorPin, m_spSink, 0);
            return;
        }
        m_spEncoder = Add(*pclsidEncoder, L"Encoder");
        m_hrConnect = Connect(m_spGenerator, nGeneratorPin, m_spEncoder, 0);
        if (SUCCEEDED(m_hrConnect))
            m_hrConnect = Connect(m_spEncoder, 0, m_spSink, 0);
    }

    HRESULT ConnectStatus() const { return m_hrConnect; }
    IBaseFilter* Encoder() const { return m_spEncoder; }
    IBaseFilter* SinkFilter() const { return m_spSink; }
    CSinkPin& Sink() const { return *m_pSink; }

private:
    CComPtr<IBaseFilter> m_spGenerator;
    CComPtr<IBaseFilter> m_spEncoder;
    CSinkPin* m_pSink = nullptr;
    CComPtr<IBaseFilter> m_spSink;
    HRESULT m_hrConnect = E_FAIL;
};

class FilterTest : public ::testing::Test
{
protected:
    CMultiThreadedApartment m_apartment;
};

} // namespace

// ---------------------------------------------------------------------------
// Streaming failures reach the graph

namespace
{

struct FailureCase
{
    const char* pszName;
    int nGeneratorPin;        // VelkStreamVideo or VelkStreamAudio
    const CLSID* pclsidEncoder; // between the generator and the sink, or null
    HRESULT hrSink;           // what the sink answers each sample
    bool bAborts;             // EC_ERRORABORT with hrSink is due
};

const FailureCase kFailureCases[] = {
    {"generator video", VelkStreamVideo, nullptr, E_FAIL, true},
    {"generator audio", VelkStreamAudio, nullptr, E_OUTOFMEMORY, true},
    {"H264 encoder", VelkStreamVideo, &CLSID_VelkH264Encoder, E_FAIL, true},
    {"AAC encoder", VelkStreamAudio, &CLSID_VelkAACEncoder, VFW_E_BUFFER_OVERFLOW, true},
    {"generator, stopping sink", VelkStreamVideo, nullptr, VFW_E_WRONG_STATE, false},
    {"H264 encoder, stopping sink", VelkStreamVideo, &CLSID_VelkH264Encoder, VFW_E_WRONG_STATE, false},
};

} // namespace

// A real failure ends the stream and says so, once; a neighbour that is
// stopping is no failure.
TEST_F(FilterTest, AStreamingFailureAbortsTheGraphAndEndsTheStream)
{
    for (const FailureCase& c : kFailureCases)
    {
        SCOPED_TRACE(c.pszName);
        CChainGraph graph(c.nGeneratorPin, c.pclsidEncoder, SinkMode::Fail, c.hrSink);
        ASSERT_EQ(S_OK, graph.ConnectStatus());
        CSinkPin* const pSink = &graph.Sink();
        graph.Run();
        if (c.bAborts)
        {
            LONG_PTR lStatus = 0;
            std::vector<long> seen;
            ASSERT_TRUE(graph.WaitForEvent(EC_ERRORABORT, &lStatus, kPatienceMs, &seen))
                << "the failure was dropped; " << ::testing::PrintToString(seen) << " came instead";
            EXPECT_EQ(c.hrSink, static_cast<HRESULT>(lStatus));
            EXPECT_TRUE(WaitUntil([&] { return pSink->EndsOfStream() == 1; }, kPatienceMs))
                << "the stream was not ended downstream";
        }
        else
        {
            ASSERT_TRUE(WaitUntil([&] { return pSink->ReceiveCalls() > 0; }, kPatienceMs));
            // Stop ends the streaming thread; whatever it reported is queued.
            EXPECT_EQ(S_OK, graph.Control()->Stop());
            EXPECT_FALSE(graph.WaitForEvent(EC_ERRORABORT, nullptr, 0));
            EXPECT_EQ(0, pSink->EndsOfStream());
        }
        EXPECT_EQ(1, pSink->ReceiveCalls()) << "streaming went on after the failure";
    }
}

// ---------------------------------------------------------------------------
// What the H.264 encoder emits

// The types of the NAL units at the head of an Annex B access unit.
std::vector<int> NalTypes(const std::vector<BYTE>& head)
{
    std::vector<int> types;
    for (size_t i = 0; i + 3 < head.size(); ++i)
    {
        if (head[i] == 0 && head[i + 1] == 0 && head[i + 2] == 1)
        {
            types.push_back(head[i + 3] & 0x1F);
            i += 3;
        }
    }
    return types;
}

constexpr int kNalSlice = 1;
constexpr int kNalIdr = 5;
constexpr int kNalSps = 7;
constexpr int kNalPps = 8;

TEST_F(FilterTest, H264EncoderStartsEverySecondAndEverySeekWithAnIdrAndItsParameterSets)
{
    CChainGraph graph(VelkStreamVideo, &CLSID_VelkH264Encoder, SinkMode::Take);
    ASSERT_EQ(S_OK, graph.ConnectStatus());
    CSinkPin& sink = graph.Sink();
    graph.Run();
    ASSERT_TRUE(WaitUntil([&] { return sink.Samples().size() >= 30; }, kPatienceMs));

    // The first picture and every 25th: a key frame; the others P slices.
    std::vector<SampleHead> samples = sink.Samples();
    for (size_t i = 0; i < 30; ++i)
    {
        SCOPED_TRACE(i);
        const bool bKey = i % 25 == 0;
        EXPECT_EQ(bKey, samples[i].bSyncPoint);
        EXPECT_EQ(bKey ? (std::vector<int>{kNalSps, kNalPps, kNalIdr}) : std::vector<int>{kNalSlice},
                  NalTypes(samples[i].head));
    }

    // After a seek the next picture is a key frame again. The sink does not
    // seek, so the seek goes to the encoder's output, as a renderer's would.
    const CComPtr<IMediaSeeking> spSeeking =
        Query<IMediaSeeking>(PinOf(graph.Encoder(), PINDIR_OUTPUT, 0), IID_IMediaSeeking);
    ASSERT_TRUE(spSeeking != nullptr);
    const size_t cBefore = sink.Samples().size();
    LONGLONG llPosition = 3 * 10000000LL + 1230000;
    ASSERT_EQ(S_OK, spSeeking->SetPositions(&llPosition, AM_SEEKING_AbsolutePositioning, nullptr,
                                            AM_SEEKING_NoPositioning));
    ASSERT_TRUE(WaitUntil(
        [&] {
            const std::vector<SampleHead> now = sink.Samples();
            return std::any_of(now.begin() + static_cast<std::ptrdiff_t>(cBefore), now.end(),
                               [](const SampleHead& head) { return head.bDiscontinuity; });
        },
        kPatienceMs));
    samples = sink.Samples();
    const auto itSeek = std::find_if(samples.begin() + static_cast<std::ptrdiff_t>(cBefore), samples.end(),
                                     [](const SampleHead& head) { return head.bDiscontinuity; });
    ASSERT_NE(samples.end(), itSeek);
    EXPECT_TRUE(itSeek->bSyncPoint);
    EXPECT_EQ((std::vector<int>{kNalSps, kNalPps, kNalIdr}), NalTypes(itSeek->head));
}

// ---------------------------------------------------------------------------
// Stop against streaming

// The encoder's Stop returns only once the sample it is passing on has come
// back, and it holds no lock meanwhile: its state can be asked.
TEST_F(FilterTest, StopWaitsForTheSampleInProgressWithoutHoldingTheFilter)
{
    CChainGraph graph(VelkStreamVideo, &CLSID_VelkH264Encoder, SinkMode::Hold);
    ASSERT_EQ(S_OK, graph.ConnectStatus());
    IBaseFilter* const pEncoder = graph.Encoder();
    CSinkPin* const pSink = &graph.Sink();
    graph.Run();
    ASSERT_TRUE(pSink->WaitUntilHolding(kPatienceMs));

    std::atomic<bool> bStopped{false};
    HRESULT hrStop = E_FAIL;
    std::thread stopper([&] {
        const CMultiThreadedApartment apartment;
        hrStop = pEncoder->Stop();
        bStopped = true;
    });
    EXPECT_TRUE(WaitUntil(
        [&] {
            FILTER_STATE eState = State_Running;
            return SUCCEEDED(pEncoder->GetState(0, &eState)) && eState == State_Stopped;
        },
        kPatienceMs))
        << "the state could not be asked while Stop waited";
    // Given every chance to return early.
    EXPECT_FALSE(WaitUntil([&] { return bStopped.load(); }, 300)) << "Stop returned with a sample in the filter";
    pSink->ReleaseHeldSample();
    stopper.join();
    EXPECT_EQ(S_OK, hrStop);
}

// ---------------------------------------------------------------------------
// End of stream against a flush

// An upstream thread sends the end of its stream while a seek flushes: the
// seek waits for that call before it ends the flush, as sources do. Whatever
// the interleaving, the input takes the new stream after the flush.
TEST_F(FilterTest, AnEndOfStreamOvertakenByAFlushDoesNotCloseTheInput)
{
    CChainGraph graph(VelkStreamVideo, &CLSID_VelkH264Encoder, SinkMode::Take);
    ASSERT_EQ(S_OK, graph.ConnectStatus());
    IBaseFilter* const pEncoder = graph.Encoder();
    // The generator stays stopped: the test is the upstream thread.
    ASSERT_TRUE(SUCCEEDED(graph.SinkFilter()->Pause()));
    ASSERT_TRUE(SUCCEEDED(pEncoder->Pause()));
    const CComPtr<IPin> spInput = PinOf(pEncoder, PINDIR_INPUT, 0);
    IPin* const pInput = spInput;

    constexpr int kRounds = 20000;
    std::atomic<int> nGo{0};
    std::atomic<int> nSent{0};
    std::thread upstream([&] {
        for (int i = 1; i <= kRounds; ++i)
        {
            while (nGo.load() < i)
                std::this_thread::yield();
            pInput->EndOfStream();
            nSent = i;
        }
    });
    int cClosed = 0;
    HRESULT hrFirst = S_OK;
    for (int i = 1; i <= kRounds; ++i)
    {
        nGo = i;
        // A different moment each round, so that the flush meets the end
        // of stream at every point of its call.
        for (volatile int nSpin = 0; nSpin < i % 97; ++nSpin)
        {
        }
        pInput->BeginFlush();
        while (nSent.load() < i)
            std::this_thread::yield();
        pInput->EndFlush();
        const HRESULT hr = pInput->EndOfStream();
        if (hr != S_OK && cClosed++ == 0)
            hrFirst = hr;
        // Clears the probe's own end for the next round.
        pInput->BeginFlush();
        pInput->EndFlush();
    }
    upstream.join();
    EXPECT_EQ(0, cClosed) << "the input refused the stream after a flush, first with 0x" << std::hex << hrFirst;
    pEncoder->Stop();
    graph.SinkFilter()->Stop();
}

// ---------------------------------------------------------------------------
// Hostile media types

namespace
{

struct HostileType
{
    const char* pszName;
    AM_MEDIA_TYPE mt;
    std::vector<BYTE> format; // the block pbFormat points at, when it is a real one
};

VIDEOINFOHEADER PlainVideoInfo()
{
    VIDEOINFOHEADER vih = {};
    vih.AvgTimePerFrame = kUnitsPerSecond / 25;
    vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vih.bmiHeader.biWidth = 640;
    vih.bmiHeader.biHeight = 360;
    vih.bmiHeader.biPlanes = 1;
    vih.bmiHeader.biBitCount = 32;
    vih.bmiHeader.biSizeImage = 640 * 360 * 4;
    return vih;
}

WAVEFORMATEX PlainPcm()
{
    WAVEFORMATEX wfx = {};
    wfx.wFormatTag = WAVE_FORMAT_PCM;
    wfx.nChannels = 2;
    wfx.nSamplesPerSec = 48000;
    wfx.wBitsPerSample = 16;
    wfx.nBlockAlign = 4;
    wfx.nAvgBytesPerSec = 48000 * 4;
    return wfx;
}

template <class TFormat>
HostileType MakeType(const char* pszName, REFGUID major, REFGUID sub, REFGUID formattype, const TFormat& format)
{
    HostileType t = {pszName, {}, {}};
    t.mt.majortype = major;
    t.mt.subtype = sub;
    t.mt.formattype = formattype;
    t.mt.bFixedSizeSamples = TRUE;
    const BYTE* pb = reinterpret_cast<const BYTE*>(&format);
    t.format.assign(pb, pb + sizeof(format));
    t.mt.cbFormat = sizeof(format);
    return t;
}

// cbFormat as given, without a block.
HostileType WithoutBlock(HostileType t, ULONG cbFormat)
{
    t.format.clear();
    t.mt.cbFormat = cbFormat;
    return t;
}

HostileType WithSize(HostileType t, ULONG cbFormat)
{
    t.mt.cbFormat = cbFormat;
    return t;
}

HostileType Renamed(HostileType t, const char* pszName)
{
    t.pszName = pszName;
    return t;
}

std::vector<HostileType> HostileTypes()
{
    const VIDEOINFOHEADER vih = PlainVideoInfo();
    const WAVEFORMATEX wfx = PlainPcm();
    const HostileType rgb = MakeType("RGB32", MEDIATYPE_Video, MEDIASUBTYPE_RGB32, FORMAT_VideoInfo, vih);
    const HostileType pcm = MakeType("PCM", MEDIATYPE_Audio, MEDIASUBTYPE_PCM, FORMAT_WaveFormatEx, wfx);
    const HostileType h264 = MakeType("H264", MEDIATYPE_Video, kSubtypeH264, FORMAT_VideoInfo, vih);
    WAVEFORMATEX wfxAac = wfx;
    wfxAac.wFormatTag = 0x00FF;
    const HostileType aac = MakeType("AAC", MEDIATYPE_Audio, kSubtypeRawAac1, FORMAT_WaveFormatEx, wfxAac);

    VIDEOINFOHEADER vihZero = vih;
    vihZero.bmiHeader.biWidth = 0;
    vihZero.bmiHeader.biHeight = 0;
    VIDEOINFOHEADER vihHuge = vih;
    vihHuge.bmiHeader.biWidth = LONG_MAX;
    vihHuge.bmiHeader.biHeight = LONG_MIN;
    WAVEFORMATEX wfxNoAlign = wfx;
    wfxNoAlign.nBlockAlign = 0;
    WAVEFORMATEX wfxOddAlign = wfx;
    wfxOddAlign.nBlockAlign = 3;
    WAVEFORMATEX wfxAacSilent = wfxAac;
    wfxAacSilent.nChannels = 0;
    wfxAacSilent.nSamplesPerSec = 0;
    VIDEOINFOHEADER vihYuy2 = vih;
    vihYuy2.bmiHeader.biBitCount = 16;
    vihYuy2.bmiHeader.biCompression = MAKEFOURCC('Y', 'U', 'Y', '2');
    // A sequence header said to be longer than the block that holds it.
    MPEG2VIDEOINFO mviOverlong = {};
    mviOverlong.hdr.bmiHeader = vih.bmiHeader;
    mviOverlong.cbSequenceHeader = 4096;

    std::vector<HostileType> types;
    for (const HostileType& t : {rgb, pcm, h264, aac})
    {
        types.push_back(Renamed(WithoutBlock(t, t.mt.cbFormat), "null block"));
        types.push_back(Renamed(WithoutBlock(t, 0), "no block"));
        types.push_back(Renamed(WithSize(t, 8), "short block"));
        types.push_back(Renamed(WithSize(t, ULONG_MAX), "huge block size"));
    }
    types.push_back(MakeType("video info as a wave format", MEDIATYPE_Audio, MEDIASUBTYPE_PCM, FORMAT_VideoInfo, vih));
    types.push_back(MakeType("wave format as video info", MEDIATYPE_Video, MEDIASUBTYPE_RGB32, FORMAT_WaveFormatEx, wfx));
    types.push_back(MakeType("RGB32 of no size", MEDIATYPE_Video, MEDIASUBTYPE_RGB32, FORMAT_VideoInfo, vihZero));
    types.push_back(MakeType("RGB32 of a huge size", MEDIATYPE_Video, MEDIASUBTYPE_RGB32, FORMAT_VideoInfo, vihHuge));
    types.push_back(MakeType("H264 of no size", MEDIATYPE_Video, kSubtypeH264, FORMAT_VideoInfo, vihZero));
    types.push_back(MakeType("H264 of a huge size", MEDIATYPE_Video, kSubtypeH264, FORMAT_VideoInfo, vihHuge));
    types.push_back(MakeType("PCM without block alignment", MEDIATYPE_Audio, MEDIASUBTYPE_PCM, FORMAT_WaveFormatEx,
                             wfxNoAlign));
    types.push_back(MakeType("PCM with a block alignment of 3", MEDIATYPE_Audio, MEDIASUBTYPE_PCM,
                             FORMAT_WaveFormatEx, wfxOddAlign));
    types.push_back(MakeType("AAC without channels or rate", MEDIATYPE_Audio, kSubtypeRawAac1, FORMAT_WaveFormatEx,
                             wfxAacSilent));
    types.push_back(MakeType("no format type", MEDIATYPE_Video, MEDIASUBTYPE_RGB32, FORMAT_None, vih));
    // YUY2 is raw video, but the H.264 encoder reads 32-bit pixels only.
    types.push_back(MakeType("YUY2", MEDIATYPE_Video, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, vihYuy2));
    types.push_back(MakeType("H264 with a sequence header past its block", MEDIATYPE_Video, kSubtypeH264,
                             FORMAT_MPEG2Video, mviOverlong));
    // Blocks the type owns point at its own bytes; the others stay null.
    for (HostileType& t : types)
        t.mt.pbFormat = t.format.empty() ? nullptr : t.format.data();
    return types;
}

struct PinUnderTest
{
    const char* pszFilter;
    CComPtr<IBaseFilter> spFilter;
    PIN_DIRECTION eDirection;
    int nIndex;
};

} // namespace

// Every pin of every filter answers each hostile type with a refusal, and
// survives it. Output pins of the encoders are asked with their input
// connected, when they have types to compare with.
TEST_F(FilterTest, EveryPinRefusesHostileTypes)
{
    CTestGraph graph;
    const CComPtr<IBaseFilter> spGenerator = graph.Add(CLSID_VelkVideoGenerator, VELK_NAME_VIDEO_GENERATOR);
    const CComPtr<IBaseFilter> spH264 = graph.Add(CLSID_VelkH264Encoder, VELK_NAME_H264_ENCODER);
    const CComPtr<IBaseFilter> spAac = graph.Add(CLSID_VelkAACEncoder, VELK_NAME_AAC_ENCODER);
    const CComPtr<IBaseFilter> spServer = graph.Add(CLSID_VelkRtmpServer, VELK_NAME_RTMP_SERVER);
    // The encoders' outputs compare with what their inputs are given, so
    // each encoder gets a generator of its own: the one under test keeps
    // its pins free.
    const CComPtr<IBaseFilter> spFeeder = graph.Add(CLSID_VelkVideoGenerator, L"Feeder");
    ASSERT_EQ(S_OK, graph.Connect(spFeeder, VelkStreamVideo, spH264, 0));
    ASSERT_EQ(S_OK, graph.Connect(spFeeder, VelkStreamAudio, spAac, 0));
    const CComPtr<IBaseFilter> spFreeH264 = graph.Add(CLSID_VelkH264Encoder, L"Free H264 Encoder");
    const CComPtr<IBaseFilter> spFreeAac = graph.Add(CLSID_VelkAACEncoder, L"Free AAC Encoder");
    CSinkPin* pSink = nullptr;
    const CComPtr<IBaseFilter> spSink = CSinglePinFilter<CSinkPin>::Create(&pSink, SinkMode::Take, S_OK);
    graph.Add(spSink, L"Sink");
    const CComPtr<IPin> spSinkPin = PinOf(spSink, PINDIR_INPUT, 0);
    // A connector for the inputs: an output pin that takes anything.
    const CComPtr<IPin> spConnector = PinOf(spFeeder, PINDIR_OUTPUT, VelkStreamVideo);

    const PinUnderTest pins[] = {
        {"generator video", spGenerator, PINDIR_OUTPUT, 0}, {"generator audio", spGenerator, PINDIR_OUTPUT, 1},
        {"H264 input", spFreeH264, PINDIR_INPUT, 0},       {"H264 output", spH264, PINDIR_OUTPUT, 0},
        {"AAC input", spFreeAac, PINDIR_INPUT, 0},         {"AAC output", spAac, PINDIR_OUTPUT, 0},
        {"server video", spServer, PINDIR_INPUT, 0},       {"server audio", spServer, PINDIR_INPUT, 1},
    };
    for (const HostileType& t : HostileTypes())
    {
        for (const PinUnderTest& p : pins)
        {
            SCOPED_TRACE(::testing::Message() << p.pszFilter << ", " << t.pszName << " of "
                                              << (IsEqualGUID(t.mt.majortype, MEDIATYPE_Video) ? "video" : "audio"));
            const CComPtr<IPin> spPin = PinOf(p.spFilter, p.eDirection, p.nIndex);
            ASSERT_TRUE(spPin);
            EXPECT_EQ(S_FALSE, spPin->QueryAccept(&t.mt));
            // A connector of the wrong kind may be refused before the type
            // is looked at; the type never connects.
            if (p.eDirection == PINDIR_OUTPUT)
                EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, spPin->Connect(spSinkPin, &t.mt));
            else
                EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, spPin->ReceiveConnection(spConnector, &t.mt));
        }
    }
}

// ---------------------------------------------------------------------------
// Positions

namespace
{

// The default streaming graph of the four filters, without the console.
class CStreamingGraph : public CTestGraph
{
public:
    CStreamingGraph()
        : m_spGenerator(Add(CLSID_VelkVideoGenerator, VELK_NAME_VIDEO_GENERATOR)),
          m_spH264(Add(CLSID_VelkH264Encoder, VELK_NAME_H264_ENCODER)),
          m_spAac(Add(CLSID_VelkAACEncoder, VELK_NAME_AAC_ENCODER)),
          m_spServer(Add(CLSID_VelkRtmpServer, VELK_NAME_RTMP_SERVER))
    {
        m_hrConnect = Connect(m_spGenerator, VelkStreamVideo, m_spH264, 0);
        if (SUCCEEDED(m_hrConnect))
            m_hrConnect = Connect(m_spGenerator, VelkStreamAudio, m_spAac, 0);
        if (SUCCEEDED(m_hrConnect))
            m_hrConnect = Connect(m_spH264, 0, m_spServer, 0);
        if (SUCCEEDED(m_hrConnect))
            m_hrConnect = Connect(m_spAac, 0, m_spServer, 1);
    }

    HRESULT ConnectStatus() const { return m_hrConnect; }

    VelkInputStatistics Statistics(LONG nInput)
    {
        VelkInputStatistics stats = {};
        const auto spStats = Query<IVelkRtmpServerStatistics>(m_spServer, IID_IVelkRtmpServerStatistics);
        if (spStats)
        {
            EXPECT_EQ(S_OK, spStats->GetInputStatistics(nInput, &stats));
        }
        return stats;
    }

    bool WaitForSamples(LONG nInput, LONGLONG cAtLeast)
    {
        return WaitUntil([&] { return Statistics(nInput).cSamples >= cAtLeast; }, kPatienceMs);
    }

    CComPtr<IMediaSeeking> ServerSeeking() { return Query<IMediaSeeking>(m_spServer, IID_IMediaSeeking); }

    // The filters in the order a graph manager changes their states.
    std::vector<IBaseFilter*> DownstreamFirst() const { return {m_spServer, m_spH264, m_spAac, m_spGenerator}; }

private:
    CComPtr<IBaseFilter> m_spGenerator;
    CComPtr<IBaseFilter> m_spH264;
    CComPtr<IBaseFilter> m_spAac;
    CComPtr<IBaseFilter> m_spServer;
    HRESULT m_hrConnect = E_FAIL;
};

// Where stream n of the generator starts: buffer n of audio (1024 frames at
// 48 kHz) or frame n of video (25 a second), rounded down to 100 ns.
REFERENCE_TIME AudioBufferStart(LONGLONG n)
{
    return n * 1024 * kUnitsPerSecond / 48000;
}

REFERENCE_TIME VideoFrameStart(LONGLONG n)
{
    return n * kUnitsPerSecond / 25;
}

} // namespace

// The filters are stopped and paused one by one, downstream first, as a
// graph manager does: Wine's own Stop also seeks the streams to its clock's
// position, which would hide where each stream stopped.
TEST_F(FilterTest, VideoAndAudioResumeTogetherAfterAStop)
{
    CStreamingGraph graph;
    ASSERT_EQ(S_OK, graph.ConnectStatus());
    graph.Run();
    ASSERT_TRUE(graph.WaitForSamples(0, 8));
    ASSERT_TRUE(graph.WaitForSamples(1, 8));
    for (IBaseFilter* pFilter : graph.DownstreamFirst())
        EXPECT_EQ(S_OK, pFilter->Stop());

    // Paused, the server takes the new segments and holds their first samples.
    for (IBaseFilter* pFilter : graph.DownstreamFirst())
        EXPECT_TRUE(SUCCEEDED(pFilter->Pause()));
    ASSERT_TRUE(WaitUntil([&] { return graph.Statistics(0).cSegments > 0 && graph.Statistics(1).cSegments > 0; },
                          kPatienceMs));
    const VelkInputStatistics video = graph.Statistics(0);
    const VelkInputStatistics audio = graph.Statistics(1);
    EXPECT_GT(video.rtSegmentStart, 0) << "resumed where it stopped";
    EXPECT_EQ(video.rtSegmentStart, audio.rtSegmentStart) << "picture and sound resume at one position";
}

// A seek to the very start of a frame begins with that frame, not with the
// one before it: its first sample starts at stream time 0.
TEST_F(FilterTest, ASeekToTheStartOfAFrameBeginsWithThatFrame)
{
    const struct
    {
        const char* pszName;
        LONG nInput;
        REFERENCE_TIME rtSeek;
    } kCases[] = {
        {"audio buffer 1", 1, AudioBufferStart(1)},
        {"audio buffer 7", 1, AudioBufferStart(7)},
        {"audio buffer 100", 1, AudioBufferStart(100)},
        {"video frame 3", 0, VideoFrameStart(3)},
    };
    for (const auto& c : kCases)
    {
        SCOPED_TRACE(c.pszName);
        CStreamingGraph graph;
        ASSERT_EQ(S_OK, graph.ConnectStatus());
        LONGLONG llSeek = c.rtSeek;
        ASSERT_EQ(S_OK, graph.Seeking()->SetPositions(&llSeek, AM_SEEKING_AbsolutePositioning, nullptr,
                                                      AM_SEEKING_NoPositioning));
        graph.Run();
        ASSERT_TRUE(graph.WaitForSamples(c.nInput, 1));
        const VelkInputStatistics stats = graph.Statistics(c.nInput);
        EXPECT_EQ(c.rtSeek, stats.rtSegmentStart);
        EXPECT_EQ(0, stats.rtFirst);
    }
}

// The server's position is what it has presented, not what was sent to it.
TEST_F(FilterTest, ServerPositionIsWherePresentationHasReached)
{
    CStreamingGraph graph;
    ASSERT_EQ(S_OK, graph.ConnectStatus());
    const CComPtr<IMediaSeeking> spServer = graph.ServerSeeking();
    LONGLONG llBefore = -1;
    EXPECT_EQ(S_OK, spServer->GetCurrentPosition(&llBefore));
    EXPECT_EQ(0, llBefore) << "nothing presented yet";

    graph.Run();
    ASSERT_TRUE(graph.WaitForSamples(0, 10));
    ASSERT_TRUE(graph.WaitForSamples(1, 10));
    // Nothing is presented while paused, so the counts hold still.
    ASSERT_TRUE(SUCCEEDED(graph.Control()->Pause()));
    REFERENCE_TIME rtReached = 0;
    for (LONG nInput : {0L, 1L})
    {
        const VelkInputStatistics stats = graph.Statistics(nInput);
        rtReached = std::max(rtReached, stats.rtSegmentStart + stats.rtLast);
    }
    LONGLONG llCurrent = -1;
    EXPECT_EQ(S_OK, spServer->GetCurrentPosition(&llCurrent));
    EXPECT_EQ(rtReached, llCurrent);
    LONGLONG llPositionsCurrent = -1, llStop = -1;
    EXPECT_EQ(S_OK, spServer->GetPositions(&llPositionsCurrent, &llStop));
    EXPECT_EQ(rtReached, llPositionsCurrent);
    EXPECT_EQ(10 * kUnitsPerSecond, llStop);

    // Sought while stopped, it is where the stream will start.
    ASSERT_EQ(S_OK, graph.Control()->Stop());
    LONGLONG llSeek = 5 * kUnitsPerSecond;
    ASSERT_EQ(S_OK, spServer->SetPositions(&llSeek, AM_SEEKING_AbsolutePositioning, nullptr,
                                           AM_SEEKING_NoPositioning));
    EXPECT_EQ(S_OK, spServer->GetCurrentPosition(&llCurrent));
    EXPECT_EQ(5 * kUnitsPerSecond, llCurrent);
}

// Positions given relative to others must not wrap round.
TEST_F(FilterTest, RelativeSeeksThatOverflowAreRefused)
{
    CStreamingGraph graph;
    ASSERT_EQ(S_OK, graph.ConnectStatus());
    const CComPtr<IMediaSeeking> spServer = graph.ServerSeeking();
    LONGLONG llStart = 2 * kUnitsPerSecond;
    ASSERT_EQ(S_OK, spServer->SetPositions(&llStart, AM_SEEKING_AbsolutePositioning, nullptr,
                                           AM_SEEKING_NoPositioning));
    for (LONGLONG llDelta : {LLONG_MAX, LLONG_MIN})
    {
        LONGLONG llCurrent = llDelta;
        EXPECT_EQ(E_INVALIDARG, spServer->SetPositions(&llCurrent, AM_SEEKING_RelativePositioning, nullptr,
                                                       AM_SEEKING_NoPositioning));
        LONGLONG llStop = llDelta;
        EXPECT_EQ(E_INVALIDARG, spServer->SetPositions(nullptr, AM_SEEKING_NoPositioning, &llStop,
                                                       AM_SEEKING_RelativePositioning));
    }
    LONGLONG llCurrent = -1, llStop = -1;
    EXPECT_EQ(S_OK, spServer->GetPositions(&llCurrent, &llStop));
    EXPECT_EQ(2 * kUnitsPerSecond, llCurrent) << "a refused seek moves nothing";
    EXPECT_EQ(10 * kUnitsPerSecond, llStop);
}

// The arithmetic of media times: sums and differences held at the ends of
// the range, waits rounded up and capped.
TEST(MediaTimeTest, SumsAndWaitsStayInRange)
{
    const struct
    {
        REFERENCE_TIME a, b;
        bool bFits;
        REFERENCE_TIME saturatedSum;
    } kSums[] = {
        {1, 2, true, 3},
        {LLONG_MAX, 1, false, LLONG_MAX},
        {LLONG_MIN, -1, false, LLONG_MIN},
        {LLONG_MAX, LLONG_MIN, true, -1},
        {-5, LLONG_MIN + 5, true, LLONG_MIN},
    };
    for (const auto& c : kSums)
    {
        SCOPED_TRACE(::testing::Message() << c.a << " + " << c.b);
        REFERENCE_TIME sum = 42;
        EXPECT_EQ(c.bFits, CheckedAdd(c.a, c.b, sum));
        EXPECT_EQ(c.bFits ? c.saturatedSum : 42, sum) << "nothing written when it does not fit";
        EXPECT_EQ(c.saturatedSum, SaturatedAdd(c.a, c.b));
    }
    EXPECT_EQ(LLONG_MAX, SaturatedSubtract(0, LLONG_MIN));
    EXPECT_EQ(LLONG_MIN, SaturatedSubtract(LLONG_MIN, 1));
    EXPECT_EQ(-1, SaturatedSubtract(-1, 0));

    const struct
    {
        REFERENCE_TIME rtLeft;
        DWORD dwMax;
        DWORD dwExpected;
    } kWaits[] = {
        {0, 1000, 0},       {-10000, 1000, 0},       {1, 1000, 1},
        {10000, 1000, 1},   {10001, 1000, 2},        {LLONG_MAX, 1000, 1000},
        {LLONG_MAX, INFINITE - 1, INFINITE - 1},
    };
    for (const auto& c : kWaits)
    {
        SCOPED_TRACE(::testing::Message() << c.rtLeft << " within " << c.dwMax);
        EXPECT_EQ(c.dwExpected, MillisecondsFor(c.rtLeft, c.dwMax));
    }
}

// A sample stamped far in the past is due at once: the time left until it is
// worked out without wrapping round into a wait without end.
TEST_F(FilterTest, ServerPresentsASampleFromTheFarPastAtOnce)
{
    CTestGraph graph;
    const CComPtr<IBaseFilter> spServer = graph.Add(CLSID_VelkRtmpServer, VELK_NAME_RTMP_SERVER);
    VIDEOINFOHEADER vih = PlainVideoInfo();
    vih.bmiHeader.biCompression = 0x34363248; // 'H264'
    CMediaTypeHolder h264;
    AM_MEDIA_TYPE& mt = h264.Edit();
    mt.majortype = MEDIATYPE_Video;
    mt.subtype = kSubtypeH264;
    ASSERT_EQ(S_OK, h264.SetFormat(FORMAT_VideoInfo, &vih, sizeof(vih)));
    CSourcePin* pSource = nullptr;
    const CComPtr<IBaseFilter> spSource = CSinglePinFilter<CSourcePin>::Create(&pSource, h264.Get());
    graph.Add(spSource, L"Source");
    ASSERT_EQ(S_OK, graph.Connect(spSource, 0, spServer, 0));

    graph.Run();
    // Once the first sample has been presented, the stream time is at least
    // its 50 ms: far from 0, where the sum would still fit.
    std::atomic<int> cPresented{0};
    std::thread upstream([&] {
        const CMultiThreadedApartment apartment;
        for (REFERENCE_TIME rtStart : {kUnitsPerSecond / 20, LLONG_MIN + 1})
        {
            if (pSource->DeliverAt(rtStart) != S_OK)
                break;
            ++cPresented;
        }
    });
    const bool bPresented = WaitUntil([&] { return cPresented == 2; }, kPatienceMs);
    // Stop releases a sample still waiting.
    EXPECT_TRUE(SUCCEEDED(graph.Control()->Stop()));
    upstream.join();
    EXPECT_TRUE(bPresented) << cPresented << " of 2 samples presented";
}

// ---------------------------------------------------------------------------
// Samples the encoders cannot take

namespace
{

struct SampleSizeCase
{
    const char* pszName;
    bool bVideo;
    long cbData;
    HRESULT hrExpected;
    long cOutputs; // samples that go on for a good one
};

constexpr long kPictureBytes = 640 * 360 * 4;
constexpr long kPcmFrameBytes = 4;

// The AAC Encoder gathers PCM into access units of 1024 frames: a buffer
// of any whole number of frames is good, and completes as many units.
const SampleSizeCase kSampleSizeCases[] = {
    {"a whole picture", true, kPictureBytes, S_OK, 1},
    {"an empty picture", true, 0, E_INVALIDARG, 0},
    {"a picture a row short", true, kPictureBytes - 640 * 4, E_INVALIDARG, 0},
    {"1024 PCM frames", false, 1024 * kPcmFrameBytes, S_OK, 1},
    {"10 ms of PCM, held for the next unit", false, 480 * kPcmFrameBytes, S_OK, 0},
    {"one PCM frame more than a unit", false, 1025 * kPcmFrameBytes, S_OK, 1},
    {"two units of PCM", false, 2048 * kPcmFrameBytes, S_OK, 2},
    {"an empty PCM buffer", false, 0, E_INVALIDARG, 0},
    {"half a PCM frame", false, 1024 * kPcmFrameBytes + 2, E_INVALIDARG, 0},
};

} // namespace

// A sample an encoder cannot code ends the stream with a status the graph
// hears, and nothing goes downstream; a good one of the same type goes
// through.
TEST_F(FilterTest, EncodersRefuseSamplesOfTheWrongSize)
{
    const VIDEOINFOHEADER vih = PlainVideoInfo();
    const WAVEFORMATEX wfx = PlainPcm();
    for (const SampleSizeCase& c : kSampleSizeCases)
    {
        SCOPED_TRACE(c.pszName);
        HostileType type = c.bVideo ? MakeType("RGB32", MEDIATYPE_Video, MEDIASUBTYPE_RGB32, FORMAT_VideoInfo, vih)
                                    : MakeType("PCM", MEDIATYPE_Audio, MEDIASUBTYPE_PCM, FORMAT_WaveFormatEx, wfx);
        type.mt.pbFormat = type.format.data();
        CTestGraph graph;
        CSourcePin* pSource = nullptr;
        const CComPtr<IBaseFilter> spSource =
            CSinglePinFilter<CSourcePin>::Create(&pSource, type.mt, c.bVideo ? kPictureBytes : 2048 * kPcmFrameBytes);
        graph.Add(spSource, L"Source");
        const CComPtr<IBaseFilter> spEncoder =
            graph.Add(c.bVideo ? CLSID_VelkH264Encoder : CLSID_VelkAACEncoder, L"Encoder");
        CSinkPin* pSink = nullptr;
        const CComPtr<IBaseFilter> spSink = CSinglePinFilter<CSinkPin>::Create(&pSink, SinkMode::Take, S_OK);
        graph.Add(spSink, L"Sink");
        ASSERT_EQ(S_OK, graph.Connect(spSource, 0, spEncoder, 0));
        ASSERT_EQ(S_OK, graph.Connect(spEncoder, 0, spSink, 0));
        ASSERT_TRUE(SUCCEEDED(graph.RunWithoutClock()));

        const HRESULT hrDelivered = pSource->DeliverSized(0, c.cbData);
        if (c.hrExpected == S_OK)
        {
            EXPECT_EQ(S_OK, hrDelivered);
            EXPECT_EQ(c.cOutputs, pSink->ReceiveCalls());
            continue;
        }
        // The encoder says its failure to the graph and asks for no more.
        EXPECT_EQ(S_FALSE, hrDelivered);
        LONG_PTR lStatus = 0;
        ASSERT_TRUE(graph.WaitForEvent(EC_ERRORABORT, &lStatus, kPatienceMs));
        EXPECT_EQ(c.hrExpected, static_cast<HRESULT>(lStatus));
        EXPECT_EQ(0, pSink->ReceiveCalls());
    }
}

// The AAC Encoder gathers 10 ms buffers (480 frames, as a file source hands
// them on) into access units of 1024 frames, each stamped from the count of
// samples since the stream's first one, not from the buffer that completed
// it. A new segment starts afresh, the samples held before it dropped; the
// end brings out what is held and one unit more.
TEST_F(FilterTest, AacEncoderStampsUnitsFromTheSampleCountAndStartsAfreshOnANewSegment)
{
    const WAVEFORMATEX wfx = PlainPcm();
    HostileType type = MakeType("PCM", MEDIATYPE_Audio, MEDIASUBTYPE_PCM, FORMAT_WaveFormatEx, wfx);
    type.mt.pbFormat = type.format.data();
    CTestGraph graph;
    CSourcePin* pSource = nullptr;
    const long cbBuffer = 480 * kPcmFrameBytes;
    const CComPtr<IBaseFilter> spSource = CSinglePinFilter<CSourcePin>::Create(&pSource, type.mt, cbBuffer);
    graph.Add(spSource, L"Source");
    const CComPtr<IBaseFilter> spEncoder = graph.Add(CLSID_VelkAACEncoder, L"Encoder");
    CSinkPin* pSink = nullptr;
    const CComPtr<IBaseFilter> spSink = CSinglePinFilter<CSinkPin>::Create(&pSink, SinkMode::Record, S_OK);
    graph.Add(spSink, L"Sink");
    ASSERT_EQ(S_OK, graph.Connect(spSource, 0, spEncoder, 0));
    ASSERT_EQ(S_OK, graph.Connect(spEncoder, 0, spSink, 0));
    ASSERT_TRUE(SUCCEEDED(graph.RunWithoutClock()));

    const REFERENCE_TIME kTenMs = kUnitsPerSecond / 100;
    const auto unitTime = [](REFERENCE_TIME rtBase, int n) { return rtBase + n * 1024 * kUnitsPerSecond / 48000; };
    const REFERENCE_TIME rtFirst = kUnitsPerSecond;
    for (int k = 0; k < 5; ++k) // 2400 frames: two units, 352 frames held
        ASSERT_EQ(S_OK, pSource->DeliverSized(rtFirst + k * kTenMs, cbBuffer));
    ASSERT_EQ(S_OK, pSource->DeliverNewSegment(0, 10 * kUnitsPerSecond, 1.0));
    const REFERENCE_TIME rtSecond = 5 * kUnitsPerSecond;
    for (int k = 0; k < 3; ++k) // 1440 frames afresh: one unit, 416 held
        ASSERT_EQ(S_OK, pSource->DeliverSized(rtSecond + k * kTenMs, cbBuffer));
    ASSERT_EQ(S_OK, pSource->DeliverEndOfStream());
    ASSERT_TRUE(WaitUntil([&] { return pSink->EndsOfStream() == 1; }, kPatienceMs));

    const struct
    {
        REFERENCE_TIME rtBase; // the first sample since the stream (re)started
        int nUnit;
        bool bDiscontinuity;
    } kExpected[] = {
        {rtFirst, 0, true}, {rtFirst, 1, false}, {rtSecond, 0, true}, {rtSecond, 1, false}, {rtSecond, 2, false},
    };
    const std::vector<SampleHead> units = pSink->Samples();
    ASSERT_EQ(_countof(kExpected), units.size());
    for (size_t i = 0; i < units.size(); ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_EQ(unitTime(kExpected[i].rtBase, kExpected[i].nUnit), units[i].rtStart);
        EXPECT_EQ(unitTime(kExpected[i].rtBase, kExpected[i].nUnit + 1), units[i].rtStop);
        EXPECT_EQ(kExpected[i].bDiscontinuity, units[i].bDiscontinuity);
        EXPECT_TRUE(units[i].bSyncPoint);
    }
}

// ---------------------------------------------------------------------------
// The encoders' output as it leaves them

namespace
{

struct NalUnit
{
    int nType;
    std::vector<BYTE> bytes; // header byte first, no start code
};

// The NAL units of an Annex B access unit (3- or 4-byte start codes).
std::vector<NalUnit> SplitAnnexB(const std::vector<BYTE>& au)
{
    std::vector<size_t> starts;
    for (size_t i = 0; i + 3 <= au.size(); ++i)
    {
        if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1)
        {
            starts.push_back(i + 3);
            i += 2;
        }
    }
    std::vector<NalUnit> units;
    for (size_t k = 0; k < starts.size(); ++k)
    {
        size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : au.size();
        if (k + 1 < starts.size() && end > starts[k] && au[end - 1] == 0)
            --end; // the leading zero of a 4-byte start code
        if (end > starts[k])
            units.push_back({au[starts[k]] & 0x1F, std::vector<BYTE>(au.begin() + starts[k], au.begin() + end)});
    }
    return units;
}

bool HasNalType(const std::vector<NalUnit>& units, int nType)
{
    return std::any_of(units.begin(), units.end(), [&](const NalUnit& unit) { return unit.nType == nType; });
}

// The connection's type of a pin; freed when it goes.
class CConnectionType
{
public:
    explicit CConnectionType(IPin* pPin) { m_hr = pPin->ConnectionMediaType(&m_mt); }
    ~CConnectionType()
    {
        if (SUCCEEDED(m_hr))
        {
            ::CoTaskMemFree(m_mt.pbFormat);
            if (m_mt.pUnk != nullptr)
                m_mt.pUnk->Release();
        }
    }
    CConnectionType(const CConnectionType&) = delete;
    CConnectionType& operator=(const CConnectionType&) = delete;

    HRESULT Status() const { return m_hr; }
    const AM_MEDIA_TYPE& Get() const { return m_mt; }

private:
    AM_MEDIA_TYPE m_mt = {};
    HRESULT m_hr = E_FAIL;
};

// The folder named by SKERRY_MEDIA_DUMP, where the streams go for players
// of other makers to check; empty when it is not set.
std::wstring DumpFolder()
{
    wchar_t sz[MAX_PATH] = {};
    const DWORD cch = ::GetEnvironmentVariableW(L"SKERRY_MEDIA_DUMP", sz, MAX_PATH);
    return cch > 0 && cch < MAX_PATH ? std::wstring(sz) : std::wstring();
}

struct FileCloser
{
    void operator()(std::FILE* pFile) const { std::fclose(pFile); }
};

bool WriteSamples(const std::wstring& path, const std::vector<SampleHead>& samples,
                  const std::function<std::vector<BYTE>(size_t)>& header)
{
    const std::unique_ptr<std::FILE, FileCloser> spFile(_wfopen(path.c_str(), L"wb"));
    if (!spFile)
        return false;
    for (const SampleHead& sample : samples)
    {
        const std::vector<BYTE> head = header(sample.head.size());
        if (std::fwrite(head.data(), 1, head.size(), spFile.get()) != head.size() ||
            std::fwrite(sample.head.data(), 1, sample.head.size(), spFile.get()) != sample.head.size())
            return false;
    }
    return true;
}

// The 7-byte ADTS header (no CRC) of a raw AAC frame, from the two bytes of
// its AudioSpecificConfig, so that any player can read the dump.
std::vector<BYTE> AdtsHeader(const BYTE (&rgbConfig)[2], size_t cbFrame)
{
    const unsigned uObjectType = rgbConfig[0] >> 3;
    const unsigned uRateIndex = ((rgbConfig[0] & 7u) << 1) | (rgbConfig[1] >> 7);
    const unsigned uChannels = (rgbConfig[1] >> 3) & 15u;
    const unsigned cbLength = static_cast<unsigned>(cbFrame) + 7;
    return {0xFF,
            0xF1,
            static_cast<BYTE>(((uObjectType - 1) << 6) | (uRateIndex << 2) | (uChannels >> 2)),
            static_cast<BYTE>(((uChannels & 3u) << 6) | ((cbLength >> 11) & 3u)),
            static_cast<BYTE>(cbLength >> 3),
            static_cast<BYTE>(((cbLength & 7u) << 5) | 0x1F),
            0xFC};
}

constexpr size_t kDefaultPictures = 250;
// 10 s at 48 kHz in access units of 1024 samples: 468 whole ones, the rest
// padded, and one more that brings out the last samples.
constexpr size_t kDefaultAudioUnits = 10 * 48000 / 1024 + 2;

} // namespace

// The default stream through both encoders, as fast as they go: every
// picture one access unit, a key frame with its parameter sets every
// second, the same parameter sets in the connection's type, and the sound
// in access units of 1024 samples, each stamped from the count of samples
// before it. With SKERRY_MEDIA_DUMP set, the elementary streams
// are written there (video.h264, audio.aac) for ffmpeg to decode.
TEST_F(FilterTest, EncodersHandTheWholeDefaultStreamOnWithItsParameterSetsInTheType)
{
    CTestGraph graph;
    const CComPtr<IBaseFilter> spGenerator = graph.Add(CLSID_VelkVideoGenerator, VELK_NAME_VIDEO_GENERATOR);
    const CComPtr<IBaseFilter> spH264 = graph.Add(CLSID_VelkH264Encoder, VELK_NAME_H264_ENCODER);
    const CComPtr<IBaseFilter> spAac = graph.Add(CLSID_VelkAACEncoder, VELK_NAME_AAC_ENCODER);
    CSinkPin* pVideo = nullptr;
    CSinkPin* pAudio = nullptr;
    const CComPtr<IBaseFilter> spVideoSink = CSinglePinFilter<CSinkPin>::Create(&pVideo, SinkMode::Record, S_OK);
    const CComPtr<IBaseFilter> spAudioSink = CSinglePinFilter<CSinkPin>::Create(&pAudio, SinkMode::Record, S_OK);
    graph.Add(spVideoSink, L"Video sink");
    graph.Add(spAudioSink, L"Audio sink");
    ASSERT_EQ(S_OK, graph.Connect(spGenerator, VelkStreamVideo, spH264, 0));
    ASSERT_EQ(S_OK, graph.Connect(spH264, 0, spVideoSink, 0));
    ASSERT_EQ(S_OK, graph.Connect(spGenerator, VelkStreamAudio, spAac, 0));
    ASSERT_EQ(S_OK, graph.Connect(spAac, 0, spAudioSink, 0));

    ASSERT_TRUE(SUCCEEDED(graph.RunWithoutClock()));
    ASSERT_TRUE(WaitUntil([&] { return pVideo->EndsOfStream() == 1 && pAudio->EndsOfStream() == 1; }, 60000));
    const std::vector<SampleHead> pictures = pVideo->Samples();
    const std::vector<SampleHead> frames = pAudio->Samples();

    ASSERT_EQ(kDefaultPictures, pictures.size());
    for (size_t i = 0; i < pictures.size(); ++i)
    {
        SCOPED_TRACE(i);
        const std::vector<NalUnit> units = SplitAnnexB(pictures[i].head);
        const bool bKey = i % 25 == 0;
        EXPECT_EQ(bKey, pictures[i].bSyncPoint);
        EXPECT_EQ(bKey, HasNalType(units, kNalIdr));
        EXPECT_EQ(bKey, HasNalType(units, kNalSps) && HasNalType(units, kNalPps));
    }

    // The connection's type: MPEG2VIDEOINFO whose sequence header is the
    // SPS and PPS the key frames carry.
    const CConnectionType video(PinOf(spVideoSink, PINDIR_INPUT, 0));
    ASSERT_EQ(S_OK, video.Status());
    EXPECT_TRUE(video.Get().bTemporalCompression);
    ASSERT_TRUE(IsEqualGUID(video.Get().formattype, FORMAT_MPEG2Video));
    ASSERT_GE(video.Get().cbFormat, offsetof(MPEG2VIDEOINFO, dwSequenceHeader));
    const auto* pmvi = reinterpret_cast<const MPEG2VIDEOINFO*>(video.Get().pbFormat);
    ASSERT_LE(pmvi->cbSequenceHeader, video.Get().cbFormat - offsetof(MPEG2VIDEOINFO, dwSequenceHeader));
    const BYTE* pbHeader = reinterpret_cast<const BYTE*>(pmvi->dwSequenceHeader);
    const std::vector<NalUnit> header = SplitAnnexB(std::vector<BYTE>(pbHeader, pbHeader + pmvi->cbSequenceHeader));
    const std::vector<NalUnit> first = SplitAnnexB(pictures[0].head);
    ASSERT_EQ(2u, header.size());
    ASSERT_GE(first.size(), 3u);
    EXPECT_EQ(first[0].bytes, header[0].bytes) << "SPS";
    EXPECT_EQ(first[1].bytes, header[1].bytes) << "PPS";
    EXPECT_EQ(66u, pmvi->dwProfile);
    EXPECT_EQ(first[0].bytes[3], pmvi->dwLevel);
    EXPECT_EQ(640, pmvi->hdr.bmiHeader.biWidth);
    EXPECT_EQ(360, std::abs(pmvi->hdr.bmiHeader.biHeight));

    ASSERT_EQ(kDefaultAudioUnits, frames.size());
    for (size_t i = 0; i < frames.size(); ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_TRUE(frames[i].bSyncPoint);
        EXPECT_EQ(i == 0, frames[i].bDiscontinuity);
        EXPECT_FALSE(frames[i].head.empty());
        EXPECT_EQ(static_cast<REFERENCE_TIME>(i) * 1024 * kUnitsPerSecond / 48000, frames[i].rtStart);
        EXPECT_EQ(static_cast<REFERENCE_TIME>(i + 1) * 1024 * kUnitsPerSecond / 48000, frames[i].rtStop);
    }

    const std::wstring folder = DumpFolder();
    if (folder.empty())
        return;
    const CConnectionType audio(PinOf(spAudioSink, PINDIR_INPUT, 0));
    ASSERT_EQ(S_OK, audio.Status());
    ASSERT_GE(audio.Get().cbFormat, sizeof(WAVEFORMATEX) + 2);
    BYTE rgbConfig[2] = {};
    std::memcpy(rgbConfig, audio.Get().pbFormat + sizeof(WAVEFORMATEX), sizeof(rgbConfig));
    EXPECT_TRUE(WriteSamples(folder + L"\\video.h264", pictures, [](size_t) { return std::vector<BYTE>(); }));
    EXPECT_TRUE(WriteSamples(folder + L"\\audio.aac", frames,
                             [&](size_t cbFrame) { return AdtsHeader(rgbConfig, cbFrame); }));
}
