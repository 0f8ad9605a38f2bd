#include "GraphDescriber.h"

#include "ComUtil.h"

#include <algorithm>

namespace
{

std::u16string FilterName(IBaseFilter* pFilter)
{
    FILTER_INFO info = {};
    if (FAILED(pFilter->QueryFilterInfo(&info)))
        return std::u16string();
    if (info.pGraph != nullptr)
        info.pGraph->Release();
    return ToFileText(info.achName);
}

HRESULT PinId(IPin* pPin, std::u16string& id)
{
    CCoTaskString cszId;
    const HRESULT hr = pPin->QueryId(&cszId);
    if (FAILED(hr))
        return hr;
    id = ToFileText(cszId.Get());
    return S_OK;
}

grf::MediaType ToFileMediaType(const AM_MEDIA_TYPE& mt)
{
    grf::MediaType type;
    type.majorType = ToFileGuid(mt.majortype);
    type.subtype = ToFileGuid(mt.subtype);
    type.fixedSizeSamples = mt.bFixedSizeSamples != FALSE;
    type.temporalCompression = mt.bTemporalCompression != FALSE;
    type.sampleSize = mt.lSampleSize;
    type.formatType = ToFileGuid(mt.formattype);
    if (mt.pbFormat != nullptr)
        type.format.assign(mt.pbFormat, mt.pbFormat + mt.cbFormat);
    return type;
}

} // namespace

HRESULT CGraphDescriber::Describe(grf::Graph& graph)
{
    graph = grf::Graph();
    HRESULT hr = CollectFilters();
    if (FAILED(hr))
        return hr;
    for (size_t i = 0; i < m_filters.size(); ++i)
    {
        grf::Filter filter;
        filter.id = static_cast<uint32_t>(i + 1);
        hr = DescribeFilter(m_filters[i], filter);
        if (FAILED(hr))
            return hr;
        graph.filters.push_back(std::move(filter));
    }
    for (size_t i = 0; i < m_filters.size(); ++i)
    {
        hr = DescribeConnections(static_cast<uint32_t>(i + 1), m_filters[i], graph.connections);
        if (FAILED(hr))
            return hr;
    }
    return DescribeClock(graph.clock);
}

HRESULT CGraphDescriber::CollectFilters()
{
    CComPtr<IEnumFilters> spEnum;
    HRESULT hr = m_pGraph->EnumFilters(&spEnum);
    if (FAILED(hr))
        return hr;
    for (;;)
    {
        CComPtr<IBaseFilter> spFilter;
        hr = spEnum->Next(1, &spFilter, nullptr);
        if (FAILED(hr))
            return hr;
        if (hr != S_OK || !spFilter)
            break;
        m_filters.push_back(spFilter);
    }
    std::stable_sort(m_filters.begin(), m_filters.end(),
                     [](const CComPtr<IBaseFilter>& a, const CComPtr<IBaseFilter>& b) {
                         return FilterName(a) < FilterName(b);
                     });
    return SortUpstreamFirst();
}

// Takes, again and again, the first filter by name whose upstream filters
// are all taken; filters in a cycle, which a graph never has, go last.
HRESULT CGraphDescriber::SortUpstreamFirst()
{
    const size_t cFilters = m_filters.size();
    std::vector<std::vector<size_t>> upstream(cFilters);
    for (size_t i = 0; i < cFilters; ++i)
    {
        const HRESULT hr = UpstreamOf(m_filters[i], upstream[i]);
        if (FAILED(hr))
            return hr;
    }
    std::vector<bool> taken(cFilters, false);
    std::vector<CComPtr<IBaseFilter>> sorted;
    while (sorted.size() < cFilters)
    {
        size_t next = cFilters;
        for (size_t i = 0; i < cFilters && next == cFilters; ++i)
        {
            const bool bReady = std::all_of(upstream[i].begin(), upstream[i].end(),
                                            [&taken](size_t j) { return taken[j]; });
            if (!taken[i] && bReady)
                next = i;
        }
        if (next == cFilters)
            next = static_cast<size_t>(std::find(taken.begin(), taken.end(), false) - taken.begin());
        taken[next] = true;
        sorted.push_back(m_filters[next]);
    }
    m_filters.swap(sorted);
    return S_OK;
}

// The filters that feed the input pins of one filter, as indexes.
HRESULT CGraphDescriber::UpstreamOf(IBaseFilter* pFilter, std::vector<size_t>& upstream) const
{
    std::vector<FilterPin> pins;
    HRESULT hr = FilterPins(pFilter, pins);
    if (FAILED(hr))
        return hr;
    for (const FilterPin& pin : pins)
    {
        if (pin.eDirection != PINDIR_INPUT || !pin.spPeer)
            continue;
        PIN_INFO info = {};
        hr = pin.spPeer->QueryPinInfo(&info);
        if (FAILED(hr))
            return hr;
        CComPtr<IBaseFilter> spPeerFilter;
        spPeerFilter.Attach(info.pFilter);
        const size_t index = IndexOf(spPeerFilter);
        if (index < m_filters.size())
            upstream.push_back(index);
    }
    return S_OK;
}

HRESULT CGraphDescriber::DescribeFilter(IBaseFilter* pFilter, grf::Filter& filter) const
{
    filter.name = FilterName(pFilter);
    CLSID clsid = GUID_NULL;
    HRESULT hr = pFilter->GetClassID(&clsid);
    if (FAILED(hr))
        return hr;
    filter.clsid = ToFileGuid(clsid);
    hr = DescribeFileName(pFilter, filter);
    if (FAILED(hr))
        return hr;
    return DescribePrivateData(pFilter, filter.data);
}

HRESULT CGraphDescriber::DescribeFileName(IBaseFilter* pFilter, grf::Filter& filter) const
{
    CCoTaskString cszFile;
    CMediaTypeHolder mt;
    CComPtr<IFileSourceFilter> spSource;
    CComPtr<IFileSinkFilter> spSink;
    HRESULT hr = S_FALSE;
    if (SUCCEEDED(pFilter->QueryInterface(IID_IFileSourceFilter, reinterpret_cast<void**>(&spSource))))
    {
        filter.role = grf::FileRole::Source;
        hr = spSource->GetCurFile(&cszFile, &mt);
    }
    else if (SUCCEEDED(pFilter->QueryInterface(IID_IFileSinkFilter, reinterpret_cast<void**>(&spSink))))
    {
        filter.role = grf::FileRole::Sink;
        hr = spSink->GetCurFile(&cszFile, &mt);
    }
    // A file filter without a file yet is saved as a plain filter.
    if (FAILED(hr) || cszFile.Get() == nullptr)
        filter.role = grf::FileRole::None;
    filter.fileName = ToFileText(cszFile.Get());
    return S_OK;
}

HRESULT CGraphDescriber::DescribePrivateData(IBaseFilter* pFilter, std::vector<uint8_t>& data) const
{
    data.clear();
    CComPtr<IPersistStream> spPersist;
    if (FAILED(pFilter->QueryInterface(IID_IPersistStream, reinterpret_cast<void**>(&spPersist))))
        return S_OK; // a filter without data of its own
    CComPtr<IStream> spStream;
    HRESULT hr = ::CreateStreamOnHGlobal(nullptr, TRUE, &spStream);
    if (FAILED(hr))
        return hr;
    hr = spPersist->Save(spStream, TRUE);
    if (FAILED(hr))
        return hr;
    return BytesWritten(spStream, data);
}

// Each connection once: from the output pins of the upstream filter.
HRESULT CGraphDescriber::DescribeConnections(uint32_t id, IBaseFilter* pFilter,
                                             std::vector<grf::Connection>& connections) const
{
    std::vector<FilterPin> pins;
    HRESULT hr = FilterPins(pFilter, pins);
    if (FAILED(hr))
        return hr;
    for (const FilterPin& pin : pins)
    {
        if (pin.eDirection != PINDIR_OUTPUT || !pin.spPeer)
            continue;
        grf::Connection connection;
        hr = DescribeConnection(id, pin.spPin, pin.spPeer, connection);
        if (FAILED(hr))
            return hr;
        connections.push_back(std::move(connection));
    }
    return S_OK;
}

HRESULT CGraphDescriber::DescribeConnection(uint32_t id, IPin* pOut, IPin* pIn, grf::Connection& connection) const
{
    PIN_INFO info = {};
    HRESULT hr = pIn->QueryPinInfo(&info);
    if (FAILED(hr))
        return hr;
    CComPtr<IBaseFilter> spPeerFilter;
    spPeerFilter.Attach(info.pFilter);
    connection.outFilter = id;
    connection.inFilter = IdOf(spPeerFilter);
    if (connection.inFilter == 0)
        return VFW_E_NOT_IN_GRAPH;
    hr = PinId(pOut, connection.outPin);
    if (FAILED(hr))
        return hr;
    hr = PinId(pIn, connection.inPin);
    if (FAILED(hr))
        return hr;
    CMediaTypeHolder mt;
    hr = pOut->ConnectionMediaType(&mt);
    if (FAILED(hr))
        return hr;
    connection.mediaType = ToFileMediaType(mt.Get());
    return S_OK;
}

// The graph's clock: a filter of the graph by id, another clock by class.
HRESULT CGraphDescriber::DescribeClock(grf::Clock& clock) const
{
    clock = grf::Clock();
    CComPtr<IMediaFilter> spMediaFilter;
    HRESULT hr = m_pGraph->QueryInterface(IID_IMediaFilter, reinterpret_cast<void**>(&spMediaFilter));
    if (FAILED(hr))
        return hr;
    CComPtr<IReferenceClock> spClock;
    hr = spMediaFilter->GetSyncSource(&spClock);
    if (FAILED(hr) || !spClock)
        return S_OK; // no clock: the graph picks one when it runs
    clock.required = true;
    clock.filterId = IdOf(spClock);
    if (clock.filterId != 0)
    {
        clock.kind = grf::Clock::Kind::Filter;
        return S_OK;
    }
    CComPtr<IPersist> spPersist;
    CLSID clsid = GUID_NULL;
    if (FAILED(spClock->QueryInterface(IID_IPersist, reinterpret_cast<void**>(&spPersist))) ||
        FAILED(spPersist->GetClassID(&clsid)))
    {
        clock.required = false; // a clock nobody could create again
        return S_OK;
    }
    clock.kind = grf::Clock::Kind::Class;
    clock.clsid = ToFileGuid(clsid);
    return S_OK;
}

uint32_t CGraphDescriber::IdOf(IUnknown* pObject) const
{
    const size_t index = IndexOf(pObject);
    return index < m_filters.size() ? static_cast<uint32_t>(index + 1) : 0;
}

size_t CGraphDescriber::IndexOf(IUnknown* pObject) const
{
    for (size_t i = 0; i < m_filters.size(); ++i)
    {
        if (IsSameObject(m_filters[i], pObject))
            return i;
    }
    return m_filters.size();
}
