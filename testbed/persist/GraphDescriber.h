// Describes the filters, connections and clock of a filter graph manager as
// a graph file holds them.
#pragma once

#include <atlbase.h>

#include <dshow.h>

#include "GraphFile.h"

#include <vector>

class CGraphDescriber
{
public:
    explicit CGraphDescriber(IFilterGraph* pGraph) : m_pGraph(pGraph) {}

    // Filters go upstream first (a loader can only connect an output once
    // the filter's inputs are connected), by name among equals, with ids
    // from 1: a graph saved, loaded and saved again gives the same bytes.
    HRESULT Describe(grf::Graph& graph);

private:
    HRESULT CollectFilters();
    HRESULT SortUpstreamFirst();
    HRESULT UpstreamOf(IBaseFilter* pFilter, std::vector<size_t>& upstream) const;
    HRESULT DescribeFilter(IBaseFilter* pFilter, grf::Filter& filter) const;
    HRESULT DescribeFileName(IBaseFilter* pFilter, grf::Filter& filter) const;
    HRESULT DescribePrivateData(IBaseFilter* pFilter, std::vector<uint8_t>& data) const;
    HRESULT DescribeConnections(uint32_t id, IBaseFilter* pFilter, std::vector<grf::Connection>& connections) const;
    HRESULT DescribeConnection(uint32_t id, IPin* pOut, IPin* pIn, grf::Connection& connection) const;
    HRESULT DescribeClock(grf::Clock& clock) const;
    uint32_t IdOf(IUnknown* pObject) const; // 0 for no filter of the graph
    size_t IndexOf(IUnknown* pObject) const; // m_filters.size() for none

    IFilterGraph* m_pGraph; // borrowed
    std::vector<CComPtr<IBaseFilter>> m_filters;
};
