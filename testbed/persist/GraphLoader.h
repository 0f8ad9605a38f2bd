// Rebuilds a graph read from a graph file in a filter graph manager.
#pragma once

#include <atlbase.h>

#include <dshow.h>

#include "GraphFile.h"

#include <utility>
#include <vector>

class CGraphLoader
{
public:
    explicit CGraphLoader(IFilterGraph* pGraph) : m_pGraph(pGraph) {}

    // Creates and adds every filter, then makes every connection and sets
    // the clock. Stops at the first failure and returns its status; what was
    // built before stays in the graph.
    HRESULT Load(const grf::Graph& graph);

private:
    HRESULT AddFilter(const grf::Filter& filter);
    HRESULT HandFileName(IBaseFilter* pFilter, const grf::Filter& filter);
    HRESULT HandPrivateData(IBaseFilter* pFilter, const std::vector<uint8_t>& data);
    HRESULT Connect(const grf::Connection& connection);
    HRESULT FindPin(uint32_t filterId, const std::u16string& pinId, CComPtr<IPin>& spPin) const;
    HRESULT SetClock(const grf::Clock& clock);
    IBaseFilter* FilterOf(uint32_t id) const;

    IFilterGraph* m_pGraph; // borrowed for the load
    std::vector<std::pair<uint32_t, CComPtr<IBaseFilter>>> m_filters;
};
