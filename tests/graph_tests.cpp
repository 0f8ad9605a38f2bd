// Tests of CGraph, against Wine's filter graph manager (quartz) with fake
// filters, and against a fake graph manager registered in the test process
// where the real one never fails. The fakes count references: after every
// operation the tests check that what CGraph took has been given back.
#include <gtest/gtest.h>

#include "ComFakes.h"
#include "Diagnostics.h"
#include "Graph.h"
#include "TestUtil.h"

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

// CGraph's members, for setting up a state and checking what it holds.
struct CGraphAccess
{
    static CComPtr<IGraphBuilder>& Graph(CGraph& graph) { return graph.m_spGraph; }
    static CComPtr<IVelkRtmpServer>& Server(CGraph& graph) { return graph.m_spRtmpServer; }
};

namespace
{

constexpr UINT kuMsgGraphNotify = WM_APP + 123;

using Reports = std::vector<std::wstring>;

// COM on the test thread while it lives.
class CComApartment
{
public:
    CComApartment() : m_hr(::CoInitialize(nullptr)) {}
    ~CComApartment()
    {
        if (SUCCEEDED(m_hr))
            ::CoUninitialize();
    }
    HRESULT Status() const { return m_hr; }

private:
    HRESULT m_hr;
};

// A plain hidden window to receive graph notifications.
class CHiddenWindow
{
public:
    CHiddenWindow()
        : m_hWnd(::CreateWindowExW(0, L"STATIC", L"graph tests", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                   ::GetModuleHandleW(nullptr), nullptr))
    {
    }
    ~CHiddenWindow() { ::DestroyWindow(m_hWnd); }
    HWND Handle() const { return m_hWnd; }

private:
    HWND m_hWnd;
};

// A temporary folder, removed with everything in it.
class CTempFolder
{
public:
    CTempFolder() : m_path(MakeTempFolder(L"graph")) {}
    ~CTempFolder() { RemoveTempFolder(m_path); }
    std::wstring File(const wchar_t* pszName) const { return m_path + L"\\" + pszName; }

private:
    std::wstring m_path;
};

// Writes a compound file whose root storage holds the given streams.
void WriteCompoundFile(const std::wstring& path, const std::vector<std::pair<std::wstring, std::string>>& streams)
{
    CComPtr<IStorage> spStorage;
    ASSERT_EQ(S_OK, ::StgCreateDocfile(path.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0,
                                       &spStorage));
    for (const auto& stream : streams)
    {
        CComPtr<IStream> spStream;
        ASSERT_EQ(S_OK, spStorage->CreateStream(stream.first.c_str(), STGM_CREATE | STGM_WRITE | STGM_SHARE_EXCLUSIVE,
                                                0, 0, &spStream));
        ULONG cbWritten = 0;
        ASSERT_EQ(S_OK, spStream->Write(stream.second.data(), static_cast<ULONG>(stream.second.size()), &cbWritten));
    }
}

// The filters of a graph, in the graph manager's enumeration order.
std::vector<CComPtr<IBaseFilter>> FiltersOf(IFilterGraph* pGraph)
{
    std::vector<CComPtr<IBaseFilter>> filters;
    CComPtr<IEnumFilters> spEnum;
    if (pGraph->EnumFilters(&spEnum) != S_OK)
        return filters;
    for (;;)
    {
        CComPtr<IBaseFilter> spFilter;
        if (spEnum->Next(1, &spFilter, nullptr) != S_OK)
            break;
        filters.push_back(spFilter);
    }
    return filters;
}

bool Linked(CFakePin* pOut, CFakePin* pIn)
{
    return pOut->Peer() == pIn && pIn->Peer() == pOut;
}

IVelkRtmpServer* AsServer(CFakeFilter* pFilter)
{
    return pFilter;
}

CComPtr<CFakeFilter> NewFilter(const CLSID& clsid, int cInputs, int cOutputs)
{
    CComPtr<CFakeFilter> spFilter = MakeFake<CFakeFilter>(clsid);
    for (int i = 0; i < cInputs; ++i)
        spFilter->AddPin(PINDIR_INPUT);
    for (int i = 0; i < cOutputs; ++i)
        spFilter->AddPin(PINDIR_OUTPUT);
    return spFilter;
}

CComPtr<CFakeFilter> NewServer()
{
    CComPtr<CFakeFilter> spServer = NewFilter(CLSID_VelkRtmpServer, 2, 0);
    spServer->ExposeServer();
    return spServer;
}

// Drops the notifications already posted to hWnd; returns how many there were.
int TakeNotifications(HWND hWnd)
{
    int cMessages = 0;
    MSG msg;
    while (::PeekMessageW(&msg, hWnd, kuMsgGraphNotify, kuMsgGraphNotify, PM_REMOVE))
        ++cMessages;
    return cMessages;
}

} // namespace

// ---------------------------------------------------------------------------
// Fixtures

class GraphTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(S_OK, m_apartment.Status());
        ASSERT_NE(nullptr, m_window.Handle());
    }

    // A new filter graph manager of the platform.
    CComPtr<IGraphBuilder> NewRealGraph()
    {
        CComPtr<IGraphBuilder> spGraph;
        EXPECT_EQ(S_OK, spGraph.CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER));
        return spGraph;
    }
    // Hands CGraph a graph manager, as BuildGraph does when it creates one.
    void Attach(IGraphBuilder* pGraph) { CGraphAccess::Graph(m_graph) = pGraph; }
    IGraphBuilder* HeldGraph() { return CGraphAccess::Graph(m_graph); }
    IVelkRtmpServer* HeldServer() { return CGraphAccess::Server(m_graph); }
    HWND Window() const { return m_window.Handle(); }

    CComApartment m_apartment; // first member: COM goes down after all the others
    CHiddenWindow m_window;
    CDiagnosticsRecorder m_diag;
    CGraph m_graph;
};

// A fake graph manager, handed out for CLSID_FilterGraph in this process.
class FakeGraphTest : public GraphTest
{
protected:
    CComPtr<CFakeGraphManager> m_spFake = MakeFake<CFakeGraphManager>();
    CClassRegistration m_regGraph{CLSID_FilterGraph, m_spFake->Identity()};
    // What the test and the registration hold.
    const ULONG m_cFakeBase = m_spFake->RefCount();
};

// The maker's four filters as fakes with the pins of the default graph, each
// handed out for its class id in this process.
class DefaultGraphTest : public GraphTest
{
protected:
    DefaultGraphTest() { m_spGenerator->ExposeGenerator(); }

    std::vector<CFakeFilter*> Filters() const { return {m_spGenerator, m_spH264, m_spAAC, m_spServer}; }
    std::vector<ULONG> RefCounts() const
    {
        std::vector<ULONG> counts;
        for (CFakeFilter* pFilter : Filters())
            counts.push_back(pFilter->RefCount());
        return counts;
    }
    CClassRegistration& Registration(size_t i)
    {
        CClassRegistration* rgRegs[] = {&m_regGenerator, &m_regH264, &m_regAAC, &m_regServer};
        return *rgRegs[i];
    }
    // The default graph's connections in build order: upstream, downstream pin.
    std::vector<std::pair<CFakePin*, CFakePin*>> Connections() const
    {
        return {{m_spGenerator->Pin(0), m_spH264->Pin(0)},
                {m_spH264->Pin(1), m_spServer->Pin(0)},
                {m_spGenerator->Pin(1), m_spAAC->Pin(0)},
                {m_spAAC->Pin(1), m_spServer->Pin(1)}};
    }
    size_t LinkedCount() const
    {
        size_t cLinked = 0;
        for (const auto& connection : Connections())
            cLinked += Linked(connection.first, connection.second) ? 1 : 0;
        return cLinked;
    }

    CComPtr<CFakeFilter> m_spGenerator = NewFilter(CLSID_VelkVideoGenerator, 0, 2);
    CComPtr<CFakeFilter> m_spH264 = NewFilter(CLSID_VelkH264Encoder, 1, 1);
    CComPtr<CFakeFilter> m_spAAC = NewFilter(CLSID_VelkAACEncoder, 1, 1);
    CComPtr<CFakeFilter> m_spServer = NewServer();
    CClassRegistration m_regGenerator{CLSID_VelkVideoGenerator, m_spGenerator->Identity()};
    CClassRegistration m_regH264{CLSID_VelkH264Encoder, m_spH264->Identity()};
    CClassRegistration m_regAAC{CLSID_VelkAACEncoder, m_spAAC->Identity()};
    CClassRegistration m_regServer{CLSID_VelkRtmpServer, m_spServer->Identity()};
    const std::vector<ULONG> m_baseCounts = RefCounts();
};

const wchar_t* const kszFilterNames[] = {L"Video Generator", L"H264 Encoder", L"AAC Encoder", L"RTMP Server"};

// ---------------------------------------------------------------------------
// Without a graph

TEST_F(GraphTest, EveryOperationWithoutAGraphFailsOrDoesNothing)
{
    struct Case
    {
        const char* pszName;
        std::function<long(CGraph&)> operation;
        long lExpected;
        Reports reports;
    };
    CComPtr<CFakeFilter> spFilter = NewFilter(GUID_NULL, 0, 1);
    IPin* pPin = nullptr;
    const Case cases[] = {
        {"Run", [](CGraph& g) { return g.Run(); }, E_FAIL, {L"m_spGraph != 0"}},
        {"Pause", [](CGraph& g) { return g.Pause(); }, E_FAIL, {L"m_spGraph != 0"}},
        {"Stop", [](CGraph& g) { return g.Stop(); }, E_FAIL, {}},
        {"ProcessEvents", [](CGraph& g) { return g.ProcessEvents(); }, 0, {}},
        {"ReleaseGraph", [](CGraph& g) { g.ReleaseGraph(); return 0L; }, 0, {}},
        {"CheckFilter", [&](CGraph& g) { return g.CheckFilter(spFilter, &pPin, PINDIR_OUTPUT); }, E_FAIL,
         {L"m_spGraph != 0"}},
        {"FindSplitter", [](CGraph& g) { return g.FindSplitter(); }, E_FAIL, {L"m_spGraph != 0"}},
        {"SetCurrentPosition", [](CGraph& g) { return g.SetCurrentPosition(10); }, E_FAIL, {}},
        {"SetCurrentPositionRatio", [](CGraph& g) { return g.SetCurrentPositionRatio(0.5); }, E_FAIL, {}},
        {"SetStopPositionRatio", [](CGraph& g) { return g.SetStopPositionRatio(0.5); }, E_FAIL, {}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.pszName);
        m_diag.Clear();
        EXPECT_EQ(c.lExpected, c.operation(m_graph));
        EXPECT_EQ(c.reports, m_diag.Reports());
        EXPECT_TRUE(m_graph.IsEmpty());
    }
    EXPECT_EQ(nullptr, pPin);
    EXPECT_EQ(0u, spFilter->EnumPinsCalls());
    EXPECT_EQ(1u, spFilter->RefCount());
}

// ---------------------------------------------------------------------------
// BuildGraph: the default streaming graph on Wine's graph manager

TEST_F(DefaultGraphTest, BuildsFourNamedFiltersAndConnectsVideoBeforeAudio)
{
    ASSERT_EQ(S_OK, m_graph.BuildGraph(nullptr, Window(), kuMsgGraphNotify));

    EXPECT_EQ(Reports(), m_diag.Reports());
    CComPtr<IGraphBuilder> spGraph = HeldGraph();
    ASSERT_TRUE(spGraph);
    EXPECT_EQ(4u, FiltersOf(spGraph).size());
    for (size_t i = 0; i < 4; ++i)
    {
        CComPtr<IBaseFilter> spFound;
        EXPECT_EQ(S_OK, spGraph->FindFilterByName(kszFilterNames[i], &spFound)) << i;
        EXPECT_EQ(static_cast<IBaseFilter*>(Filters()[i]), spFound) << i;
    }
    for (const auto& connection : Connections())
    {
        EXPECT_TRUE(Linked(connection.first, connection.second));
        EXPECT_FALSE(connection.first->ConnectProposedType());
    }
    EXPECT_EQ(1u, m_spGenerator->SetModeCalls());
    EXPECT_EQ(1, m_spGenerator->LastMode());
    EXPECT_TRUE(m_spGenerator->SetModeInGraphBeforeConnections());
    EXPECT_EQ(nullptr, HeldServer());
    CComBSTR cbsCaption(L"stale");
    EXPECT_EQ(S_FALSE, m_graph.GetServerVersion(cbsCaption));
    EXPECT_EQ(nullptr, cbsCaption.m_str);

    // The graph manager now posts the notification message for each event.
    TakeNotifications(Window());
    CComPtr<IMediaEventSink> spSink;
    ASSERT_EQ(S_OK, spGraph.QueryInterface(&spSink));
    ASSERT_EQ(S_OK, spSink->Notify(EC_USER + 5, 0, 0));
    EXPECT_EQ(1, TakeNotifications(Window()));
    EXPECT_EQ(EC_USER + 5, m_graph.ProcessEvents());

    spSink.Release();
    spGraph.Release();
    m_graph.ReleaseGraph();
    EXPECT_TRUE(m_graph.IsEmpty());
    EXPECT_EQ(m_baseCounts, RefCounts());
    EXPECT_EQ(0u, LinkedCount());
    EXPECT_EQ(Reports(), m_diag.Reports());
}

TEST_F(DefaultGraphTest, SecondBuildDiscardsTheFirstGraph)
{
    ASSERT_EQ(S_OK, m_graph.BuildGraph(nullptr, Window(), kuMsgGraphNotify));
    const std::vector<ULONG> countsBuilt = RefCounts();

    // The same filters go into the new graph: only once the first has let go
    // of them are their pins free again.
    ASSERT_EQ(S_OK, m_graph.BuildGraph(nullptr, Window(), kuMsgGraphNotify));
    EXPECT_EQ(countsBuilt, RefCounts());
    EXPECT_EQ(4u, LinkedCount());
    EXPECT_EQ(Reports(), m_diag.Reports());

    m_graph.ReleaseGraph();
    EXPECT_EQ(m_baseCounts, RefCounts());
}

TEST_F(DefaultGraphTest, GeneratorModeIsBestEffort)
{
    struct Case
    {
        const char* pszName;
        bool bInterface;
        Reports reports;
    };
    const Case cases[] = {
        {"SetModeFails", true, {}},
        {"NoGeneratorInterface", false, {L"spGen != 0"}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.pszName);
        CComPtr<CFakeFilter> spGenerator = NewFilter(CLSID_VelkVideoGenerator, 0, 2);
        if (c.bInterface)
            spGenerator->ExposeGenerator(E_FAIL);
        m_regGenerator.Factory().HandOut(spGenerator->Identity());
        m_diag.Clear();

        EXPECT_EQ(S_OK, m_graph.BuildGraph(nullptr, Window(), kuMsgGraphNotify));
        EXPECT_EQ(c.reports, m_diag.Reports());
        EXPECT_EQ(c.bInterface ? 1u : 0u, spGenerator->SetModeCalls());
        EXPECT_TRUE(Linked(spGenerator->Pin(1), m_spAAC->Pin(0)));
        m_graph.ReleaseGraph();
        EXPECT_EQ(2u, spGenerator->RefCount()); // the test's and the factory's
    }
}

// Each step of the default build that fails stops it with its own status and
// report; what was built before stays in the graph.
enum class Fault
{
    NotCreated,    // the class factory fails
    NotInserted,   // the filter refuses to join the graph
    Refused,       // an input pin refuses the connection
    ConnectRemark, // an output pin connects but answers a success other than S_OK
};

struct BuildStep
{
    const char* pszName;
    size_t nFilter; // generator, H.264 encoder, AAC encoder, server
    Fault eFault;
    size_t nPin;
    HRESULT hr;
    const wchar_t* pszReport;
    size_t cInserted;
    size_t cConnected;
};

void PrintTo(const BuildStep& step, std::ostream* os)
{
    *os << step.pszName;
}

class DefaultGraphStepTest : public DefaultGraphTest, public ::testing::WithParamInterface<BuildStep>
{
protected:
    void Inject(const BuildStep& step)
    {
        CFakeFilter* pFilter = Filters()[step.nFilter];
        switch (step.eFault)
        {
        case Fault::NotCreated:
            Registration(step.nFilter).Factory().Fail(step.hr);
            break;
        case Fault::NotInserted:
            pFilter->FailJoin(step.hr);
            break;
        case Fault::Refused:
            pFilter->Pin(step.nPin)->SetReceiveResult(step.hr);
            break;
        case Fault::ConnectRemark:
            pFilter->Pin(step.nPin)->SetConnectResult(step.hr);
            break;
        }
    }
};

TEST_P(DefaultGraphStepTest, StopsAtTheFailingStepAndUndoesNothing)
{
    const BuildStep& step = GetParam();
    Inject(step);
    const std::vector<ULONG> baseCounts = RefCounts();

    EXPECT_EQ(step.hr, m_graph.BuildGraph(nullptr, Window(), kuMsgGraphNotify));
    EXPECT_EQ(Reports{step.pszReport}, m_diag.Reports());

    ASSERT_FALSE(m_graph.IsEmpty());
    CComPtr<IGraphBuilder> spGraph = HeldGraph();
    EXPECT_EQ(step.cInserted, FiltersOf(spGraph).size());
    for (size_t i = 0; i < 4; ++i)
    {
        const bool bInserted = i < step.cInserted;
        EXPECT_EQ(bInserted, Filters()[i]->Graph() != nullptr) << kszFilterNames[i];
        if (bInserted)
        {
            EXPECT_EQ(kszFilterNames[i], Filters()[i]->NameInGraph());
        }
    }
    // The connections before the failing one are made; none after it is tried.
    const size_t cTried =
        step.cInserted < 4 ? 0 : (step.eFault == Fault::Refused ? step.cConnected + 1 : step.cConnected);
    const auto connections = Connections();
    for (size_t k = 0; k < connections.size(); ++k)
    {
        EXPECT_EQ(k < step.cConnected, Linked(connections[k].first, connections[k].second)) << "connection " << k;
        EXPECT_EQ(k < cTried ? 1u : 0u, connections[k].first->ConnectCalls()) << "connection " << k;
    }
    EXPECT_EQ(nullptr, HeldServer());

    spGraph.Release();
    m_graph.ReleaseGraph();
    EXPECT_EQ(baseCounts, RefCounts());
    EXPECT_EQ(0u, LinkedCount());
}

INSTANTIATE_TEST_SUITE_P(
    Steps, DefaultGraphStepTest,
    ::testing::Values(
        BuildStep{"GeneratorNotCreated", 0, Fault::NotCreated, 0, E_OUTOFMEMORY,
                  L"CGraph::BuildFromFile(): Can't create Velk Video Generator", 0, 0},
        BuildStep{"GeneratorNotInserted", 0, Fault::NotInserted, 0, E_ACCESSDENIED,
                  L"CGraph::BuildFromFile(): Can't insert Velk Video Generator", 0, 0},
        BuildStep{"H264EncoderNotCreated", 1, Fault::NotCreated, 0, CLASS_E_CLASSNOTAVAILABLE,
                  L"CGraph::BuildFromFile(): Can't create Velk H264 Encoder", 1, 0},
        BuildStep{"H264EncoderNotInserted", 1, Fault::NotInserted, 0, E_ACCESSDENIED,
                  L"CGraph::BuildFromFile(): Can't insert Velk H264 Encoder", 1, 0},
        BuildStep{"AacEncoderNotCreated", 2, Fault::NotCreated, 0, E_OUTOFMEMORY,
                  L"CGraph::BuildFromFile(): Can't create Velk AAC Encoder", 2, 0},
        BuildStep{"AacEncoderNotInserted", 2, Fault::NotInserted, 0, E_ACCESSDENIED,
                  L"CGraph::BuildFromFile(): Can't insert Velk AAC Encoder", 2, 0},
        BuildStep{"ServerNotCreated", 3, Fault::NotCreated, 0, REGDB_E_CLASSNOTREG,
                  L"CGraph::BuildFromFile(): Can't create Velk RTMP Server", 3, 0},
        BuildStep{"ServerNotInserted", 3, Fault::NotInserted, 0, E_ACCESSDENIED,
                  L"CGraph::BuildFromFile(): Can't insert Velk RTMP Server", 3, 0},
        BuildStep{"H264EncoderRefusesGenerator", 1, Fault::Refused, 0, VFW_E_TYPE_NOT_ACCEPTED,
                  L"CGraph::BuildFromFile(): Can't connect Velk H264 Encoder", 4, 0},
        BuildStep{"ServerRefusesVideo", 3, Fault::Refused, 0, VFW_E_TYPE_NOT_ACCEPTED,
                  L"CGraph::BuildFromFile(): Can't connect Velk H264 Encoder", 4, 1},
        BuildStep{"AacEncoderRefusesGenerator", 2, Fault::Refused, 0, VFW_E_NO_ACCEPTABLE_TYPES,
                  L"CGraph::BuildFromFile(): Can't connect Velk AAC Encoder", 4, 2},
        BuildStep{"ServerRefusesAudio", 3, Fault::Refused, 1, VFW_E_TYPE_NOT_ACCEPTED,
                  L"CGraph::BuildFromFile(): Can't connect Velk AAC Encoder", 4, 3},
        BuildStep{"VideoConnectionWithRemark", 0, Fault::ConnectRemark, 0, S_FALSE,
                  L"CGraph::BuildFromFile(): Can't connect Velk H264 Encoder", 4, 1}),
    [](const ::testing::TestParamInfo<BuildStep>& info) { return std::string(info.param.pszName); });

// ---------------------------------------------------------------------------
// BuildGraph and ReleaseGraph around a fake graph manager

TEST_F(FakeGraphTest, BuildGraphWithoutAWindowChangesNothing)
{
    CComPtr<CFakeFilter> spServer = NewServer();
    Attach(m_spFake);
    CGraphAccess::Server(m_graph) = spServer;

    EXPECT_EQ(E_INVALIDARG, m_graph.BuildGraph(nullptr, reinterpret_cast<HWND>(0x1234), kuMsgGraphNotify));
    EXPECT_EQ(Reports{L"::IsWindow(hWnd)"}, m_diag.Reports());
    EXPECT_EQ(static_cast<IGraphBuilder*>(m_spFake), HeldGraph());
    EXPECT_EQ(AsServer(spServer), HeldServer());
    EXPECT_TRUE(m_spFake->NotifyWindowCalls().empty());
    EXPECT_EQ(0u, m_regGraph.Factory().CreateCalls());
}

TEST_F(GraphTest, BuildGraphReportsAGraphManagerThatCannotBeCreated)
{
    CComPtr<CFakeGraphManager> spOld = MakeFake<CFakeGraphManager>();
    Attach(spOld);
    CClassRegistration reg(CLSID_FilterGraph, E_OUTOFMEMORY);

    EXPECT_EQ(E_OUTOFMEMORY, m_graph.BuildGraph(nullptr, Window(), kuMsgGraphNotify));
    EXPECT_EQ(Reports{L"CGraph::BuildGraph(): m_spGraph.CoCreateInstance() FAILED"}, m_diag.Reports());
    EXPECT_TRUE(m_graph.IsEmpty());
    EXPECT_EQ(1u, spOld->RefCount()); // the old graph was released first
    EXPECT_EQ(1u, spOld->NotifyWindowCalls().size());
}

TEST_F(FakeGraphTest, ReleaseGraphStopsNotificationsAndReleasesBoth)
{
    CComPtr<CFakeFilter> spServer = NewServer();
    Attach(m_spFake);
    CGraphAccess::Server(m_graph) = spServer;

    m_graph.ReleaseGraph();
    // Stopped first: others may still hold the graph.
    EXPECT_EQ(std::vector<std::string>{"Stop"}, m_spFake->ControlCalls());
    ASSERT_EQ(1u, m_spFake->NotifyWindowCalls().size());
    const auto call = m_spFake->NotifyWindowCalls()[0];
    EXPECT_EQ(0, call.hwnd);
    EXPECT_EQ(0, call.lMsg);
    EXPECT_EQ(0, call.lInstanceData);
    EXPECT_TRUE(m_graph.IsEmpty());
    EXPECT_EQ(nullptr, HeldServer());
    EXPECT_EQ(m_cFakeBase, m_spFake->RefCount());
    EXPECT_EQ(1u, spServer->RefCount());
    EXPECT_EQ(Reports(), m_diag.Reports());
}

TEST_F(FakeGraphTest, ReleaseGraphWhoseStopFailsTracesAndStillReleases)
{
    m_spFake->SetControlResult(E_UNEXPECTED);
    Attach(m_spFake);

    m_graph.ReleaseGraph();
    EXPECT_TRUE(m_graph.IsEmpty());
    EXPECT_EQ(m_cFakeBase, m_spFake->RefCount());
    std::vector<std::wstring> traces;
    for (const auto& trace : m_diag.Traces())
        traces.push_back(trace.text);
    EXPECT_EQ(std::vector<std::wstring>{L"###Err### CGraph::ReleaseGraph(): Stop()=0x8000FFFF\n"}, traces);
}

TEST_F(FakeGraphTest, ReleaseGraphWithoutEventInterfaceReportsAndStillReleases)
{
    m_spFake->Withhold(IID_IMediaEventEx);
    Attach(m_spFake);

    m_graph.ReleaseGraph();
    EXPECT_EQ(Reports{L"spMediaEventEx != 0"}, m_diag.Reports());
    EXPECT_TRUE(m_spFake->NotifyWindowCalls().empty());
    EXPECT_TRUE(m_graph.IsEmpty());
    EXPECT_EQ(m_cFakeBase, m_spFake->RefCount());
}

// ---------------------------------------------------------------------------
// BuildGraph from a graph file

class GraphFileTest : public FakeGraphTest
{
protected:
    void SetUp() override
    {
        FakeGraphTest::SetUp();
        WriteCompoundFile(m_grf, {{L"Other", "not the graph"}, {L"ActiveMovieGraph", "0003 FILTERS END"}});
    }

    CTempFolder m_folder;
    const std::wstring m_grf = m_folder.File(L"graph.grf");
};

TEST_F(GraphFileTest, LoadsTheGraphStreamFindsTheServerAndRegistersTheWindow)
{
    CComPtr<CFakeFilter> spGenerator = NewFilter(CLSID_VelkVideoGenerator, 0, 2);
    CComPtr<CFakeFilter> spServer = NewServer();
    spServer->ExposeVersion(FakeVersion());
    m_spFake->SetLoad(S_FALSE, {{spGenerator, L"Video Generator"}, {spServer, L"RTMP Server"}});

    EXPECT_EQ(S_OK, m_graph.BuildGraph(m_grf.c_str(), Window(), kuMsgGraphNotify));
    EXPECT_EQ(Reports(), m_diag.Reports());
    EXPECT_EQ("0003 FILTERS END", m_spFake->LoadedBytes());
    EXPECT_EQ(S_OK, OpenStorageStatus(m_grf)); // the file is closed again
    EXPECT_EQ(AsServer(spServer), HeldServer());
    ASSERT_EQ(1u, m_spFake->NotifyWindowCalls().size());
    const auto call = m_spFake->NotifyWindowCalls()[0];
    EXPECT_EQ(reinterpret_cast<OAHWND>(Window()), call.hwnd);
    EXPECT_EQ(static_cast<long>(kuMsgGraphNotify), call.lMsg);
    EXPECT_EQ(0, call.lInstanceData);

    CComBSTR cbsCaption;
    EXPECT_EQ(S_OK, m_graph.GetServerVersion(cbsCaption));
    EXPECT_STREQ(L"Velk RTMP Server [Release 64] v.1.0.0.1 (2015-03-04 12:00)", cbsCaption);

    // What CGraph holds beyond the graph's own references: the graph and the server.
    EXPECT_EQ(m_cFakeBase + 1, m_spFake->RefCount());
    EXPECT_EQ(3u, spServer->RefCount());
    EXPECT_EQ(2u, spGenerator->RefCount());
    m_graph.ReleaseGraph();
    EXPECT_EQ(m_cFakeBase, m_spFake->RefCount());
    EXPECT_EQ(2u, spServer->RefCount());
}

TEST_F(GraphFileTest, GraphWithoutServerStaysLoadedWithoutNotifications)
{
    CComPtr<CFakeFilter> spGenerator = NewFilter(CLSID_VelkVideoGenerator, 0, 2);
    m_spFake->SetLoad(S_OK, {{spGenerator, L"Video Generator"}});

    EXPECT_EQ(S_FALSE, m_graph.BuildGraph(m_grf.c_str(), Window(), kuMsgGraphNotify));
    EXPECT_EQ(Reports(), m_diag.Reports());
    EXPECT_EQ(static_cast<IGraphBuilder*>(m_spFake), HeldGraph());
    EXPECT_EQ(nullptr, HeldServer());
    EXPECT_TRUE(m_spFake->NotifyWindowCalls().empty());
    EXPECT_EQ(2u, spGenerator->RefCount());
    CComBSTR cbsCaption;
    EXPECT_EQ(S_FALSE, m_graph.GetServerVersion(cbsCaption));
    EXPECT_EQ(nullptr, cbsCaption.m_str);
}

TEST_F(GraphFileTest, RefusedLoadIsReportedAndWhatWasLoadedStays)
{
    CComPtr<CFakeFilter> spServer = NewServer();
    m_spFake->SetLoad(VFW_E_CANNOT_CONNECT, {{spServer, L"RTMP Server"}});

    EXPECT_EQ(VFW_E_CANNOT_CONNECT, m_graph.BuildGraph(m_grf.c_str(), Window(), kuMsgGraphNotify));
    EXPECT_EQ(Reports{L"CGraph::BuildFromGRFFile(): Can't load data from .grf file"}, m_diag.Reports());
    EXPECT_EQ(1u, m_spFake->FilterCount());
    EXPECT_EQ(0u, m_spFake->EnumFiltersCalls()); // the server is not looked for
    EXPECT_EQ(nullptr, HeldServer());
    EXPECT_TRUE(m_spFake->NotifyWindowCalls().empty());
    EXPECT_EQ(S_OK, OpenStorageStatus(m_grf));
    EXPECT_EQ(m_cFakeBase + 1, m_spFake->RefCount());
}

TEST_F(GraphFileTest, GraphManagerWithoutPersistenceIsReportedNotCalled)
{
    m_spFake->Withhold(IID_IPersistStream);

    EXPECT_EQ(E_NOINTERFACE, m_graph.BuildGraph(m_grf.c_str(), Window(), kuMsgGraphNotify));
    EXPECT_EQ(Reports{L"spPersistStream != 0"}, m_diag.Reports());
    EXPECT_EQ(0u, m_spFake->LoadCalls());
    EXPECT_EQ(S_OK, OpenStorageStatus(m_grf));
    EXPECT_EQ(m_cFakeBase + 1, m_spFake->RefCount());
}

TEST_F(GraphFileTest, NotificationRegistrationFailuresAfterALoad)
{
    struct Case
    {
        const char* pszName;
        bool bEventInterface;
        HRESULT hrExpected;
        Reports reports;
        size_t cCalls;
    };
    const Case cases[] = {
        {"NoMediaEventEx", false, E_NOINTERFACE, {L"spMediaEventEx != 0"}, 0},
        {"SetNotifyWindowFails", true, S_OK, {L"hr == ((HRESULT)0L)"}, 1},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.pszName);
        CComPtr<CFakeFilter> spServer = NewServer();
        CComPtr<CFakeGraphManager> spFake = MakeFake<CFakeGraphManager>();
        spFake->SetLoad(S_OK, {{spServer, L"RTMP Server"}});
        if (c.bEventInterface)
            spFake->SetNotifyWindowResult(E_FAIL);
        else
            spFake->Withhold(IID_IMediaEventEx);
        m_regGraph.Factory().HandOut(spFake->Identity());
        m_diag.Clear();

        EXPECT_EQ(c.hrExpected, m_graph.BuildGraph(m_grf.c_str(), Window(), kuMsgGraphNotify));
        EXPECT_EQ(c.reports, m_diag.Reports());
        EXPECT_EQ(c.cCalls, spFake->NotifyWindowCalls().size());
        EXPECT_EQ(AsServer(spServer), HeldServer());
        EXPECT_EQ(3u, spFake->RefCount()); // the test's, the factory's and CGraph's
        m_graph.ReleaseGraph();
        m_regGraph.Factory().Fail(E_UNEXPECTED);
        EXPECT_EQ(1u, spFake->RefCount());
    }
}

TEST_F(GraphFileTest, SecondBuildDiscardsTheFirstGraph)
{
    CComPtr<CFakeGraphManager> spSecond = MakeFake<CFakeGraphManager>();
    ASSERT_EQ(S_FALSE, m_graph.BuildGraph(m_grf.c_str(), Window(), kuMsgGraphNotify));
    m_regGraph.Factory().HandOut(spSecond->Identity());

    ASSERT_EQ(S_FALSE, m_graph.BuildGraph(m_grf.c_str(), Window(), kuMsgGraphNotify));
    EXPECT_EQ(static_cast<IGraphBuilder*>(spSecond), HeldGraph());
    EXPECT_EQ(1u, m_spFake->RefCount()); // the test's alone
    ASSERT_EQ(1u, m_spFake->NotifyWindowCalls().size());
    EXPECT_EQ(0, m_spFake->NotifyWindowCalls()[0].hwnd);
    EXPECT_EQ(Reports(), m_diag.Reports());
}

// The platform's graph manager cannot load graph files; the file must still
// be opened first, and one that cannot be opened is reported as such.
TEST_F(GraphTest, GraphFileThatCannotBeOpenedIsReportedWithTheOpenStatus)
{
    CTempFolder folder;
    const std::wstring missing = folder.File(L"missing.grf");
    const std::wstring plain = folder.File(L"plain.grf");
    WriteTextFile(plain, "0003\r\nFILTERS\r\nEND\r\n");
    const std::wstring locked = folder.File(L"locked.grf");
    WriteCompoundFile(locked, {{L"ActiveMovieGraph", "0003"}});
    CComPtr<IStorage> spHeld;
    ASSERT_EQ(S_OK, ::StgOpenStorage(locked.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0, &spHeld));

    struct Case
    {
        const char* pszName;
        const std::wstring& path;
        HRESULT hrOpen;
    };
    const Case cases[] = {
        {"Missing", missing, STG_E_FILENOTFOUND},
        {"PlainText", plain, STG_E_FILEALREADYEXISTS},
        {"OpenElsewhere", locked, OpenStorageStatus(locked)},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.pszName);
        ASSERT_TRUE(FAILED(c.hrOpen));
        m_diag.Clear();
        EXPECT_EQ(c.hrOpen, m_graph.BuildGraph(c.path.c_str(), Window(), kuMsgGraphNotify));
        EXPECT_TRUE(m_diag.HasReport(L"CGraph::BuildFromGRFFile(): Can't open .grf file"));
        EXPECT_FALSE(m_graph.IsEmpty());
        EXPECT_EQ(nullptr, HeldServer());
    }
}

TEST_F(GraphTest, CompoundFileWithoutGraphStreamIsInvalid)
{
    CTempFolder folder;
    const std::wstring path = folder.File(L"nograph.grf");
    WriteCompoundFile(path, {{L"Contents", "0003 FILTERS END"}});

    EXPECT_EQ(STG_E_FILENOTFOUND, m_graph.BuildGraph(path.c_str(), Window(), kuMsgGraphNotify));
    EXPECT_TRUE(m_diag.HasReport(L"CGraph::BuildFromGRFFile(): Invalid .grf file"));
    EXPECT_FALSE(m_diag.HasReport(L"CGraph::BuildFromGRFFile(): Can't open .grf file"));
    EXPECT_EQ(S_OK, OpenStorageStatus(path));
}

// ---------------------------------------------------------------------------
// Playback and events

TEST_F(GraphTest, PlaybackDrivesTheFiltersThroughTheRealGraphManager)
{
    CComPtr<CFakeFilter> spSource = NewFilter(GUID_NULL, 0, 1);
    CComPtr<CFakeFilter> spServer = NewServer();
    CComPtr<IGraphBuilder> spGraph = NewRealGraph();
    ASSERT_EQ(S_OK, spGraph->AddFilter(spSource, L"Source"));
    ASSERT_EQ(S_OK, spGraph->AddFilter(spServer, L"RTMP Server"));
    ASSERT_EQ(S_OK, spSource->Pin(0)->Connect(spServer->Pin(0), nullptr));
    Attach(spGraph);

    EXPECT_EQ(S_OK, m_graph.Run());
    EXPECT_EQ(State_Running, spServer->State());
    EXPECT_EQ(EC_CLOCK_CHANGED, m_graph.ProcessEvents());
    EXPECT_EQ(S_OK, m_graph.Pause());
    EXPECT_EQ(State_Paused, spSource->State());
    EXPECT_EQ(S_OK, m_graph.Stop());
    EXPECT_EQ(State_Stopped, spServer->State());
    EXPECT_EQ(Reports(), m_diag.Reports());
}

TEST_F(FakeGraphTest, PlaybackHandsTheStatusBackUnchanged)
{
    struct Case
    {
        const char* pszName;
        HRESULT (CGraph::*pfnOperation)();
        HRESULT hr;
    };
    const Case cases[] = {
        {"Run", &CGraph::Run, S_FALSE},
        {"Pause", &CGraph::Pause, VFW_E_NOT_CONNECTED},
        {"Stop", &CGraph::Stop, E_UNEXPECTED},
    };
    Attach(m_spFake);
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.pszName);
        m_spFake->SetControlResult(c.hr);
        EXPECT_EQ(c.hr, (m_graph.*c.pfnOperation)());
        EXPECT_EQ(c.pszName, m_spFake->ControlCalls().back());
        EXPECT_EQ(m_cFakeBase + 1, m_spFake->RefCount());
    }
    EXPECT_EQ(3u, m_spFake->ControlCalls().size());
    EXPECT_EQ(Reports(), m_diag.Reports());

    m_spFake->Withhold(IID_IMediaControl);
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.pszName);
        m_diag.Clear();
        EXPECT_EQ(E_FAIL, (m_graph.*c.pfnOperation)());
        EXPECT_EQ(Reports{L"spMediaControl != 0"}, m_diag.Reports());
    }
    EXPECT_EQ(3u, m_spFake->ControlCalls().size());
}

TEST_F(GraphTest, ProcessEventsTakesTheRealGraphEventsInQueueOrder)
{
    CComPtr<IGraphBuilder> spGraph = NewRealGraph();
    Attach(spGraph);
    CComPtr<IMediaEventSink> spSink;
    ASSERT_EQ(S_OK, spGraph.QueryInterface(&spSink));
    ASSERT_EQ(S_OK, spSink->Notify(EC_USER + 1, 11, 12));
    ASSERT_EQ(S_OK, spSink->Notify(EC_USER + 3, 31, 32));
    ASSERT_EQ(S_OK, spSink->Notify(EC_USER + 2, 21, 22));

    EXPECT_EQ(EC_USER + 1, m_graph.ProcessEvents());
    EXPECT_EQ(EC_USER + 3, m_graph.ProcessEvents());
    EXPECT_EQ(EC_USER + 2, m_graph.ProcessEvents());
    EXPECT_EQ(0, m_graph.ProcessEvents());
    EXPECT_EQ(Reports(), m_diag.Reports());
}

TEST_F(FakeGraphTest, ProcessEventsTakesOneEventWithoutWaitingAndFreesIt)
{
    Attach(m_spFake);
    m_spFake->QueueEvent(EC_COMPLETE, 1, 2);
    m_spFake->QueueEvent(EC_ERRORABORT, E_FAIL, 0);

    EXPECT_EQ(EC_COMPLETE, m_graph.ProcessEvents());
    ASSERT_EQ(1u, m_spFake->FreedEvents().size());
    EXPECT_EQ(EC_ERRORABORT, m_graph.ProcessEvents());
    EXPECT_EQ(0, m_graph.ProcessEvents());

    const auto& freed = m_spFake->FreedEvents();
    ASSERT_EQ(2u, freed.size());
    EXPECT_EQ(EC_COMPLETE, freed[0].lCode);
    EXPECT_EQ(1, freed[0].lParam1);
    EXPECT_EQ(2, freed[0].lParam2);
    EXPECT_EQ(EC_ERRORABORT, freed[1].lCode);
    EXPECT_EQ(E_FAIL, freed[1].lParam1);
    EXPECT_EQ(std::vector<long>(3, 0), m_spFake->GetEventTimeouts());
    EXPECT_EQ(m_cFakeBase + 1, m_spFake->RefCount());

    // Without IMediaEvent nothing is taken, and nothing is called.
    m_spFake->Withhold(IID_IMediaEvent);
    m_spFake->QueueEvent(EC_COMPLETE, 0, 0);
    EXPECT_EQ(0, m_graph.ProcessEvents());
    EXPECT_EQ(Reports{L"spMediaEvent != 0"}, m_diag.Reports());
    EXPECT_EQ(3u, m_spFake->GetEventTimeouts().size());
    EXPECT_EQ(m_cFakeBase + 1, m_spFake->RefCount());
}

// ---------------------------------------------------------------------------
// Seeking

TEST_F(GraphTest, SeekingGoesThroughTheRealGraphManagerToTheRenderer)
{
    CComPtr<CFakeFilter> spServer = NewServer();
    spServer->ExposeSeeking();
    spServer->SetDurationAnswer(S_OK, 12345678);
    CComPtr<IGraphBuilder> spGraph = NewRealGraph();
    ASSERT_EQ(S_OK, spGraph->AddFilter(spServer, L"RTMP Server"));
    Attach(spGraph);

    REFERENCE_TIME llDuration = -1;
    EXPECT_EQ(S_OK, m_graph.GetDuration(&llDuration));
    EXPECT_EQ(12345678, llDuration);

    EXPECT_EQ(S_OK, m_graph.SetCurrentPositionRatio(0.333));
    ASSERT_EQ(1u, spServer->SetPositionsCalls().size());
    const auto seek = spServer->SetPositionsCalls()[0];
    EXPECT_EQ(4111110, seek.llCurrent);
    EXPECT_EQ(AM_SEEKING_AbsolutePositioning, seek.dwCurrentFlags & AM_SEEKING_PositioningBitsMask);
    EXPECT_EQ(AM_SEEKING_NoPositioning, seek.dwStopFlags & AM_SEEKING_PositioningBitsMask);
    REFERENCE_TIME llPosition = -1;
    EXPECT_EQ(S_OK, m_graph.GetCurrentPosition(&llPosition));
    EXPECT_EQ(4111110, llPosition);

    EXPECT_EQ(S_OK, m_graph.SetStopPositionRatio(1.7));
    ASSERT_EQ(2u, spServer->SetPositionsCalls().size());
    const auto stop = spServer->SetPositionsCalls()[1];
    EXPECT_EQ(12345678, stop.llStop);
    EXPECT_EQ(AM_SEEKING_AbsolutePositioning, stop.dwStopFlags & AM_SEEKING_PositioningBitsMask);
    EXPECT_EQ(AM_SEEKING_NoPositioning, stop.dwCurrentFlags & AM_SEEKING_PositioningBitsMask);
    EXPECT_EQ(Reports(), m_diag.Reports());
}

TEST_F(GraphTest, RealGraphManagerWithoutSeekingRendererFailsUnchanged)
{
    CComPtr<IGraphBuilder> spGraph = NewRealGraph();
    Attach(spGraph);
    CComPtr<IMediaSeeking> spSeeking;
    ASSERT_EQ(S_OK, spGraph.QueryInterface(&spSeeking));
    LONGLONG llIgnored = 0;
    const HRESULT hrPlatform = spSeeking->GetDuration(&llIgnored);
    ASSERT_TRUE(FAILED(hrPlatform));

    REFERENCE_TIME llDuration = -1;
    EXPECT_EQ(hrPlatform, m_graph.GetDuration(&llDuration));
    EXPECT_EQ(0, llDuration);
    EXPECT_EQ(Reports(), m_diag.Reports()); // the duration query is not checked
}

TEST_F(FakeGraphTest, NullOutPointerComesFirst)
{
    for (bool bGraph : {false, true})
    {
        SCOPED_TRACE(bGraph ? "with a graph" : "without a graph");
        if (bGraph)
            Attach(m_spFake);
        m_diag.Clear();
        EXPECT_EQ(E_POINTER, m_graph.GetDuration(nullptr));
        EXPECT_EQ(E_POINTER, m_graph.GetCurrentPosition(nullptr));
        EXPECT_EQ((Reports{L"pllDuration != 0", L"pllPosition != 0"}), m_diag.Reports());
    }
    EXPECT_EQ(0u, m_spFake->GetDurationCalls());
    EXPECT_EQ(m_cFakeBase + 1, m_spFake->RefCount());
}

TEST_F(FakeGraphTest, ReadingWithoutAGraphFailsWithZero)
{
    REFERENCE_TIME llDuration = 42;
    REFERENCE_TIME llPosition = 42;
    EXPECT_EQ(E_FAIL, m_graph.GetDuration(&llDuration));
    EXPECT_EQ(E_FAIL, m_graph.GetCurrentPosition(&llPosition));
    EXPECT_EQ(0, llDuration);
    EXPECT_EQ(0, llPosition);
    EXPECT_EQ(Reports(), m_diag.Reports());
}

TEST_F(FakeGraphTest, RatiosAreClampedAndScaledFromTheDuration)
{
    struct Case
    {
        LONGLONG llDuration;
        double dRatio;
        LONGLONG llTarget;
    };
    const LONGLONG llMax = std::numeric_limits<LONGLONG>::max();
    const Case cases[] = {
        {100000000, 0.25, 25000000},
        {12345678, 0.333, 4111110},
        {100000000, 1.7, 100000000},
        {100000000, -0.5, 0},
        {100000000, 1.0, 100000000},
        {100000000, 0.0, 0},
        {100000000, std::numeric_limits<double>::infinity(), 100000000},
        {100000000, -std::numeric_limits<double>::infinity(), 0},
        {100000000, std::numeric_limits<double>::quiet_NaN(), 0},
        {llMax, 1.0, llMax},
        {llMax, 0.999, 9214148664817921024},
        {llMax, 0.5, 4611686018427387904},
        {0, 0.5, 0},
    };
    Attach(m_spFake);
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.llDuration << " x " << c.dRatio);
        m_spFake->SetDurationAnswer(S_OK, c.llDuration);
        const size_t cBefore = m_spFake->SetPositionsCalls().size();

        EXPECT_EQ(S_OK, m_graph.SetCurrentPositionRatio(c.dRatio));
        EXPECT_EQ(S_OK, m_graph.SetStopPositionRatio(c.dRatio));

        ASSERT_EQ(cBefore + 2, m_spFake->SetPositionsCalls().size());
        const auto current = m_spFake->SetPositionsCalls()[cBefore];
        EXPECT_EQ(c.llTarget, current.llCurrent);
        EXPECT_EQ(DWORD(AM_SEEKING_AbsolutePositioning), current.dwCurrentFlags);
        EXPECT_FALSE(current.llStop.has_value());
        EXPECT_EQ(DWORD(AM_SEEKING_NoPositioning), current.dwStopFlags);
        const auto stop = m_spFake->SetPositionsCalls()[cBefore + 1];
        EXPECT_FALSE(stop.llCurrent.has_value());
        EXPECT_EQ(DWORD(AM_SEEKING_NoPositioning), stop.dwCurrentFlags);
        EXPECT_EQ(c.llTarget, stop.llStop);
        EXPECT_EQ(DWORD(AM_SEEKING_AbsolutePositioning), stop.dwStopFlags);
    }
    EXPECT_EQ(Reports(), m_diag.Reports());
    EXPECT_EQ(m_cFakeBase + 1, m_spFake->RefCount());
}

TEST_F(FakeGraphTest, SeekingStatusesAreReportedAndHandedBack)
{
    struct Case
    {
        const char* pszName;
        std::function<void(CFakeGraphManager&)> setUp;
        std::function<HRESULT(CGraph&, REFERENCE_TIME&)> operation;
        HRESULT hrExpected;
        REFERENCE_TIME llExpected; // the out-value, or the position set
        Reports reports;
    };
    const wchar_t* const kszNotOK = L"hr == ((HRESULT)0L)";
    const wchar_t* const kszFailed = L"(((HRESULT)(hr)) >= 0)";
    const auto getDuration = [](CGraph& g, REFERENCE_TIME& ll) { return g.GetDuration(&ll); };
    const auto getPosition = [](CGraph& g, REFERENCE_TIME& ll) { return g.GetCurrentPosition(&ll); };
    const auto setPosition = [](CGraph& g, REFERENCE_TIME&) { return g.SetCurrentPosition(5000); };
    const auto setRatio = [](CGraph& g, REFERENCE_TIME&) { return g.SetCurrentPositionRatio(0.5); };
    const auto setStopRatio = [](CGraph& g, REFERENCE_TIME&) { return g.SetStopPositionRatio(0.5); };
    const Case cases[] = {
        {"DurationFails", [](CFakeGraphManager& f) { f.SetDurationAnswer(E_NOTIMPL, std::nullopt); }, getDuration,
         E_NOTIMPL, 0, {}},
        {"DurationRemark", [](CFakeGraphManager& f) { f.SetDurationAnswer(S_FALSE, 70); }, getDuration, S_FALSE, 70,
         {}},
        {"PositionRemark", [](CFakeGraphManager& f) { f.SetCurrentPositionAnswer(S_FALSE, 7); }, getPosition,
         S_FALSE, 7, {kszNotOK}},
        {"PositionFails", [](CFakeGraphManager& f) { f.SetCurrentPositionAnswer(E_UNEXPECTED, std::nullopt); },
         getPosition, E_UNEXPECTED, 0, {kszNotOK}},
        {"SetPositionRemark", [](CFakeGraphManager& f) { f.SetPositionsResult(S_FALSE); }, setPosition, S_FALSE,
         5000, {}},
        {"SetPositionFails", [](CFakeGraphManager& f) { f.SetPositionsResult(E_INVALIDARG); }, setPosition,
         E_INVALIDARG, 5000, {kszFailed}},
        {"RatioDurationFails", [](CFakeGraphManager& f) { f.SetDurationAnswer(E_NOTIMPL, std::nullopt); }, setRatio,
         S_OK, 0, {kszNotOK}},
        {"RatioDurationRemark", [](CFakeGraphManager& f) { f.SetDurationAnswer(S_FALSE, 1000); }, setRatio, S_OK,
         500, {kszNotOK}},
        {"RatioSetFails",
         [](CFakeGraphManager& f) {
             f.SetDurationAnswer(S_OK, 1000);
             f.SetPositionsResult(E_FAIL);
         },
         setRatio, E_FAIL, 500, {kszFailed}},
        {"StopRatioDurationFails",
         [](CFakeGraphManager& f) {
             f.SetDurationAnswer(E_FAIL, std::nullopt);
             f.SetPositionsResult(S_FALSE);
         },
         setStopRatio, S_FALSE, 0, {kszNotOK}},
        {"StopRatioSetFails",
         [](CFakeGraphManager& f) {
             f.SetDurationAnswer(S_OK, 1000);
             f.SetPositionsResult(E_FAIL);
         },
         setStopRatio, E_FAIL, 500, {kszFailed}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.pszName);
        CComPtr<CFakeGraphManager> spFake = MakeFake<CFakeGraphManager>();
        c.setUp(*spFake);
        Attach(spFake);
        m_diag.Clear();

        REFERENCE_TIME ll = -1;
        EXPECT_EQ(c.hrExpected, c.operation(m_graph, ll));
        EXPECT_EQ(c.reports, m_diag.Reports());
        if (spFake->SetPositionsCalls().empty())
        {
            EXPECT_EQ(c.llExpected, ll);
        }
        else
        {
            ASSERT_EQ(1u, spFake->SetPositionsCalls().size());
            const auto call = spFake->SetPositionsCalls()[0];
            EXPECT_EQ(c.llExpected, call.llCurrent ? *call.llCurrent : *call.llStop);
        }
        m_graph.ReleaseGraph();
        EXPECT_EQ(1u, spFake->RefCount());
    }
}

TEST_F(FakeGraphTest, GraphWithoutSeekingIsReportedNotCalled)
{
    m_spFake->Withhold(IID_IMediaSeeking);
    Attach(m_spFake);
    const std::function<HRESULT(REFERENCE_TIME&)> operations[] = {
        [&](REFERENCE_TIME& ll) { return m_graph.GetDuration(&ll); },
        [&](REFERENCE_TIME& ll) { return m_graph.GetCurrentPosition(&ll); },
        [&](REFERENCE_TIME&) { return m_graph.SetCurrentPosition(10); },
        [&](REFERENCE_TIME&) { return m_graph.SetCurrentPositionRatio(0.5); },
        [&](REFERENCE_TIME&) { return m_graph.SetStopPositionRatio(0.5); },
    };
    for (const auto& operation : operations)
    {
        m_diag.Clear();
        REFERENCE_TIME ll = 0;
        EXPECT_EQ(E_NOINTERFACE, operation(ll));
        EXPECT_EQ(0, ll);
        EXPECT_EQ(Reports{L"spMediaSeeking != 0"}, m_diag.Reports());
    }
    EXPECT_EQ(m_cFakeBase + 1, m_spFake->RefCount());
}

// ---------------------------------------------------------------------------
// Server version caption

TEST_F(GraphTest, ServerVersionCaption)
{
    struct Case
    {
        const char* pszName;
        FakeVersion version;
        std::wstring caption;
        size_t cReports;
    };
    const auto version = [](LONG eType, LONG eOS, std::optional<std::wstring> name,
                            std::optional<std::wstring> number, std::optional<std::wstring> dateTime) {
        FakeVersion v;
        v.eType = eType;
        v.eOS = eOS;
        v.name = std::move(name);
        v.number = std::move(number);
        v.dateTime = std::move(dateTime);
        return v;
    };
    const FakeVersion standard = version(1, 0, L"Server", L"2.1", L"2015-03-04");
    FakeVersion typeFails = standard;
    typeFails.hrType = E_NOTIMPL;
    FakeVersion osFails = version(1, 1, L"Server", L"2.1", L"2015-03-04");
    osFails.hrOS = E_FAIL;
    FakeVersion stringsFail = standard;
    stringsFail.hrName = E_OUTOFMEMORY;
    stringsFail.hrNumber = S_FALSE;
    stringsFail.hrDateTime = E_FAIL;
    // The fixed pieces take 19 units: 490 + 1 + 1 of text fill the 511 exactly.
    const std::wstring fits(490, L'N');
    const std::wstring cut = fits + L"N";
    const Case cases[] = {
        {"Release32", standard, L"Server [Release 32] v.2.1 (2015-03-04)", 0},
        {"Debug64", version(0, 1, L"Server", L"2.1", L"2015-03-04"), L"Server [Debug 64] v.2.1 (2015-03-04)", 0},
        {"Debug32", version(0, 0, L"Server", L"2.1", L"2015-03-04"), L"Server [Debug 32] v.2.1 (2015-03-04)", 0},
        {"OtherNonzeroValues", version(7, -1, L"Server", L"2.1", L"2015-03-04"),
         L"Server [Release 64] v.2.1 (2015-03-04)", 0},
        {"UnsetStrings", version(1, 1, std::nullopt, std::nullopt, std::nullopt), L" [Release 64] v. ()", 0},
        {"EmptyStrings", version(1, 1, L"", L"", L""), L" [Release 64] v. ()", 0},
        {"TypeFails", typeFails, L"Server [Debug 32] v.2.1 (2015-03-04)", 1},
        {"OSFails", osFails, L"Server [Release 32] v.2.1 (2015-03-04)", 1},
        {"StringsFail", stringsFail, L" [Release 32] v. ()", 3},
        {"LongestThatFits", version(1, 1, fits, L"1", L"2"), fits + L" [Release 64] v.1 (2)", 0},
        {"OneUnitTooLong", version(1, 1, cut, L"1", L"2"), cut + L" [Release 64] v.1 (2", 0},
        {"NameTooLong", version(1, 1, std::wstring(600, L'N'), L"1", L"2"), std::wstring(511, L'N'), 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.pszName);
        CComPtr<CFakeFilter> spServer = NewServer();
        spServer->ExposeVersion(c.version);
        CGraphAccess::Server(m_graph) = spServer;
        m_diag.Clear();

        CComBSTR cbsCaption(L"stale");
        EXPECT_EQ(S_OK, m_graph.GetServerVersion(cbsCaption));
        ASSERT_NE(nullptr, cbsCaption.m_str);
        EXPECT_EQ(c.caption, std::wstring(cbsCaption, cbsCaption.Length()));
        EXPECT_EQ(Reports(c.cReports, L"hr == ((HRESULT)0L)"), m_diag.Reports());

        m_graph.ReleaseGraph();
        EXPECT_EQ(1u, spServer->RefCount());
    }
}

TEST_F(GraphTest, ServerVersionWithoutVersionInterfaceIsEmpty)
{
    CComBSTR cbsCaption(L"stale");
    EXPECT_EQ(S_FALSE, m_graph.GetServerVersion(cbsCaption));
    EXPECT_EQ(nullptr, cbsCaption.m_str);

    CComPtr<CFakeFilter> spServer = NewServer();
    CGraphAccess::Server(m_graph) = spServer;
    cbsCaption.AssignCopy(L"stale");
    EXPECT_EQ(S_FALSE, m_graph.GetServerVersion(cbsCaption));
    EXPECT_EQ(nullptr, cbsCaption.m_str);
    EXPECT_EQ(2u, spServer->RefCount());
    EXPECT_EQ(Reports(), m_diag.Reports());
}

// ---------------------------------------------------------------------------
// CheckFilter

TEST_F(GraphTest, CheckFilterHandsOutTheFirstFreePinOfTheDirection)
{
    Attach(NewRealGraph());
    CComPtr<CFakeFilter> spPartner = NewFilter(GUID_NULL, 1, 0);
    CComPtr<CFakeFilter> spFilter = NewFilter(GUID_NULL, 1, 3);
    CFakePin* pTaken = spFilter->Pin(1);
    pTaken->ConnectTo(spPartner->Pin(0));
    CFakePin* pNoPartner = spFilter->Pin(2);
    pNoPartner->AnswerConnectedWithoutPartner();
    CFakePin* pLast = spFilter->Pin(3);
    const ULONG cPartnerBase = spPartner->Pin(0)->RefCount();

    IPin* pPin = reinterpret_cast<IPin*>(0x1);
    EXPECT_EQ(S_OK, m_graph.CheckFilter(spFilter, &pPin, PINDIR_OUTPUT));
    EXPECT_EQ(static_cast<IPin*>(pNoPartner), pPin);
    EXPECT_EQ(2u, pNoPartner->RefCount()); // the filter's and the caller's
    pPin->Release();
    EXPECT_EQ(1u, pTaken->ConnectedToCalls());
    EXPECT_EQ(cPartnerBase, spPartner->Pin(0)->RefCount());
    EXPECT_EQ(0u, pLast->QueryDirectionCalls()); // the search ends at the first match

    pPin = nullptr;
    EXPECT_EQ(S_OK, m_graph.CheckFilter(spFilter, &pPin, PINDIR_INPUT));
    EXPECT_EQ(static_cast<IPin*>(spFilter->Pin(0)), pPin);
    pPin->Release();

    // Without a place for the pin, the one found is released again.
    EXPECT_EQ(S_OK, m_graph.CheckFilter(spFilter, nullptr, PINDIR_OUTPUT));
    EXPECT_EQ(1u, pNoPartner->RefCount());

    EXPECT_EQ(1u, spFilter->RefCount());
    EXPECT_EQ(Reports(), m_diag.Reports());
}

TEST_F(GraphTest, CheckFilterWithoutAFreePinSucceedsEmpty)
{
    Attach(NewRealGraph());
    CComPtr<CFakeFilter> spPartner = NewFilter(GUID_NULL, 0, 1);
    CComPtr<CFakeFilter> spInputsOnly = NewFilter(GUID_NULL, 2, 0);
    CComPtr<CFakeFilter> spAllTaken = NewFilter(GUID_NULL, 0, 1);
    spAllTaken->Pin(0)->ConnectTo(spPartner->Pin(0));

    for (CFakeFilter* pFilter : {spInputsOnly.p, spAllTaken.p})
    {
        IPin* pPin = reinterpret_cast<IPin*>(0x1);
        EXPECT_EQ(S_OK, m_graph.CheckFilter(pFilter, &pPin, PINDIR_OUTPUT));
        EXPECT_EQ(nullptr, pPin);
        EXPECT_EQ(1u, pFilter->RefCount());
    }
    EXPECT_EQ(Reports(), m_diag.Reports());
}

TEST_F(GraphTest, CheckFilterFailures)
{
    struct Case
    {
        const char* pszName;
        std::function<void(CFakeFilter&)> setUp;
        HRESULT hrExpected;
        Reports reports;
        bool bPinHandedOut; // the first pin, which is free
    };
    const Case cases[] = {
        {"QueryDirectionFails", [](CFakeFilter& f) { f.Pin(0)->FailQueryDirection(E_UNEXPECTED); }, E_UNEXPECTED,
         {L"CGraph::CheckFilter(): spPin->QueryDirection() FAILED"}, false},
        {"EnumPinsFails", [](CFakeFilter& f) { f.FailEnumPins(E_OUTOFMEMORY); }, E_OUTOFMEMORY,
         {L"hr == ((HRESULT)0L)"}, false},
        {"NextFailsWithoutPin", [](CFakeFilter& f) { f.FailPinsNext({0, VFW_E_ENUM_OUT_OF_SYNC, false}); },
         VFW_E_ENUM_OUT_OF_SYNC, {L"hr == ((HRESULT)0L)"}, false},
        // The pin that comes back with the failure is examined all the same.
        {"NextFailsWithPin", [](CFakeFilter& f) { f.FailPinsNext({0, VFW_E_ENUM_OUT_OF_SYNC, true}); }, S_OK,
         {L"hr == ((HRESULT)0L)"}, true},
    };
    Attach(NewRealGraph());
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.pszName);
        CComPtr<CFakeFilter> spFilter = NewFilter(GUID_NULL, 0, 2);
        c.setUp(*spFilter);
        m_diag.Clear();

        IPin* pPin = reinterpret_cast<IPin*>(0x1);
        EXPECT_EQ(c.hrExpected, m_graph.CheckFilter(spFilter, &pPin, PINDIR_OUTPUT));
        EXPECT_EQ(c.reports, m_diag.Reports());
        EXPECT_EQ(c.bPinHandedOut ? static_cast<IPin*>(spFilter->Pin(0)) : nullptr, pPin);
        if (pPin != nullptr)
            pPin->Release();
        EXPECT_EQ(c.bPinHandedOut ? 1u : 0u, spFilter->Pin(0)->ConnectedToCalls());
        EXPECT_EQ(1u, spFilter->Pin(0)->RefCount());
        EXPECT_EQ(1u, spFilter->RefCount());
    }

    m_diag.Clear();
    IPin* pPin = reinterpret_cast<IPin*>(0x1);
    EXPECT_EQ(E_FAIL, m_graph.CheckFilter(nullptr, &pPin, PINDIR_OUTPUT));
    EXPECT_EQ(Reports{L"pFilter != 0"}, m_diag.Reports());
}

// ---------------------------------------------------------------------------
// FiltersConnect

TEST_F(GraphTest, FiltersConnectJoinsTheFirstFreePinsDirectly)
{
    Attach(NewRealGraph());
    CComPtr<CFakeFilter> spOther = NewFilter(GUID_NULL, 1, 0);
    CComPtr<CFakeFilter> spUp = NewFilter(GUID_NULL, 1, 2);
    spUp->Pin(1)->ConnectTo(spOther->Pin(0));
    CComPtr<CFakeFilter> spDown = NewFilter(GUID_NULL, 2, 1);

    EXPECT_EQ(S_OK, m_graph.FiltersConnect(spUp, spDown));
    EXPECT_TRUE(Linked(spUp->Pin(2), spDown->Pin(0)));
    EXPECT_FALSE(spUp->Pin(2)->ConnectProposedType());
    EXPECT_EQ(0u, spDown->Pin(0)->ConnectCalls()); // made on the output pin
    // Each pin holds its filter's reference and its peer's, nothing more.
    EXPECT_EQ(2u, spUp->Pin(2)->RefCount());
    EXPECT_EQ(2u, spDown->Pin(0)->RefCount());
    EXPECT_EQ(1u, spUp->RefCount());
    EXPECT_EQ(1u, spDown->RefCount());
    EXPECT_EQ(Reports(), m_diag.Reports());
}

TEST_F(GraphTest, FiltersConnectHandsBackTheConnectionStatus)
{
    Attach(NewRealGraph());
    for (HRESULT hr : {VFW_E_TYPE_NOT_ACCEPTED, S_FALSE})
    {
        SCOPED_TRACE(hr);
        CComPtr<CFakeFilter> spUp = NewFilter(GUID_NULL, 0, 1);
        CComPtr<CFakeFilter> spDown = NewFilter(GUID_NULL, 1, 0);
        if (FAILED(hr))
            spDown->Pin(0)->SetReceiveResult(hr);
        else
            spUp->Pin(0)->SetConnectResult(hr);

        EXPECT_EQ(hr, m_graph.FiltersConnect(spUp, spDown));
        EXPECT_EQ(Reports(), m_diag.Reports());
        EXPECT_EQ(SUCCEEDED(hr), Linked(spUp->Pin(0), spDown->Pin(0)));
        EXPECT_EQ(1u, spUp->RefCount());
        EXPECT_EQ(1u, spDown->RefCount());
    }
}

TEST_F(GraphTest, FiltersConnectChecksItsArgumentsBeforeAnyPinSearch)
{
    struct Case
    {
        const char* pszName;
        bool bGraph;
        bool bUp;
        bool bDown;
        Reports reports;
    };
    const Case cases[] = {
        {"NoGraph", false, true, true, {L"m_spGraph != 0"}},
        {"NoUpstream", true, false, true, {L"spSourse != 0"}},
        {"NoDownstream", true, true, false, {L"spSplitter != 0"}},
        {"Nothing", false, false, false, {L"m_spGraph != 0", L"spSourse != 0", L"spSplitter != 0"}},
    };
    CComPtr<IGraphBuilder> spGraph = NewRealGraph();
    CComPtr<CFakeFilter> spUp = NewFilter(GUID_NULL, 0, 1);
    CComPtr<CFakeFilter> spDown = NewFilter(GUID_NULL, 1, 0);
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.pszName);
        CGraphAccess::Graph(m_graph) = c.bGraph ? spGraph.p : nullptr;
        m_diag.Clear();
        EXPECT_EQ(E_POINTER, m_graph.FiltersConnect(c.bUp ? spUp.p : nullptr, c.bDown ? spDown.p : nullptr));
        EXPECT_EQ(c.reports, m_diag.Reports());
    }
    EXPECT_EQ(0u, spUp->EnumPinsCalls());
    EXPECT_EQ(0u, spDown->EnumPinsCalls());
}

TEST_F(GraphTest, FiltersConnectStopsWhenAPinSearchFails)
{
    Attach(NewRealGraph());
    const wchar_t* const kszFindPin = L"CGraph::FiltersConnect(): FindPin() FAILED";

    CComPtr<CFakeFilter> spUp = NewFilter(GUID_NULL, 0, 1);
    CComPtr<CFakeFilter> spDown = NewFilter(GUID_NULL, 1, 0);
    spUp->FailEnumPins(E_OUTOFMEMORY);
    EXPECT_EQ(E_OUTOFMEMORY, m_graph.FiltersConnect(spUp, spDown));
    EXPECT_EQ((Reports{L"hr == ((HRESULT)0L)", kszFindPin}), m_diag.Reports());
    EXPECT_EQ(0u, spDown->EnumPinsCalls());

    m_diag.Clear();
    spUp->FailEnumPins(S_OK);
    spDown->Pin(0)->FailQueryDirection(E_UNEXPECTED);
    EXPECT_EQ(E_UNEXPECTED, m_graph.FiltersConnect(spUp, spDown));
    EXPECT_EQ((Reports{L"CGraph::CheckFilter(): spPin->QueryDirection() FAILED", kszFindPin}), m_diag.Reports());
    EXPECT_EQ(0u, spUp->Pin(0)->ConnectCalls());
    EXPECT_EQ(1u, spUp->Pin(0)->RefCount()); // the output pin found first is released
    EXPECT_EQ(1u, spUp->RefCount());
    EXPECT_EQ(1u, spDown->RefCount());
}

TEST_F(GraphTest, FiltersConnectWithoutAFreePinTriesNoConnection)
{
    Attach(NewRealGraph());
    CComPtr<CFakeFilter> spPartner = NewFilter(GUID_NULL, 1, 1);
    struct Case
    {
        const char* pszName;
        CComPtr<CFakeFilter> spUp;
        CComPtr<CFakeFilter> spDown;
    };
    Case cases[] = {
        {"NoOutput", NewFilter(GUID_NULL, 1, 0), NewFilter(GUID_NULL, 1, 0)},
        {"InputTaken", NewFilter(GUID_NULL, 0, 1), NewFilter(GUID_NULL, 1, 0)},
    };
    cases[1].spDown->Pin(0)->ConnectTo(spPartner->Pin(1));
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.pszName);
        EXPECT_EQ(VFW_E_NO_ACCEPTABLE_TYPES, m_graph.FiltersConnect(c.spUp, c.spDown));
        EXPECT_EQ(0u, c.spUp->Pin(0)->ConnectCalls());
        EXPECT_EQ(1u, c.spUp->Pin(0)->RefCount());
        EXPECT_EQ(1u, c.spUp->RefCount());
        EXPECT_EQ(1u, c.spDown->RefCount());
    }
}

// ---------------------------------------------------------------------------
// FindSplitter

class FindSplitterTest : public GraphTest
{
protected:
    void SetUp() override
    {
        GraphTest::SetUp();
        m_spGraph = NewRealGraph();
        Attach(m_spGraph);
    }
    // Adds the filters so that the graph manager enumerates them in this order.
    void AddInEnumerationOrder(const std::vector<CFakeFilter*>& filters)
    {
        // Wine's graph manager lists the filter added last first.
        for (auto it = filters.rbegin(); it != filters.rend(); ++it)
            ASSERT_EQ(S_OK, m_spGraph->AddFilter(*it, nullptr));
        const auto listed = FiltersOf(m_spGraph);
        ASSERT_EQ(filters.size(), listed.size());
        for (size_t i = 0; i < filters.size(); ++i)
            ASSERT_EQ(static_cast<IBaseFilter*>(filters[i]), listed[i]) << "enumeration order " << i;
    }

    CComPtr<IGraphBuilder> m_spGraph;
};

TEST_F(FindSplitterTest, KeepsTheServerAndVisitsEveryFilter)
{
    CComPtr<CFakeFilter> spGenerator = NewFilter(CLSID_VelkVideoGenerator, 0, 2);
    CComPtr<CFakeFilter> spServer = NewServer();
    CComPtr<CFakeFilter> spEncoder = NewFilter(CLSID_VelkH264Encoder, 1, 1);
    AddInEnumerationOrder({spGenerator, spServer, spEncoder});
    const ULONG cServerBase = spServer->RefCount();

    EXPECT_EQ(S_OK, m_graph.FindSplitter());
    EXPECT_EQ(AsServer(spServer), HeldServer());
    for (CFakeFilter* pFilter : {spGenerator.p, spServer.p, spEncoder.p})
        EXPECT_EQ(1u, pFilter->GetClassIDCalls());
    EXPECT_EQ(cServerBase + 1, spServer->RefCount());
    EXPECT_EQ(2u, spGenerator->RefCount()); // the test's and the graph's
    EXPECT_EQ(2u, spEncoder->RefCount());
    EXPECT_EQ(Reports(), m_diag.Reports());
}

TEST_F(FindSplitterTest, GraphWithoutServerGivesFalse)
{
    // A filter that names itself "RTMP Server" is not the server: only the class id counts.
    CComPtr<CFakeFilter> spImpostor = NewFilter(CLSID_VelkAACEncoder, 2, 0);
    spImpostor->ExposeServer();
    ASSERT_EQ(S_OK, m_spGraph->AddFilter(spImpostor, L"RTMP Server"));

    EXPECT_EQ(S_FALSE, m_graph.FindSplitter());
    EXPECT_EQ(nullptr, HeldServer());
    EXPECT_EQ(2u, spImpostor->RefCount());
    EXPECT_EQ(Reports(), m_diag.Reports());
}

TEST_F(FindSplitterTest, SecondServerFailsAndTheFirstIsKept)
{
    CComPtr<CFakeFilter> spFirst = NewServer();
    CComPtr<CFakeFilter> spSecond = NewServer();
    AddInEnumerationOrder({spFirst, spSecond});

    EXPECT_EQ(E_FAIL, m_graph.FindSplitter());
    EXPECT_EQ(1u, m_diag.Reports().size());
    EXPECT_EQ(AsServer(spFirst), HeldServer());
    EXPECT_EQ(2u, spSecond->RefCount());
}

TEST_F(FindSplitterTest, ClassIdFailureAfterTheServerIsReturned)
{
    CComPtr<CFakeFilter> spServer = NewServer();
    CComPtr<CFakeFilter> spBroken = NewFilter(GUID_NULL, 1, 0);
    spBroken->FailGetClassID(E_UNEXPECTED);
    AddInEnumerationOrder({spServer, spBroken});

    EXPECT_EQ(E_UNEXPECTED, m_graph.FindSplitter());
    EXPECT_EQ(Reports{L"CGraph::FindSplitter(): spFilter->GetClassID() FAILED"}, m_diag.Reports());
    EXPECT_EQ(AsServer(spServer), HeldServer());
    EXPECT_EQ(2u, spBroken->RefCount());
}

TEST_F(FindSplitterTest, ServerClassWithoutServerInterface)
{
    CComPtr<CFakeFilter> spPlain = NewFilter(CLSID_VelkRtmpServer, 2, 0);
    ASSERT_EQ(S_OK, m_spGraph->AddFilter(spPlain, nullptr));
    EXPECT_EQ(S_FALSE, m_graph.FindSplitter());
    EXPECT_EQ(Reports{L"m_spRtmpServer != 0"}, m_diag.Reports());
    EXPECT_EQ(nullptr, HeldServer());

    // A later server filter that does provide the interface is kept.
    m_diag.Clear();
    CComPtr<CFakeFilter> spServer = NewServer();
    ASSERT_EQ(S_OK, m_spGraph->RemoveFilter(spPlain));
    AddInEnumerationOrder({spPlain, spServer});
    EXPECT_EQ(S_OK, m_graph.FindSplitter());
    EXPECT_EQ(Reports{L"m_spRtmpServer != 0"}, m_diag.Reports());
    EXPECT_EQ(AsServer(spServer), HeldServer());
    EXPECT_EQ(2u, spPlain->RefCount());
}

TEST_F(FakeGraphTest, FindSplitterReportsEnumerationFailures)
{
    struct Case
    {
        const char* pszName;
        std::function<void(CFakeGraphManager&)> setUp;
        HRESULT hrExpected;
        const wchar_t* pszReport;
    };
    const Case cases[] = {
        {"EnumFiltersFails", [](CFakeGraphManager& f) { f.FailEnumFilters(E_OUTOFMEMORY); }, E_OUTOFMEMORY,
         L"CGraph::FindSplitter(): m_spGraph.EnumFilters() FAILED"},
        {"NextFailsWithoutFilter",
         [](CFakeGraphManager& f) { f.FailFiltersNext({1, VFW_E_ENUM_OUT_OF_SYNC, false}); },
         VFW_E_ENUM_OUT_OF_SYNC, L"CGraph::FindSplitter(): spEnumFilters->Next() FAILED"},
        {"NextFailsWithFilter", [](CFakeGraphManager& f) { f.FailFiltersNext({1, E_UNEXPECTED, true}); },
         E_UNEXPECTED, L"CGraph::FindSplitter(): spEnumFilters->Next() FAILED"},
        // An enumerator that keeps answering success without a filter ends
        // the search at once; asking again would never end with a real one.
        {"NextSucceedsWithoutFilter", [](CFakeGraphManager& f) { f.FailFiltersNext({0, S_OK, false, 1000}); },
         S_FALSE, L"cFetched == 1"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.pszName);
        CComPtr<CFakeGraphManager> spFake = MakeFake<CFakeGraphManager>();
        CComPtr<CFakeFilter> spServer = NewServer();
        CComPtr<CFakeFilter> spOther = NewFilter(GUID_NULL, 1, 0);
        ASSERT_EQ(S_OK, spFake->AddFilter(spServer, L"RTMP Server"));
        ASSERT_EQ(S_OK, spFake->AddFilter(spOther, L"Other"));
        c.setUp(*spFake);
        Attach(spFake);
        m_diag.Clear();

        EXPECT_EQ(c.hrExpected, m_graph.FindSplitter());
        EXPECT_EQ(Reports{c.pszReport}, m_diag.Reports());
        EXPECT_EQ(2u, spFake->RefCount()); // the test's and CGraph's: the enumerator is gone
        EXPECT_EQ(2u, spOther->RefCount());
        m_graph.ReleaseGraph();
        EXPECT_EQ(2u, spServer->RefCount());
    }
}
