#include "GraphLoader.h"

#include "ComUtil.h"

HRESULT CGraphLoader::Load(const grf::Graph& graph)
{
    for (const grf::Filter& filter : graph.filters)
    {
        const HRESULT hr = AddFilter(filter);
        if (FAILED(hr))
            return hr;
    }
    for (const grf::Connection& connection : graph.connections)
    {
        const HRESULT hr = Connect(connection);
        if (FAILED(hr))
            return hr;
    }
    return graph.version == 3 ? SetClock(graph.clock) : S_OK;
}

HRESULT CGraphLoader::AddFilter(const grf::Filter& filter)
{
    CComPtr<IBaseFilter> spFilter;
    HRESULT hr = spFilter.CoCreateInstance(FromFileGuid(filter.clsid), nullptr, CLSCTX_INPROC_SERVER);
    if (FAILED(hr))
        return hr;
    hr = m_pGraph->AddFilter(spFilter, FromFileText(filter.name).c_str());
    if (FAILED(hr))
        return hr;
    m_filters.emplace_back(filter.id, spFilter);
    if (!filter.data.empty())
    {
        hr = HandPrivateData(spFilter, filter.data);
        if (FAILED(hr))
            return hr;
    }
    return HandFileName(spFilter, filter);
}

HRESULT CGraphLoader::HandFileName(IBaseFilter* pFilter, const grf::Filter& filter)
{
    const std::wstring fileName = FromFileText(filter.fileName);
    if (filter.role == grf::FileRole::Source)
    {
        CComPtr<IFileSourceFilter> spSource;
        HRESULT hr = pFilter->QueryInterface(IID_IFileSourceFilter, reinterpret_cast<void**>(&spSource));
        return FAILED(hr) ? hr : spSource->Load(fileName.c_str(), nullptr);
    }
    if (filter.role == grf::FileRole::Sink)
    {
        CComPtr<IFileSinkFilter> spSink;
        HRESULT hr = pFilter->QueryInterface(IID_IFileSinkFilter, reinterpret_cast<void**>(&spSink));
        return FAILED(hr) ? hr : spSink->SetFileName(fileName.c_str(), nullptr);
    }
    return S_OK;
}

// Data a filter saved can only go back through its own IPersistStream.
HRESULT CGraphLoader::HandPrivateData(IBaseFilter* pFilter, const std::vector<uint8_t>& data)
{
    CComPtr<IPersistStream> spPersist;
    HRESULT hr = pFilter->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(&spPersist));
    if (FAILED(hr))
        return hr;
    CComPtr<IStream> spStream;
    hr = MemoryStreamOf(data, spStream);
    return FAILED(hr) ? hr : spPersist->Load(spStream);
}

HRESULT CGraphLoader::Connect(const grf::Connection& connection)
{
    CComPtr<IPin> spOut;
    HRESULT hr = FindPin(connection.outFilter, connection.outPin, spOut);
    if (FAILED(hr))
        return hr;
    CComPtr<IPin> spIn;
    hr = FindPin(connection.inFilter, connection.inPin, spIn);
    if (FAILED(hr))
        return hr;

    // Borrows the format block: ConnectDirect copies what it keeps.
    const grf::MediaType& type = connection.mediaType;
    AM_MEDIA_TYPE mt = {};
    mt.majortype = FromFileGuid(type.majorType);
    mt.subtype = FromFileGuid(type.subtype);
    mt.bFixedSizeSamples = type.fixedSizeSamples;
    mt.bTemporalCompression = type.temporalCompression;
    mt.lSampleSize = type.sampleSize;
    mt.formattype = FromFileGuid(type.formatType);
    mt.cbFormat = static_cast<ULONG>(type.format.size());
    mt.pbFormat = type.format.empty() ? nullptr : const_cast<BYTE*>(type.format.data());
    return m_pGraph->ConnectDirect(spOut, spIn, &mt);
}

HRESULT CGraphLoader::FindPin(uint32_t filterId, const std::u16string& pinId, CComPtr<IPin>& spPin) const
{
    IBaseFilter* pFilter = FilterOf(filterId);
    if (pFilter == nullptr)
        return VFW_E_INVALID_FILE_FORMAT; // the parser lets no such id through
    HRESULT hr = pFilter->FindPin(FromFileText(pinId).c_str(), &spPin);
    if (SUCCEEDED(hr) && !spPin)
        hr = VFW_E_NOT_FOUND;
    return hr;
}

// A required clock is given to the graph; otherwise the graph picks its own.
HRESULT CGraphLoader::SetClock(const grf::Clock& clock)
{
    if (!clock.required || clock.kind == grf::Clock::Kind::None)
        return S_OK;
    CComPtr<IReferenceClock> spClock;
    HRESULT hr = S_OK;
    if (clock.kind == grf::Clock::Kind::Filter)
    {
        IBaseFilter* pFilter = FilterOf(clock.filterId);
        if (pFilter == nullptr)
            return VFW_E_INVALID_FILE_FORMAT;
        hr = pFilter->QueryInterface(IID_IReferenceClock, reinterpret_cast<void**>(&spClock));
    }
    else
    {
        hr = spClock.CoCreateInstance(FromFileGuid(clock.clsid), nullptr, CLSCTX_INPROC_SERVER);
    }
    if (FAILED(hr))
        return hr;
    CComPtr<IMediaFilter> spMediaFilter;
    hr = m_pGraph->QueryInterface(IID_IMediaFilter, reinterpret_cast<void**>(&spMediaFilter));
    return FAILED(hr) ? hr : spMediaFilter->SetSyncSource(spClock);
}

IBaseFilter* CGraphLoader::FilterOf(uint32_t id) const
{
    for (const auto& entry : m_filters)
    {
        if (entry.first == id)
            return entry.second;
    }
    return nullptr;
}
