// CGraph: the console's one handle on a DirectShow filter graph.
#pragma once

#include <atlbase.h>

#include <dshow.h>
#include <dshowuuid.h>

#include "Helpers.h"
#include "VelkFilters.h"

class CGraph
{
public:
    CGraph();
    ~CGraph();

    CGraph(const CGraph&) = delete;
    CGraph& operator=(const CGraph&) = delete;

    // Releases the current graph and builds a new one: from the graph file
    // pszFile, or the default streaming graph when pszFile is null. On S_OK
    // the graph manager posts uMsg to hWnd whenever events are queued.
    // Returns S_OK or the first other status met; nothing built is undone.
    HRESULT BuildGraph(LPCWSTR pszFile, HWND hWnd, UINT uMsg);
    // Stops notifications, closes the graph editor and releases the graph.
    void ReleaseGraph();
    // Takes one event from the queue without waiting; 0 when there is none.
    // *plParam1, when asked for, receives the event's first parameter (the
    // status that EC_ERRORABORT carries); the event's parameters are freed.
    long ProcessEvents(LONG_PTR* plParam1 = nullptr);

    HRESULT Run();
    HRESULT Pause();
    HRESULT Stop();
    bool IsEmpty() const;

    // Seeking, in 100 ns units or as fractions (0.0 to 1.0) of the duration.
    HRESULT GetDuration(REFERENCE_TIME* pllDuration);
    HRESULT GetCurrentPosition(REFERENCE_TIME* pllPosition);
    HRESULT SetCurrentPosition(REFERENCE_TIME llPosition);
    HRESULT SetCurrentPositionRatio(double dRatio);
    HRESULT SetStopPositionRatio(double dRatio);

    // The server build under test in one line; S_FALSE and an empty string
    // when the graph holds no server with a version interface.
    HRESULT GetServerVersion(CComBSTR& cbsVersion);

    // Opens the graph in the graph editor; the editor shown before is told
    // to quit first. E_FAIL without a graph.
    HRESULT ShowGraphEdit();

    // Builders, used by BuildGraph on a freshly created graph manager.
    HRESULT BuildFromFile();
    HRESULT BuildFromGRFFile(LPCWSTR pszFile);
    HRESULT FindSplitter();
    HRESULT FiltersConnect(IBaseFilter* spSourse, IBaseFilter* spSplitter);
    HRESULT CheckFilter(IBaseFilter* pFilter, IPin** ppPin, PIN_DIRECTION eDirection);

private:
    friend struct CGraphAccess; // lets tests reach the members

    using MediaControlMethod = HRESULT (STDMETHODCALLTYPE IMediaControl::*)();

    HRESULT Control(MediaControlMethod pfnMethod);
    void StopBeforeRelease();
    HRESULT RegisterNotifyWindow(HWND hWnd, UINT uMsg);
    HRESULT QueryMediaSeeking(CComPtr<IMediaSeeking>& spMediaSeeking);
    HRESULT AddNewFilter(REFCLSID clsid, LPCWSTR pszName, CComPtr<IBaseFilter>& spFilter,
                         LPCWSTR pszCantCreate, LPCWSTR pszCantInsert);
    void SetGeneratorMode(IBaseFilter* pGenerator);
    HRESULT KeepServer(IBaseFilter* pFilter);

    CComPtr<IGraphBuilder> m_spGraph;
    CComPtr<IVelkRtmpServer> m_spRtmpServer;
    CGraphEdit m_GraphEdit;
};
