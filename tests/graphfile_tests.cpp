// Graph files with the platform's graph manager (quartz's, with the
// persistence the test prefix registers for it) and through the real
// console: the files the set-up saved with grf under E:\MXF-DATA, broken
// files, and a file another process holds.
#include <gtest/gtest.h>

#include "Diagnostics.h"
#include "Graph.h"
#include "MainDialog.h"
#include "TestUtil.h"
#include "WindowDriver.h"

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

const wchar_t kDefaultGraph[] = L"E:\\MXF-DATA\\!\\3.GRF";
const wchar_t kNoServerGraph[] = L"E:\\MXF-DATA\\fixtures\\no-server.grf";
const wchar_t kTwoServersGraph[] = L"E:\\MXF-DATA\\fixtures\\two-servers.grf";
const wchar_t kGraphStream[] = L"ActiveMovieGraph";
constexpr LONGLONG kUnitsPerMs = 10000;
// A case that must fail, whichever failure status it shows.
constexpr HRESULT kAnyFailure = S_OK;

class CApartment
{
public:
    CApartment() : m_hr(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~CApartment()
    {
        if (SUCCEEDED(m_hr))
            ::CoUninitialize();
    }

private:
    HRESULT m_hr;
};

std::vector<uint8_t> ReadFileBytes(const std::wstring& path)
{
    std::vector<uint8_t> bytes;
    const HANDLE hFile = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return bytes;
    bytes.resize(::GetFileSize(hFile, nullptr));
    DWORD cbRead = 0;
    if (!::ReadFile(hFile, bytes.data(), static_cast<DWORD>(bytes.size()), &cbRead, nullptr))
        cbRead = 0;
    bytes.resize(cbRead);
    ::CloseHandle(hFile);
    return bytes;
}

void WriteFileBytes(const std::wstring& path, const std::vector<uint8_t>& bytes)
{
    const HANDLE hFile = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, hFile);
    DWORD cbWritten = 0;
    EXPECT_TRUE(::WriteFile(hFile, bytes.data(), static_cast<DWORD>(bytes.size()), &cbWritten, nullptr));
    ::CloseHandle(hFile);
}

std::vector<uint8_t> StreamBytes(IStream* pStream)
{
    STATSTG stat = {};
    EXPECT_EQ(S_OK, pStream->Stat(&stat, STATFLAG_NONAME));
    std::vector<uint8_t> bytes(static_cast<size_t>(stat.cbSize.QuadPart));
    const LARGE_INTEGER liStart = {};
    EXPECT_EQ(S_OK, pStream->Seek(liStart, STREAM_SEEK_SET, nullptr));
    ULONG cbRead = 0;
    EXPECT_EQ(S_OK, pStream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &cbRead));
    bytes.resize(cbRead);
    return bytes;
}

// The graph stream of a graph file, as the file holds it.
std::vector<uint8_t> GraphStreamOf(const std::wstring& path)
{
    CComPtr<IStorage> spStorage;
    EXPECT_EQ(S_OK, ::StgOpenStorage(path.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0, &spStorage));
    CComPtr<IStream> spStream;
    if (spStorage)
    {
        EXPECT_EQ(S_OK, spStorage->OpenStream(kGraphStream, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &spStream));
    }
    return spStream ? StreamBytes(spStream) : std::vector<uint8_t>();
}

void WriteCompoundFile(const std::wstring& path, const wchar_t* pszStream, const std::vector<uint8_t>& bytes)
{
    const DWORD grfMode = STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
    CComPtr<IStorage> spStorage;
    ASSERT_EQ(S_OK, ::StgCreateDocfile(path.c_str(), grfMode, 0, &spStorage));
    CComPtr<IStream> spStream;
    ASSERT_EQ(S_OK, spStorage->CreateStream(pszStream, grfMode, 0, 0, &spStream));
    ULONG cbWritten = 0;
    ASSERT_EQ(S_OK, spStream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &cbWritten));
}

CComPtr<IGraphBuilder> NewGraph()
{
    CComPtr<IGraphBuilder> spGraph;
    EXPECT_EQ(S_OK, spGraph.CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER));
    return spGraph;
}

HRESULT LoadBytes(IUnknown* pGraph, const std::vector<uint8_t>& bytes)
{
    CComPtr<IPersistStream> spPersist;
    HRESULT hr = pGraph->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(&spPersist));
    if (FAILED(hr))
        return hr;
    CComPtr<IStream> spStream;
    hr = ::CreateStreamOnHGlobal(nullptr, TRUE, &spStream);
    if (FAILED(hr))
        return hr;
    spStream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
    const LARGE_INTEGER liStart = {};
    spStream->Seek(liStart, STREAM_SEEK_SET, nullptr);
    return spPersist->Load(spStream);
}

std::vector<uint8_t> SaveBytes(IUnknown* pGraph)
{
    CComPtr<IPersistStream> spPersist;
    EXPECT_EQ(S_OK, pGraph->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(&spPersist)));
    CComPtr<IStream> spStream;
    EXPECT_EQ(S_OK, ::CreateStreamOnHGlobal(nullptr, TRUE, &spStream));
    if (!spPersist || !spStream)
        return {};
    EXPECT_EQ(S_OK, spPersist->Save(spStream, TRUE));
    ULARGE_INTEGER uliMax = {};
    EXPECT_EQ(S_OK, spPersist->GetSizeMax(&uliMax));
    std::vector<uint8_t> bytes = StreamBytes(spStream);
    EXPECT_EQ(bytes.size(), uliMax.QuadPart);
    return bytes;
}

size_t FilterCount(IFilterGraph* pGraph)
{
    CComPtr<IEnumFilters> spEnum;
    if (FAILED(pGraph->EnumFilters(&spEnum)))
        return 0;
    size_t cFilters = 0;
    for (CComPtr<IBaseFilter> spFilter; spEnum->Next(1, &spFilter, nullptr) == S_OK; spFilter.Release())
        ++cFilters;
    return cFilters;
}

std::wstring TextOf(const CComBSTR& cbs)
{
    return cbs.m_str != nullptr ? std::wstring(cbs.m_str, cbs.Length()) : std::wstring();
}

// What the installed server names as its build, in the console's form.
std::wstring InstalledServerCaption()
{
    CComPtr<IVelkVersion> spVersion;
    EXPECT_EQ(S_OK, ::CoCreateInstance(CLSID_VelkRtmpServer, nullptr, CLSCTX_INPROC_SERVER, IID_IVelkVersion,
                                       reinterpret_cast<void**>(&spVersion)));
    if (!spVersion)
        return L"";
    LONG eType = 0, eOS = 0;
    CComBSTR cbsName, cbsNumber, cbsDateTime;
    EXPECT_EQ(S_OK, spVersion->GetType(&eType));
    EXPECT_EQ(S_OK, spVersion->GetOS(&eOS));
    EXPECT_EQ(S_OK, spVersion->GetName(&cbsName));
    EXPECT_EQ(S_OK, spVersion->GetNumber(&cbsNumber));
    EXPECT_EQ(S_OK, spVersion->GetDateTime(&cbsDateTime));
    return TextOf(cbsName) + (eType != 0 ? L" [Release" : L" [Debug") + (eOS != 0 ? L" 64]" : L" 32]") + L" v." +
           TextOf(cbsNumber) + L" (" + TextOf(cbsDateTime) + L")";
}

size_t GraphNotifyTraces(const CDiagnosticsRecorder& diag)
{
    size_t cLines = 0;
    for (const auto& trace : diag.Traces())
    {
        if (trace.text.rfind(L"CMainDialog::OnGraphNotify()", 0) == 0)
            ++cLines;
    }
    return cLines;
}

} // namespace

// ---------------------------------------------------------------------------
// The graph manager

TEST(GraphManagerTest, AggregatesQuartzAndAddsPersistence)
{
    CApartment apartment;
    CComPtr<IUnknown> spOuter;
    ASSERT_EQ(S_OK, spOuter.CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER));
    CComPtr<IPersistStream> spPersist;
    ASSERT_EQ(S_OK, spOuter.QueryInterface(&spPersist));
    CLSID clsid = GUID_NULL;
    EXPECT_EQ(S_OK, spPersist->GetClassID(&clsid));
    EXPECT_TRUE(IsEqualCLSID(CLSID_FilterGraph, clsid));

    // The inner object's interfaces lead back to the one identity and count
    // their references on it.
    CComPtr<IMediaControl> spControl;
    ASSERT_EQ(S_OK, spPersist->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&spControl)));
    CComPtr<IUnknown> spIdentity;
    ASSERT_EQ(S_OK, spControl->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&spIdentity)));
    EXPECT_EQ(spOuter.p, spIdentity.p);
    CComPtr<IPersist> spPersistBack;
    EXPECT_EQ(S_OK, spControl->QueryInterface(IID_IPersist, reinterpret_cast<void**>(&spPersistBack)));
    const ULONG cRef = spOuter->AddRef();
    EXPECT_EQ(cRef + 1, spControl->AddRef());
    EXPECT_EQ(cRef, spControl->Release());
    EXPECT_EQ(cRef - 1, spOuter->Release());

    CComPtr<IClassFactory> spFactory;
    ASSERT_EQ(S_OK, ::CoGetClassObject(CLSID_FilterGraph, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                       reinterpret_cast<void**>(&spFactory)));
    IUnknown* pAggregate = reinterpret_cast<IUnknown*>(0x1);
    EXPECT_EQ(CLASS_E_NOAGGREGATION, spFactory->CreateInstance(spOuter, IID_IUnknown, reinterpret_cast<void**>(&pAggregate)));
    EXPECT_EQ(nullptr, pAggregate);
}

// The default graph the set-up saved with grf loads as four connected
// filters, and saving it again gives the bytes of the file, twice over.
// The set-up saved the file with the 64-bit grf: in the 32-bit build this
// also shows that both bitnesses write the same bytes, format blocks included.
TEST(GraphManagerTest, SaveLoadAndSaveAgainGiveTheSameBytes)
{
    CApartment apartment;
    const std::vector<uint8_t> saved = GraphStreamOf(kDefaultGraph);
    ASSERT_FALSE(saved.empty());

    CComPtr<IGraphBuilder> spFirst = NewGraph();
    ASSERT_EQ(S_OK, LoadBytes(spFirst, saved));
    EXPECT_EQ(4u, FilterCount(spFirst));
    CComPtr<IBaseFilter> spServer;
    ASSERT_EQ(S_OK, spFirst->FindFilterByName(L"RTMP Server", &spServer));
    CComPtr<IPin> spVideoIn;
    ASSERT_EQ(S_OK, spServer->FindPin(L"Video", &spVideoIn));
    CComPtr<IPin> spPeer;
    EXPECT_EQ(S_OK, spVideoIn->ConnectedTo(&spPeer));

    const std::vector<uint8_t> again = SaveBytes(spFirst);
    EXPECT_EQ(saved, again);
    CComPtr<IGraphBuilder> spSecond = NewGraph();
    ASSERT_EQ(S_OK, LoadBytes(spSecond, again));
    EXPECT_EQ(saved, SaveBytes(spSecond));
}

// Wine's file source takes its file name back from the SOURCE entry.
TEST(GraphManagerTest, SourceFileNameSurvivesTheRoundTrip)
{
    CApartment apartment;
    const std::wstring dir = MakeTempFolder(L"source");
    const std::wstring media = dir + L"\\clip.bin";
    WriteFileBytes(media, std::vector<uint8_t>(64, 7));

    CComPtr<IGraphBuilder> spGraph = NewGraph();
    CComPtr<IBaseFilter> spReader;
    ASSERT_EQ(S_OK, spReader.CoCreateInstance(CLSID_AsyncReader, nullptr, CLSCTX_INPROC_SERVER));
    ASSERT_EQ(S_OK, spGraph->AddFilter(spReader, L"Reader"));
    CComPtr<IFileSourceFilter> spSource;
    ASSERT_EQ(S_OK, spReader.QueryInterface(&spSource));
    ASSERT_EQ(S_OK, spSource->Load(media.c_str(), nullptr));

    CComPtr<IGraphBuilder> spLoaded = NewGraph();
    ASSERT_EQ(S_OK, LoadBytes(spLoaded, SaveBytes(spGraph)));
    CComPtr<IBaseFilter> spLoadedReader;
    ASSERT_EQ(S_OK, spLoaded->FindFilterByName(L"Reader", &spLoadedReader));
    CComPtr<IFileSourceFilter> spLoadedSource;
    ASSERT_EQ(S_OK, spLoadedReader.QueryInterface(&spLoadedSource));
    LPOLESTR pszFile = nullptr;
    ASSERT_EQ(S_OK, spLoadedSource->GetCurFile(&pszFile, nullptr));
    EXPECT_EQ(media, pszFile);
    ::CoTaskMemFree(pszFile);
    spLoadedReader.Release();
    spLoadedSource.Release();
    spLoaded.Release();
    spReader.Release();
    spSource.Release();
    spGraph.Release();
    RemoveTempFolder(dir);
}

// A load stops at the first step that fails and hands its status back.
TEST(GraphManagerTest, LoadFailuresGiveTheStatusOfTheStep)
{
    CApartment apartment;
    const auto text = [](const std::string& s) {
        std::vector<uint8_t> bytes;
        for (char ch : s)
        {
            bytes.push_back(static_cast<uint8_t>(ch));
            bytes.push_back(0);
        }
        return bytes;
    };
    const std::string generator = "\"Video Generator\" {2C667015-3CB8-46E4-A3ED-CA3C1F48F4AA} 0 ";
    const std::string encoder = "\"H264 Encoder\" {4BE3702A-35A0-4552-A0E7-00533E7A96B3} 0 ";
    const std::string pcm = "{73647561-0000-0010-8000-00AA00389B71} {00000001-0000-0010-8000-00AA00389B71} 1 0 4 "
                            "{0F6417D6-C318-11D0-A43F-00A0C9223196} 0 ";
    const struct
    {
        const char* pszName;
        std::vector<uint8_t> bytes;
        HRESULT hr;
        size_t cFilters;
    } cases[] = {
        {"Garbage", text("MZ\x90 not a graph"), VFW_E_INVALID_FILE_FORMAT, 0},
        {"UnregisteredClass",
         text("0002 FILTERS 0001 \"X\" {01234567-89AB-CDEF-0123-456789ABCDEF} 0 CONNECTIONS END"),
         REGDB_E_CLASSNOTREG, 0},
        // Two bytes of data: one UTF-16 "x".
        {"PrivateDataForAFilterWithout",
         text("0002 FILTERS 0001 " + generator.substr(0, generator.size() - 2) + "2 x CONNECTIONS END"),
         E_NOINTERFACE, 1},
        {"UnknownPin", text("0002 FILTERS 0001 " + generator + "0002 " + encoder + "CONNECTIONS 0001 \"Nope\" 0002 \"Input\" " + pcm + "END"),
         VFW_E_NOT_FOUND, 2},
        {"RefusedType", text("0002 FILTERS 0001 " + generator + "0002 " + encoder + "CONNECTIONS 0001 \"Audio\" 0002 \"Input\" " + pcm + "END"),
         VFW_E_TYPE_NOT_ACCEPTED, 2},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.pszName);
        CComPtr<IGraphBuilder> spGraph = NewGraph();
        EXPECT_EQ(c.hr, LoadBytes(spGraph, c.bytes));
        EXPECT_EQ(c.cFilters, FilterCount(spGraph)) << "what was built stays";
    }
}

// A graph embedded in a larger stream: each Load takes only the graph's own
// bytes, so that what follows it, another graph included, is read next.
TEST(GraphManagerTest, LoadLeavesTheStreamRightAfterTheGraph)
{
    CApartment apartment;
    const std::vector<uint8_t> saved = GraphStreamOf(kDefaultGraph);
    ASSERT_FALSE(saved.empty());
    const std::vector<uint8_t> before = {'h', 'e', 'a', 'd'};
    const std::vector<uint8_t> after = {0xFF, 0xFE, 'e', 0, 'n', 0, 'd', 0};
    std::vector<uint8_t> bytes = before;
    for (int i = 0; i < 2; ++i)
        bytes.insert(bytes.end(), saved.begin(), saved.end());
    bytes.insert(bytes.end(), after.begin(), after.end());
    CComPtr<IStream> spStream;
    ASSERT_EQ(S_OK, ::CreateStreamOnHGlobal(nullptr, TRUE, &spStream));
    ASSERT_EQ(S_OK, spStream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr));
    LARGE_INTEGER liSeek = {};
    liSeek.QuadPart = static_cast<LONGLONG>(before.size());
    ASSERT_EQ(S_OK, spStream->Seek(liSeek, STREAM_SEEK_SET, nullptr));

    for (size_t nGraph = 1; nGraph <= 2; ++nGraph)
    {
        SCOPED_TRACE(nGraph);
        CComPtr<IGraphBuilder> spGraph = NewGraph();
        CComPtr<IPersistStream> spPersist;
        ASSERT_EQ(S_OK, spGraph.QueryInterface(&spPersist));
        ASSERT_EQ(S_OK, spPersist->Load(spStream));
        EXPECT_EQ(4u, FilterCount(spGraph));
        const LARGE_INTEGER liZero = {};
        ULARGE_INTEGER uliPosition = {};
        ASSERT_EQ(S_OK, spStream->Seek(liZero, STREAM_SEEK_CUR, &uliPosition));
        EXPECT_EQ(before.size() + nGraph * saved.size(), uliPosition.QuadPart);
    }
    std::vector<uint8_t> rest(after.size() + 1);
    ULONG cbRead = 0;
    ASSERT_EQ(S_OK, spStream->Read(rest.data(), static_cast<ULONG>(rest.size()), &cbRead));
    rest.resize(cbRead);
    EXPECT_EQ(after, rest);
}

// Stopping a running graph, either way, leaves it where the stream was: the
// graph reports that position, and the next run goes on from it.
TEST(GraphManagerTest, StoppingKeepsThePositionTheStreamReached)
{
    CApartment apartment;
    const std::vector<uint8_t> saved = GraphStreamOf(kDefaultGraph);
    ASSERT_FALSE(saved.empty());
    const struct
    {
        const char* pszName;
        HRESULT (STDMETHODCALLTYPE IMediaControl::*pfnStop)();
    } cases[] = {
        {"Stop", &IMediaControl::Stop},
        {"StopWhenReady", &IMediaControl::StopWhenReady},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.pszName);
        CComPtr<IGraphBuilder> spGraph = NewGraph();
        ASSERT_EQ(S_OK, LoadBytes(spGraph, saved));
        CComPtr<IMediaControl> spControl;
        ASSERT_EQ(S_OK, spGraph.QueryInterface(&spControl));
        CComPtr<IMediaSeeking> spSeeking;
        ASSERT_EQ(S_OK, spGraph.QueryInterface(&spSeeking));
        LONGLONG llPosition = 0;
        const auto reaches = [&](LONGLONG llAtLeast) {
            for (int i = 0; i < 300 && llPosition < llAtLeast; ++i)
            {
                ::Sleep(10);
                EXPECT_EQ(S_OK, spSeeking->GetCurrentPosition(&llPosition));
            }
            return llPosition >= llAtLeast;
        };

        ASSERT_TRUE(SUCCEEDED(spControl->Run()));
        ASSERT_TRUE(reaches(kUnitsPerMs * 500));
        const LONGLONG llPlaying = llPosition;
        ASSERT_TRUE(SUCCEEDED((spControl.p->*c.pfnStop)()));
        OAFilterState eState = State_Running;
        EXPECT_EQ(S_OK, spControl->GetState(INFINITE, &eState));
        EXPECT_EQ(State_Stopped, eState);
        LONGLONG llStopped = -1;
        LONGLONG llStop = -1;
        ASSERT_EQ(S_OK, spSeeking->GetPositions(&llStopped, &llStop));
        EXPECT_GE(llStopped, llPlaying) << "not the position of a pause";
        EXPECT_EQ(S_OK, spSeeking->GetCurrentPosition(&llPosition));
        EXPECT_EQ(llStopped, llPosition);

        ASSERT_TRUE(SUCCEEDED(spControl->Run()));
        EXPECT_TRUE(reaches(llStopped + kUnitsPerMs * 200));
        EXPECT_TRUE(SUCCEEDED(spControl->Stop()));
    }
}

// quartz serves the aggregated graph manager and what it hands out, such as
// the graph's clock, which may outlive the graph. The DLL may go only when
// quartz may go as well, and never while a graph lives.
TEST(GraphManagerTest, UnloadsOnlyWhenQuartzServesNothingEither)
{
    CApartment apartment;
    CComPtr<IGraphBuilder> spGraph = NewGraph();
    ASSERT_TRUE(spGraph != nullptr);
    const auto canUnloadNow = [](const wchar_t* pszModule) {
        const HMODULE hModule = ::GetModuleHandleW(pszModule);
        const FARPROC pfn = hModule != nullptr ? ::GetProcAddress(hModule, "DllCanUnloadNow") : nullptr;
        EXPECT_NE(nullptr, pfn) << "no DllCanUnloadNow in a loaded " << pszModule;
        return pfn != nullptr ? reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void*>(pfn))() : E_FAIL;
    };
    EXPECT_EQ(S_FALSE, canUnloadNow(L"GraphPersist.dll")) << "a graph lives";

    ASSERT_EQ(S_OK, spGraph->SetDefaultSyncSource());
    CComPtr<IMediaFilter> spMediaFilter;
    ASSERT_EQ(S_OK, spGraph.QueryInterface(&spMediaFilter));
    CComPtr<IReferenceClock> spClock;
    ASSERT_EQ(S_OK, spMediaFilter->GetSyncSource(&spClock));
    ASSERT_TRUE(spClock != nullptr);
    spMediaFilter.Release();
    spGraph.Release();
    EXPECT_EQ(S_FALSE, canUnloadNow(L"GraphPersist.dll")) << "the graph's clock lives on";
    REFERENCE_TIME rtNow = 0;
    EXPECT_EQ(S_OK, spClock->GetTime(&rtNow));

    spClock.Release();
    EXPECT_EQ(canUnloadNow(L"quartz.dll"), canUnloadNow(L"GraphPersist.dll"));
}

// ---------------------------------------------------------------------------
// The console

namespace
{

class ConsoleGraphFileTest : public ::testing::Test
{
protected:
    void Build(const std::wstring& path) { ::SetWindowTextW(host.Item(IDC_FILE), path.c_str()); }

    void ExpectPlaybackEnabled()
    {
        for (int nId : {IDC_PLAY, IDC_PAUSE, IDC_STOP})
            EXPECT_TRUE(host.IsEnabled(nId)) << nId;
    }

    MessageBoxView BuildForMessageBox(const std::wstring& path)
    {
        Build(path);
        MessageBoxView box = host.ClickForMessageBox(IDC_BUILD);
        EXPECT_NE(nullptr, box.hWnd) << "no message box";
        return box;
    }

    CApartment apartment;
    CDiagnosticsRecorder diag;
    CDialogHost host;
};

} // namespace

TEST_F(ConsoleGraphFileTest, DefaultPathBuildsNamesTheServerAndPlaysToTheEnd)
{
    ASSERT_EQ(kDefaultGraph, host.ItemText(IDC_FILE));
    ASSERT_TRUE(host.Click(IDC_BUILD)) << "a message box after Build graph";
    EXPECT_EQ(L"Test for " + InstalledServerCaption(), host.Title());
    ExpectPlaybackEnabled();

    // The short stream, so that the end comes soon; set on the dialog's
    // thread, where the graph lives.
    ASSERT_EQ(S_OK, host.OnDialogThread([&] {
        IGraphBuilder* pGraph = CGraphAccess::Manager(CMainDialogAccess::Graph(host.Object()));
        CComPtr<IBaseFilter> spGenerator;
        HRESULT hr = pGraph != nullptr ? pGraph->FindFilterByName(VELK_NAME_VIDEO_GENERATOR, &spGenerator) : E_POINTER;
        CComPtr<IVelkVideoGenerator> spMode;
        if (SUCCEEDED(hr))
            hr = spGenerator->QueryInterface(IID_IVelkVideoGenerator, reinterpret_cast<void**>(&spMode));
        return SUCCEEDED(hr) ? spMode->SetMode(VelkModeShortStream) : hr;
    }));

    ASSERT_TRUE(host.Click(IDC_PLAY)) << "a message box after Play";
    const HWND hWndBox = host.WaitForMessageBox(15000);
    ASSERT_NE(nullptr, hWndBox) << "no end of stream";
    const MessageBoxView view = ReadMessageBox(hWndBox);
    EXPECT_EQ(L"The end", view.text);
    DismissMessageBox(hWndBox);
    host.Send(WM_NULL, 0, 0);
    EXPECT_GT(GraphNotifyTraces(diag), 0u) << "the graph's events reach the dialog";
}

TEST_F(ConsoleGraphFileTest, GraphWithoutServerWarnsAndSendsNoNotifications)
{
    const MessageBoxView box = BuildForMessageBox(kNoServerGraph);
    EXPECT_EQ(0u, box.text.rfind(L"Some problems found\n", 0)) << box.text;
    EXPECT_TRUE(EndsWith(box.text, L"\nError 0x1")) << box.text;
    EXPECT_EQ(L"Skerry", host.Title());
    ExpectPlaybackEnabled();

    // Running queues events at once; none may reach the dialog.
    ASSERT_TRUE(host.Click(IDC_PLAY));
    ::Sleep(500);
    host.Send(WM_NULL, 0, 0);
    EXPECT_EQ(0u, GraphNotifyTraces(diag));
    host.Click(IDC_STOP);
}

TEST_F(ConsoleGraphFileTest, GraphWithTwoServersCannotBeBuilt)
{
    const MessageBoxView box = BuildForMessageBox(kTwoServersGraph);
    EXPECT_EQ(0u, box.text.rfind(L"Can't build graph\n", 0)) << box.text;
    EXPECT_TRUE(EndsWith(box.text, L"\n" + StatusLine(E_FAIL))) << box.text;
}

// Each broken file fails at its own step with that step's status, and is
// closed again: it can be deleted at once.
TEST_F(ConsoleGraphFileTest, BrokenFilesCannotBeBuiltAndAreClosedAgain)
{
    const std::wstring dir = MakeTempFolder(L"broken");
    const std::vector<uint8_t> saved = GraphStreamOf(kDefaultGraph);
    const std::vector<uint8_t> file = ReadFileBytes(kDefaultGraph);
    ASSERT_FALSE(saved.empty());
    ASSERT_FALSE(file.empty());

    const std::wstring noStream = dir + L"\\no-stream.grf";
    WriteCompoundFile(noStream, L"Contents", saved);
    const std::wstring garbage = dir + L"\\garbage.grf";
    WriteCompoundFile(garbage, kGraphStream, std::vector<uint8_t>(4000, 0xA5));
    const std::wstring cutStream = dir + L"\\cut-stream.grf";
    WriteCompoundFile(cutStream, kGraphStream, std::vector<uint8_t>(saved.begin(), saved.begin() + saved.size() / 2));
    const std::wstring cutFile = dir + L"\\cut-file.grf";
    WriteFileBytes(cutFile, std::vector<uint8_t>(file.begin(), file.begin() + file.size() / 2));
    // Which step a cut compound file fails at depends on where the cut falls
    // and on Wine's storage code, which may itself keep a file open that it
    // failed to read: a twin file, opened without the console, shows whether
    // it does, so that only what the console leaves open counts.
    const std::wstring cutTwin = dir + L"\\cut-twin.grf";
    WriteFileBytes(cutTwin, std::vector<uint8_t>(file.begin(), file.begin() + file.size() / 2));
    OpenStorageStatus(cutTwin);
    const bool bCutTwinDeletable = ::DeleteFileW(cutTwin.c_str()) != FALSE;
    const std::wstring text = dir + L"\\text.grf";
    WriteTextFile(text, "0003\r\nFILTERS\r\nCONNECTIONS\r\nCLOCK 0 0000\r\nEND\r\n");

    const struct
    {
        const char* pszName;
        const std::wstring& path;
        HRESULT hr;
        bool bDeletable;
    } cases[] = {
        {"NoGraphStream", noStream, STG_E_FILENOTFOUND, true},
        {"GarbageStream", garbage, VFW_E_INVALID_FILE_FORMAT, true},
        {"CutStream", cutStream, VFW_E_INVALID_FILE_FORMAT, true},
        {"CutFile", cutFile, kAnyFailure, bCutTwinDeletable},
        {"PlainText", text, OpenStorageStatus(text), true},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.pszName);
        const MessageBoxView box = BuildForMessageBox(c.path);
        EXPECT_EQ(0u, box.text.rfind(L"Can't build graph\n", 0)) << box.text;
        const std::wstring status = c.hr == kAnyFailure ? L"\nError 0x8" : L"\n" + StatusLine(c.hr);
        EXPECT_NE(std::wstring::npos, box.text.find(status)) << box.text;
        EXPECT_TRUE(EndsWith(box.text, status) || c.hr == kAnyFailure) << box.text;
        EXPECT_EQ(c.bDeletable, ::DeleteFileW(c.path.c_str()) != FALSE) << ::GetLastError();
    }
    RemoveTempFolder(dir);
}

// A second process holds the file with no sharing: the open fails with its
// status, and once that process lets go the same file builds.
TEST_F(ConsoleGraphFileTest, FileHeldByAnotherProcessCannotBeOpened)
{
    const std::wstring dir = MakeTempFolder(L"held");
    const std::wstring path = dir + L"\\held.grf";
    ASSERT_TRUE(::CopyFileW(kDefaultGraph, path.c_str(), FALSE));

    wchar_t szExe[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, szExe, MAX_PATH);
    std::wstring helper = szExe;
    helper = helper.substr(0, helper.rfind(L'\\') + 1) + L"holdfile.exe";
    const std::wstring ready = L"SkerryHoldReady" + std::to_wstring(::GetCurrentProcessId());
    const std::wstring release = L"SkerryHoldRelease" + std::to_wstring(::GetCurrentProcessId());
    const HANDLE hReady = ::CreateEventW(nullptr, TRUE, FALSE, ready.c_str());
    const HANDLE hRelease = ::CreateEventW(nullptr, TRUE, FALSE, release.c_str());
    std::wstring commandLine = L"\"" + helper + L"\" \"" + path + L"\" " + ready + L" " + release;
    STARTUPINFOW si = {sizeof(si)};
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(::CreateProcessW(helper.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(hReady, 10000)) << "the helper holds no file";

    const HRESULT hrHeld = OpenStorageStatus(path);
    EXPECT_TRUE(FAILED(hrHeld));
    const MessageBoxView box = BuildForMessageBox(path);
    EXPECT_EQ(0u, box.text.rfind(L"Can't build graph\n", 0)) << box.text;
    EXPECT_TRUE(EndsWith(box.text, L"\n" + StatusLine(hrHeld))) << box.text;

    ::SetEvent(hRelease);
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(pi.hProcess, 10000));
    DWORD dwExit = 1;
    ::GetExitCodeProcess(pi.hProcess, &dwExit);
    EXPECT_EQ(0u, dwExit);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    ::CloseHandle(hReady);
    ::CloseHandle(hRelease);

    EXPECT_TRUE(host.Click(IDC_BUILD)) << "the released file builds";
    EXPECT_EQ(0u, host.Title().rfind(L"Test for ", 0)) << host.Title().c_str();
    EXPECT_TRUE(host.Click(IDC_DEFAULT)); // lets go of the file's graph
    RemoveTempFolder(dir);
}
