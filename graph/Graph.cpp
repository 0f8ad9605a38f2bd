#include "Graph.h"

#include <strsafe.h>

#include <cmath>

namespace
{

// Size of the server caption, in UTF-16 units, terminator included.
constexpr size_t kcchCaption = 512;

// A fraction of the duration, 0.0 to 1.0; anything else (NaN included) is
// brought into that range.
double ClampRatio(double dRatio)
{
    if (!(dRatio >= 0.0))
        return 0.0;
    return dRatio > 1.0 ? 1.0 : dRatio;
}

// llDuration times dRatio, truncated toward zero. A product that a media time
// cannot hold (only from a duration at the 64-bit limit) stays the duration.
REFERENCE_TIME ScaleTime(REFERENCE_TIME llDuration, double dRatio)
{
    // 2^63: every double from -2^63 up to below it converts to 64 bits exactly.
    constexpr double kdTimeLimit = 9223372036854775808.0;
    const double dTarget = static_cast<double>(llDuration) * dRatio;
    if (!(dTarget >= -kdTimeLimit && dTarget < kdTimeLimit))
        return llDuration;
    return static_cast<REFERENCE_TIME>(dTarget);
}

// A BSTR that a server left unset reads as empty text.
LPCWSTR TextOf(BSTR bstr)
{
    return bstr != nullptr ? bstr : L"";
}

} // namespace

CGraph::CGraph() = default;

CGraph::~CGraph() = default;

// ---------------------------------------------------------------------------
// Life cycle

HRESULT CGraph::BuildGraph(LPCWSTR pszFile, HWND hWnd, UINT uMsg)
{
    if (!::IsWindow(hWnd))
    {
        ATLASSERT(::IsWindow(hWnd));
        return E_INVALIDARG;
    }
    ReleaseGraph();

    HRESULT hr = m_spGraph.CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER);
    if (hr != S_OK)
    {
        ATLREPORT(L"CGraph::BuildGraph(): m_spGraph.CoCreateInstance() FAILED");
        if (hr == REGDB_E_CLASSNOTREG)
            TraceOtherBitnessRegistration(CLSID_FilterGraph, L"CGraph::BuildGraph()");
        m_spGraph.Release(); // a creation that did not give S_OK leaves no graph
        return hr;
    }

    if (pszFile != nullptr)
    {
        hr = BuildFromGRFFile(pszFile);
        if (hr != S_OK)
            return hr;
        hr = FindSplitter();
        if (hr != S_OK)
            return hr;
    }
    else
    {
        hr = BuildFromFile();
        if (hr != S_OK)
            return hr;
    }
    return RegisterNotifyWindow(hWnd, uMsg);
}

// From now on the graph manager posts uMsg to hWnd whenever events are queued.
HRESULT CGraph::RegisterNotifyWindow(HWND hWnd, UINT uMsg)
{
    CComPtr<IMediaEventEx> spMediaEventEx;
    m_spGraph.QueryInterface(&spMediaEventEx);
    ATLASSERT(spMediaEventEx != 0);
    if (!spMediaEventEx)
        return E_NOINTERFACE;
    HRESULT hr = spMediaEventEx->SetNotifyWindow(reinterpret_cast<OAHWND>(hWnd), uMsg, 0);
    ATLASSERT(hr == S_OK);
    return S_OK;
}

void CGraph::ReleaseGraph()
{
    if (m_spGraph)
    {
        StopBeforeRelease();
        CComPtr<IMediaEventEx> spMediaEventEx;
        m_spGraph.QueryInterface(&spMediaEventEx);
        ATLASSERT(spMediaEventEx != 0);
        if (spMediaEventEx)
            spMediaEventEx->SetNotifyWindow(0, 0, 0);
    }
    m_GraphEdit.Close();
    m_spRtmpServer.Release();
    m_spGraph.Release();
}

long CGraph::ProcessEvents(LONG_PTR* plParam1)
{
    if (plParam1 != nullptr)
        *plParam1 = 0;
    if (!m_spGraph)
        return 0;
    CComPtr<IMediaEvent> spMediaEvent;
    m_spGraph.QueryInterface(&spMediaEvent);
    ATLASSERT(spMediaEvent != 0);
    if (!spMediaEvent)
        return 0;

    long lEventCode = 0;
    LONG_PTR lParam1 = 0;
    LONG_PTR lParam2 = 0;
    if (spMediaEvent->GetEvent(&lEventCode, &lParam1, &lParam2, 0) != S_OK)
        return 0;
    if (plParam1 != nullptr)
        *plParam1 = lParam1;
    spMediaEvent->FreeEventParams(lEventCode, lParam1, lParam2);
    return lEventCode;
}

bool CGraph::IsEmpty() const
{
    return !m_spGraph;
}

HRESULT CGraph::ShowGraphEdit()
{
    m_GraphEdit.Close();
    if (!m_spGraph)
        return E_FAIL;
    return m_GraphEdit.ShowGraph(m_spGraph);
}

// ---------------------------------------------------------------------------
// Playback

HRESULT CGraph::Run()
{
    ATLASSERT(m_spGraph != 0);
    return Control(&IMediaControl::Run);
}

HRESULT CGraph::Pause()
{
    ATLASSERT(m_spGraph != 0);
    return Control(&IMediaControl::Pause);
}

HRESULT CGraph::Stop()
{
    return Control(&IMediaControl::Stop);
}

// Other processes may hold the graph beyond the console's reference (an
// editor's proxies, even the editor's dead ones): a graph let go while running
// would stream on for them. So it stops first.
void CGraph::StopBeforeRelease()
{
    CComPtr<IMediaControl> spMediaControl;
    m_spGraph.QueryInterface(&spMediaControl);
    if (!spMediaControl)
        return;
    const HRESULT hr = spMediaControl->Stop();
    if (FAILED(hr))
        ATLTRACE2(atlTraceGeneral, 2, L"###Err### CGraph::ReleaseGraph(): Stop()=0x%X\n", static_cast<unsigned>(hr));
}

HRESULT CGraph::Control(MediaControlMethod pfnMethod)
{
    if (!m_spGraph)
        return E_FAIL;
    CComPtr<IMediaControl> spMediaControl;
    m_spGraph.QueryInterface(&spMediaControl);
    if (!spMediaControl)
    {
        ATLASSERT(spMediaControl != 0);
        return E_FAIL;
    }
    return (spMediaControl->*pfnMethod)();
}

// ---------------------------------------------------------------------------
// Seeking

// E_FAIL without a graph, E_NOINTERFACE when the graph cannot seek.
HRESULT CGraph::QueryMediaSeeking(CComPtr<IMediaSeeking>& spMediaSeeking)
{
    if (!m_spGraph)
        return E_FAIL;
    m_spGraph.QueryInterface(&spMediaSeeking);
    ATLASSERT(spMediaSeeking != 0);
    return spMediaSeeking ? S_OK : E_NOINTERFACE;
}

HRESULT CGraph::GetDuration(REFERENCE_TIME* pllDuration)
{
    ATLASSERT(pllDuration != 0);
    if (pllDuration == nullptr)
        return E_POINTER;
    *pllDuration = 0;
    CComPtr<IMediaSeeking> spMediaSeeking;
    HRESULT hr = QueryMediaSeeking(spMediaSeeking);
    if (hr != S_OK)
        return hr;
    return spMediaSeeking->GetDuration(pllDuration);
}

HRESULT CGraph::GetCurrentPosition(REFERENCE_TIME* pllPosition)
{
    ATLASSERT(pllPosition != 0);
    if (pllPosition == nullptr)
        return E_POINTER;
    *pllPosition = 0;
    CComPtr<IMediaSeeking> spMediaSeeking;
    HRESULT hr = QueryMediaSeeking(spMediaSeeking);
    if (hr != S_OK)
        return hr;
    hr = spMediaSeeking->GetCurrentPosition(pllPosition);
    ATLASSERT(hr == S_OK);
    return hr;
}

HRESULT CGraph::SetCurrentPosition(REFERENCE_TIME llPosition)
{
    CComPtr<IMediaSeeking> spMediaSeeking;
    HRESULT hr = QueryMediaSeeking(spMediaSeeking);
    if (hr != S_OK)
        return hr;
    hr = spMediaSeeking->SetPositions(&llPosition, AM_SEEKING_AbsolutePositioning, nullptr,
                                      AM_SEEKING_NoPositioning);
    ATLASSERT(SUCCEEDED(hr));
    return hr;
}

HRESULT CGraph::SetCurrentPositionRatio(double dRatio)
{
    if (!m_spGraph)
        return E_FAIL;
    dRatio = ClampRatio(dRatio);
    CComPtr<IMediaSeeking> spMediaSeeking;
    HRESULT hr = QueryMediaSeeking(spMediaSeeking);
    if (hr != S_OK)
        return hr;

    REFERENCE_TIME llPos = 0;
    hr = spMediaSeeking->GetDuration(&llPos);
    ATLASSERT(hr == S_OK);
    llPos = ScaleTime(llPos, dRatio);
    hr = spMediaSeeking->SetPositions(&llPos, AM_SEEKING_AbsolutePositioning, nullptr,
                                      AM_SEEKING_NoPositioning);
    ATLASSERT(SUCCEEDED(hr));
    return hr;
}

HRESULT CGraph::SetStopPositionRatio(double dRatio)
{
    if (!m_spGraph)
        return E_FAIL;
    dRatio = ClampRatio(dRatio);
    CComPtr<IMediaSeeking> spMediaSeeking;
    HRESULT hr = QueryMediaSeeking(spMediaSeeking);
    if (hr != S_OK)
        return hr;

    REFERENCE_TIME llDuration = 0;
    hr = spMediaSeeking->GetDuration(&llDuration);
    ATLASSERT(hr == S_OK);
    REFERENCE_TIME llPos = ScaleTime(llDuration, dRatio);
    hr = spMediaSeeking->SetPositions(nullptr, AM_SEEKING_NoPositioning, &llPos,
                                      AM_SEEKING_AbsolutePositioning);
    ATLASSERT(SUCCEEDED(hr));
    return hr;
}

// ---------------------------------------------------------------------------
// Server version caption

HRESULT CGraph::GetServerVersion(CComBSTR& cbsVersion)
{
    cbsVersion.Empty();
    if (!m_spRtmpServer)
        return S_FALSE;
    CComPtr<IVelkVersion> spVersion;
    m_spRtmpServer.QueryInterface(&spVersion);
    if (!spVersion)
        return S_FALSE;

    LONG eType = 0;
    HRESULT hr = spVersion->GetType(&eType);
    ATLASSERT(hr == S_OK);
    LONG eOS = 0;
    hr = spVersion->GetOS(&eOS);
    ATLASSERT(hr == S_OK);
    CComBSTR cbsName;
    hr = spVersion->GetName(&cbsName);
    ATLASSERT(hr == S_OK);
    CComBSTR cbsNumber;
    hr = spVersion->GetNumber(&cbsNumber);
    ATLASSERT(hr == S_OK);
    CComBSTR cbsDateTime;
    hr = spVersion->GetDateTime(&cbsDateTime);
    ATLASSERT(hr == S_OK);

    // Name [Release 64] v.number (date time); a caption too long is cut.
    wchar_t sz[kcchCaption] = {};
    ::StringCchCopyW(sz, kcchCaption, TextOf(cbsName));
    ::StringCchCatW(sz, kcchCaption, eType != 0 ? L" [Release" : L" [Debug");
    ::StringCchCatW(sz, kcchCaption, eOS != 0 ? L" 64]" : L" 32]");
    ::StringCchCatW(sz, kcchCaption, L" v.");
    ::StringCchCatW(sz, kcchCaption, TextOf(cbsNumber));
    ::StringCchCatW(sz, kcchCaption, L" (");
    ::StringCchCatW(sz, kcchCaption, TextOf(cbsDateTime));
    ::StringCchCatW(sz, kcchCaption, L")");
    return cbsVersion.AssignCopy(sz);
}

// ---------------------------------------------------------------------------
// Default streaming graph

HRESULT CGraph::BuildFromFile()
{
    ATLASSERT(m_spGraph != 0);
    if (!m_spGraph)
        return E_FAIL;

    CComPtr<IBaseFilter> spGenerator;
    HRESULT hr = AddNewFilter(CLSID_VelkVideoGenerator, VELK_NAME_VIDEO_GENERATOR, spGenerator,
                              L"CGraph::BuildFromFile(): Can't create Velk Video Generator",
                              L"CGraph::BuildFromFile(): Can't insert Velk Video Generator");
    if (hr != S_OK)
        return hr;
    SetGeneratorMode(spGenerator);

    CComPtr<IBaseFilter> spH264Enc;
    hr = AddNewFilter(CLSID_VelkH264Encoder, VELK_NAME_H264_ENCODER, spH264Enc,
                      L"CGraph::BuildFromFile(): Can't create Velk H264 Encoder",
                      L"CGraph::BuildFromFile(): Can't insert Velk H264 Encoder");
    if (hr != S_OK)
        return hr;

    CComPtr<IBaseFilter> spAACEnc;
    hr = AddNewFilter(CLSID_VelkAACEncoder, VELK_NAME_AAC_ENCODER, spAACEnc,
                      L"CGraph::BuildFromFile(): Can't create Velk AAC Encoder",
                      L"CGraph::BuildFromFile(): Can't insert Velk AAC Encoder");
    if (hr != S_OK)
        return hr;

    CComPtr<IBaseFilter> spServer;
    hr = AddNewFilter(CLSID_VelkRtmpServer, VELK_NAME_RTMP_SERVER, spServer,
                      L"CGraph::BuildFromFile(): Can't create Velk RTMP Server",
                      L"CGraph::BuildFromFile(): Can't insert Velk RTMP Server");
    if (hr != S_OK)
        return hr;

    // The video branch takes the first free pins, so it is connected first.
    const struct
    {
        IBaseFilter* pUpstream;
        IBaseFilter* pDownstream;
        LPCWSTR pszCantConnect;
    } rgConnections[] = {
        {spGenerator, spH264Enc, L"CGraph::BuildFromFile(): Can't connect Velk H264 Encoder"},
        {spH264Enc, spServer, L"CGraph::BuildFromFile(): Can't connect Velk H264 Encoder"},
        {spGenerator, spAACEnc, L"CGraph::BuildFromFile(): Can't connect Velk AAC Encoder"},
        {spAACEnc, spServer, L"CGraph::BuildFromFile(): Can't connect Velk AAC Encoder"},
    };
    for (const auto& connection : rgConnections)
    {
        hr = FiltersConnect(connection.pUpstream, connection.pDownstream);
        if (hr != S_OK)
        {
            ATLREPORT(connection.pszCantConnect);
            return hr;
        }
    }
    return S_OK;
}

// Creates a filter and inserts it into the graph under its name.
HRESULT CGraph::AddNewFilter(REFCLSID clsid, LPCWSTR pszName, CComPtr<IBaseFilter>& spFilter,
                             LPCWSTR pszCantCreate, LPCWSTR pszCantInsert)
{
    HRESULT hr = spFilter.CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER);
    if (hr != S_OK)
    {
        ATLREPORT(pszCantCreate);
        if (hr == REGDB_E_CLASSNOTREG)
            TraceOtherBitnessRegistration(clsid, L"CGraph::AddNewFilter()");
        return hr;
    }
    hr = m_spGraph->AddFilter(spFilter, pszName);
    if (hr != S_OK)
    {
        ATLREPORT(pszCantInsert);
        return hr;
    }
    return S_OK;
}

// Selects the default test stream; a generator without the interface keeps
// its own mode.
void CGraph::SetGeneratorMode(IBaseFilter* pGenerator)
{
    CComPtr<IVelkVideoGenerator> spGen;
    pGenerator->QueryInterface(IID_IVelkVideoGenerator, reinterpret_cast<void**>(&spGen));
    ATLASSERT(spGen != 0);
    if (spGen)
        spGen->SetMode(VelkModeDefaultStream);
}

// ---------------------------------------------------------------------------
// Graph file

HRESULT CGraph::BuildFromGRFFile(LPCWSTR pszFile)
{
    ATLASSERT(m_spGraph != 0);
    ATLASSERT(pszFile != 0);

    CComPtr<IPersistStream> spPersistStream;
    if (m_spGraph)
        m_spGraph.QueryInterface(&spPersistStream);
    ATLASSERT(spPersistStream != 0);

    const DWORD grfMode = STGM_READ | STGM_SHARE_EXCLUSIVE;
    CComPtr<IStorage> spStorage;
    HRESULT hr = ::StgOpenStorage(pszFile, nullptr, grfMode, nullptr, 0, &spStorage);
    if (hr != S_OK)
    {
        ATLREPORT(L"CGraph::BuildFromGRFFile(): Can't open .grf file");
        return hr;
    }

    CComPtr<IStream> spStream;
    hr = spStorage->OpenStream(L"ActiveMovieGraph", nullptr, grfMode, 0, &spStream);
    if (hr != S_OK)
    {
        ATLREPORT(L"CGraph::BuildFromGRFFile(): Invalid .grf file");
        return hr;
    }

    if (!spPersistStream)
        return E_NOINTERFACE; // this graph manager cannot load graph files
    hr = spPersistStream->Load(spStream);
    if (FAILED(hr))
    {
        ATLREPORT(L"CGraph::BuildFromGRFFile(): Can't load data from .grf file");
        return hr;
    }
    return S_OK;
}

// ---------------------------------------------------------------------------
// Filters and pins

HRESULT CGraph::CheckFilter(IBaseFilter* pFilter, IPin** ppPin, PIN_DIRECTION eDirection)
{
    if (!m_spGraph)
    {
        ATLASSERT(m_spGraph != 0);
        return E_FAIL;
    }
    if (pFilter == nullptr)
    {
        ATLASSERT(pFilter != 0);
        return E_FAIL;
    }
    if (ppPin != nullptr)
        *ppPin = nullptr;

    CComPtr<IEnumPins> spEnumPins;
    HRESULT hr = pFilter->EnumPins(&spEnumPins);
    ATLASSERT(hr == S_OK);
    if (!spEnumPins)
        return FAILED(hr) ? hr : E_POINTER;

    for (;;)
    {
        CComPtr<IPin> spPin;
        ULONG cFetched = 0;
        hr = spEnumPins->Next(1, &spPin, &cFetched);
        if (hr == S_FALSE)
            break;
        ATLASSERT(hr == S_OK);
        if (!spPin)
        {
            if (FAILED(hr))
                return hr;
            break; // an odd success without a pin ends the list
        }

        PIN_DIRECTION ePinDir = eDirection;
        HRESULT hrDir = spPin->QueryDirection(&ePinDir);
        if (FAILED(hrDir))
        {
            ATLREPORT(L"CGraph::CheckFilter(): spPin->QueryDirection() FAILED");
            return hrDir;
        }

        CComPtr<IPin> sp;
        if (spPin->ConnectedTo(&sp) == S_OK && sp)
            continue; // taken

        if (ePinDir == eDirection)
        {
            if (ppPin != nullptr)
                *ppPin = spPin.Detach();
            break;
        }
    }
    return S_OK;
}

HRESULT CGraph::FiltersConnect(IBaseFilter* spSourse, IBaseFilter* spSplitter)
{
    ATLASSERT(m_spGraph != 0);
    ATLASSERT(spSourse != 0);
    ATLASSERT(spSplitter != 0);
    if (!m_spGraph || spSourse == nullptr || spSplitter == nullptr)
        return E_POINTER;

    CComPtr<IPin> spOutPin;
    HRESULT hr = CheckFilter(spSourse, &spOutPin, PINDIR_OUTPUT);
    if (hr != S_OK)
    {
        ATLREPORT(L"CGraph::FiltersConnect(): FindPin() FAILED");
        return hr;
    }
    CComPtr<IPin> spInPin;
    hr = CheckFilter(spSplitter, &spInPin, PINDIR_INPUT);
    if (hr != S_OK)
    {
        ATLREPORT(L"CGraph::FiltersConnect(): FindPin() FAILED");
        return hr;
    }
    if (!spOutPin || !spInPin)
    {
        ATLREPORT(L"CGraph::FiltersConnect(): no free pin");
        return VFW_E_NO_ACCEPTABLE_TYPES;
    }
    // A direct connection: the pins negotiate the type between themselves.
    return spOutPin->Connect(spInPin, nullptr);
}

HRESULT CGraph::FindSplitter()
{
    if (!m_spGraph)
    {
        ATLASSERT(m_spGraph != 0);
        return E_FAIL;
    }

    CComPtr<IEnumFilters> spEnumFilters;
    HRESULT hr = m_spGraph->EnumFilters(&spEnumFilters);
    if (hr != S_OK || !spEnumFilters)
    {
        ATLREPORT(L"CGraph::FindSplitter(): m_spGraph.EnumFilters() FAILED");
        return hr != S_OK ? hr : E_POINTER;
    }

    // Every filter is visited, so that a second server is noticed.
    while (hr == S_OK)
    {
        CComPtr<IBaseFilter> spFilter;
        ULONG cFetched = 0;
        hr = spEnumFilters->Next(1, &spFilter, &cFetched);
        if (hr == S_FALSE)
            break;
        if (hr != S_OK)
        {
            ATLREPORT(L"CGraph::FindSplitter(): spEnumFilters->Next() FAILED");
            return hr;
        }
        ATLASSERT(cFetched == 1);
        if (!spFilter)
            break; // an odd success without a filter ends the list, as for pins

        CLSID clsid = GUID_NULL;
        hr = spFilter->GetClassID(&clsid);
        if (hr != S_OK)
        {
            ATLREPORT(L"CGraph::FindSplitter(): spFilter->GetClassID() FAILED");
            return hr;
        }
        if (IsEqualCLSID(clsid, CLSID_VelkRtmpServer))
        {
            hr = KeepServer(spFilter);
            if (hr != S_OK)
                return hr;
        }
    }
    return m_spRtmpServer ? S_OK : S_FALSE;
}

// The first server filter met is kept; a second one is an error.
HRESULT CGraph::KeepServer(IBaseFilter* pFilter)
{
    if (m_spRtmpServer)
    {
        ATLREPORT(L"CGraph::FindSplitter(): a second RTMP Server in the graph");
        return E_FAIL;
    }
    pFilter->QueryInterface(IID_IVelkRtmpServer, reinterpret_cast<void**>(&m_spRtmpServer));
    ATLASSERT(m_spRtmpServer != 0);
    return S_OK;
}
