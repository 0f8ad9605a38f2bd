#include "PersistentGraph.h"

#include "ComUtil.h"
#include "GraphDescriber.h"
#include "GraphFile.h"
#include "GraphLoader.h"

#include <new>

namespace
{

// Graph files are small; a graph longer than this is not one.
constexpr size_t kcbMaxGraph = 64 * 1024 * 1024;

// Reads one graph from where the stream stands and leaves the stream right
// after it: the graph may be followed by data of whoever embedded it.
HRESULT ReadGraph(IStream* pStream, grf::Graph& graph)
{
    const LARGE_INTEGER liZero = {};
    ULARGE_INTEGER uliStart = {};
    HRESULT hr = pStream->Seek(liZero, STREAM_SEEK_CUR, &uliStart);
    if (FAILED(hr))
        return hr;
    std::vector<uint8_t> bytes;
    hr = ReadAtMost(pStream, kcbMaxGraph, bytes);
    if (FAILED(hr))
        return hr;
    const grf::Result result = grf::Parse(bytes.data(), bytes.size(), graph);
    if (!result)
        return VFW_E_INVALID_FILE_FORMAT;
    LARGE_INTEGER liEnd = {};
    liEnd.QuadPart = static_cast<LONGLONG>(uliStart.QuadPart + result.offset);
    return pStream->Seek(liEnd, STREAM_SEEK_SET, nullptr);
}

} // namespace

HRESULT CPersistentGraph::Create(REFIID riid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    CPersistentGraph* pGraph = new (std::nothrow) CPersistentGraph();
    if (pGraph == nullptr)
        return E_OUTOFMEMORY;
    HRESULT hr = pGraph->CreateInner();
    if (SUCCEEDED(hr))
        hr = pGraph->QueryInterface(riid, ppv);
    pGraph->Release(); // the reference the object was born with
    return hr;
}

CPersistentGraph::CPersistentGraph() = default;

CPersistentGraph::~CPersistentGraph()
{
    // Guards against the inner object handing a reference back to us while
    // it goes away.
    m_cRef = 1;
    if (m_pInner != nullptr)
        m_pInner->Release();
}

// The inner object is made through quartz's class factory, with this object
// as its controlling unknown; it hands back its non-delegating IUnknown.
HRESULT CPersistentGraph::CreateInner()
{
    CComPtr<IClassFactory> spFactory;
    HRESULT hr = CPersistModule::Get().GetQuartzGraphFactory(spFactory);
    if (FAILED(hr))
        return hr;
    hr = spFactory->CreateInstance(static_cast<IPersistStream*>(this), IID_IUnknown,
                                   reinterpret_cast<void**>(&m_pInner));
    if (SUCCEEDED(hr))
        m_control.Attach(m_pInner);
    return hr;
}

STDMETHODIMP CPersistentGraph::QueryInterface(REFIID riid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = OwnInterface(riid);
    if (*ppv == nullptr)
        return m_pInner != nullptr ? m_pInner->QueryInterface(riid, ppv) : E_NOINTERFACE;
    AddRef();
    return S_OK;
}

// The interfaces answered here rather than by quartz's object.
void* CPersistentGraph::OwnInterface(REFIID riid)
{
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IPersist) || IsEqualIID(riid, IID_IPersistStream))
        return static_cast<IPersistStream*>(this);
    if (IsEqualIID(riid, IID_IMediaControl))
        return static_cast<IMediaControl*>(&m_control);
    if (IsEqualIID(riid, IID_IMediaSeeking))
        return static_cast<IMediaSeeking*>(&m_control);
    return nullptr;
}

STDMETHODIMP_(ULONG) CPersistentGraph::AddRef()
{
    return static_cast<ULONG>(::InterlockedIncrement(&m_cRef));
}

STDMETHODIMP_(ULONG) CPersistentGraph::Release()
{
    const LONG cRef = ::InterlockedDecrement(&m_cRef);
    if (cRef == 0)
        delete this;
    return static_cast<ULONG>(cRef);
}

STDMETHODIMP CPersistentGraph::GetClassID(CLSID* pClassID)
{
    if (pClassID == nullptr)
        return E_POINTER;
    *pClassID = CLSID_FilterGraph;
    return S_OK;
}

// The graph keeps no record of changes, so it always counts as changed.
STDMETHODIMP CPersistentGraph::IsDirty()
{
    return S_OK;
}

STDMETHODIMP CPersistentGraph::Load(IStream* pStream)
{
    if (pStream == nullptr)
        return E_POINTER;
    grf::Graph graph;
    HRESULT hr = ReadGraph(pStream, graph);
    if (FAILED(hr))
        return hr;

    // Interfaces of the inner object reached through QueryInterface count on
    // this object; held only for the call.
    CComPtr<IFilterGraph> spGraph;
    hr = m_pInner->QueryInterface(IID_IFilterGraph, reinterpret_cast<void**>(&spGraph));
    if (FAILED(hr))
        return hr;
    return CGraphLoader(spGraph).Load(graph);
}

STDMETHODIMP CPersistentGraph::Save(IStream* pStream, BOOL /*fClearDirty*/)
{
    if (pStream == nullptr)
        return E_POINTER;
    std::vector<uint8_t> bytes;
    const HRESULT hr = SavedBytes(bytes);
    return FAILED(hr) ? hr : WriteAll(pStream, bytes);
}

STDMETHODIMP CPersistentGraph::GetSizeMax(ULARGE_INTEGER* pcbSize)
{
    if (pcbSize == nullptr)
        return E_POINTER;
    std::vector<uint8_t> bytes;
    const HRESULT hr = SavedBytes(bytes);
    if (FAILED(hr))
        return hr;
    pcbSize->QuadPart = bytes.size();
    return S_OK;
}

HRESULT CPersistentGraph::SavedBytes(std::vector<uint8_t>& bytes)
{
    CComPtr<IFilterGraph> spGraph;
    HRESULT hr = m_pInner->QueryInterface(IID_IFilterGraph, reinterpret_cast<void**>(&spGraph));
    if (FAILED(hr))
        return hr;
    grf::Graph graph;
    hr = CGraphDescriber(spGraph).Describe(graph);
    if (FAILED(hr))
        return hr;
    // A name with a quote in it has no place in a graph file.
    return grf::Write(graph, bytes) ? S_OK : E_INVALIDARG;
}
