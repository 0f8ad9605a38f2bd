#include "PlaybackControl.h"

// ---------------------------------------------------------------------------
// IDispatch

STDMETHODIMP CPlaybackControl::GetTypeInfoCount(UINT* pctinfo)
{
    return Forward<IMediaControl>(&IDispatch::GetTypeInfoCount, pctinfo);
}

STDMETHODIMP CPlaybackControl::GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo)
{
    return Forward<IMediaControl>(&IDispatch::GetTypeInfo, iTInfo, lcid, ppTInfo);
}

STDMETHODIMP CPlaybackControl::GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                             DISPID* rgDispId)
{
    return Forward<IMediaControl>(&IDispatch::GetIDsOfNames, riid, rgszNames, cNames, lcid, rgDispId);
}

STDMETHODIMP CPlaybackControl::Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                      DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                                      UINT* puArgErr)
{
    return Forward<IMediaControl>(&IDispatch::Invoke, dispIdMember, riid, lcid, wFlags, pDispParams, pVarResult,
                                  pExcepInfo, puArgErr);
}

// ---------------------------------------------------------------------------
// IMediaControl

STDMETHODIMP CPlaybackControl::Run()
{
    CLockGuard lock(m_csState);
    return StopAfterFailure(Forward<IMediaControl>(&IMediaControl::Run));
}

STDMETHODIMP CPlaybackControl::Pause()
{
    CLockGuard lock(m_csState);
    return StopAfterFailure(Forward<IMediaControl>(&IMediaControl::Pause));
}

// When one filter refuses to pause, quartz leaves the others paused yet
// counts the graph as stopped, so that its Stop no longer reaches them and
// the next Run waits for them for ever. The platform's graph manager stops
// the graph when a Pause fails; so does this one, filter by filter.
HRESULT CPlaybackControl::StopAfterFailure(HRESULT hr)
{
    if (SUCCEEDED(hr))
        return hr;
    CComPtr<IFilterGraph> spGraph;
    CComPtr<IEnumFilters> spEnum;
    if (FAILED(Inner(spGraph)) || FAILED(spGraph->EnumFilters(&spEnum)))
        return hr;
    for (CComPtr<IBaseFilter> spFilter; spEnum->Next(1, &spFilter, nullptr) == S_OK; spFilter.Release())
        spFilter->Stop();
    return hr;
}

STDMETHODIMP CPlaybackControl::Stop()
{
    return StopKeepingPosition();
}

// quartz's StopWhenReady leaves the graph paused while the pause completes
// and stops it afterwards on a thread of its own, so that a caller may still
// find it paused; the platform's graph is stopped, as far as the caller can
// tell, once the call returns. This one waits for the pause (at most
// kReadyWaitMs) on the caller's thread and then stops as Stop does.
STDMETHODIMP CPlaybackControl::StopWhenReady()
{
    const HRESULT hr = Pause();
    if (FAILED(hr))
        return hr; // the failed pause stopped the graph
    CComPtr<IMediaControl> spControl;
    OAFilterState eState = State_Stopped;
    if (SUCCEEDED(Inner(spControl)) && spControl->GetState(kReadyWaitMs, &eState) == VFW_S_STATE_INTERMEDIATE)
        ATLTRACE2(atlTraceGeneral, 1, L"GraphPersist: StopWhenReady stops a pause that did not complete in %lu ms\n",
                  static_cast<unsigned long>(kReadyWaitMs));
    return StopKeepingPosition();
}

STDMETHODIMP CPlaybackControl::GetState(LONG msTimeout, OAFilterState* pfs)
{
    return Forward<IMediaControl>(&IMediaControl::GetState, msTimeout, pfs);
}

STDMETHODIMP CPlaybackControl::RenderFile(BSTR strFilename)
{
    return Forward<IMediaControl>(&IMediaControl::RenderFile, strFilename);
}

STDMETHODIMP CPlaybackControl::AddSourceFilter(BSTR strFilename, IDispatch** ppUnk)
{
    return Forward<IMediaControl>(&IMediaControl::AddSourceFilter, strFilename, ppUnk);
}

STDMETHODIMP CPlaybackControl::get_FilterCollection(IDispatch** ppUnk)
{
    return Forward<IMediaControl>(&IMediaControl::get_FilterCollection, ppUnk);
}

STDMETHODIMP CPlaybackControl::get_RegFilterCollection(IDispatch** ppUnk)
{
    return Forward<IMediaControl>(&IMediaControl::get_RegFilterCollection, ppUnk);
}

// quartz stops its filters where they are, yet afterwards reports the
// position of the last pause and counts the next run from there. The
// position read just before stopping, set again once stopped, puts the
// graph, its report and its filters at the one place the stream stopped.
HRESULT CPlaybackControl::StopKeepingPosition()
{
    CComPtr<IMediaControl> spControl;
    HRESULT hr = Inner(spControl);
    if (FAILED(hr))
        return hr;
    CComPtr<IMediaSeeking> spSeeking;
    hr = Inner(spSeeking);
    if (FAILED(hr))
        return hr;

    CLockGuard lock(m_csState);
    OAFilterState eState = State_Stopped;
    LONGLONG llPosition = 0;
    // A stopped graph has nothing to keep, nor has one that cannot tell.
    const bool bKeep = SUCCEEDED(spControl->GetState(0, &eState)) && eState != State_Stopped &&
                       spSeeking->GetCurrentPosition(&llPosition) == S_OK;
    hr = spControl->Stop();
    if (FAILED(hr) || !bKeep)
        return hr;
    const HRESULT hrSeek =
        spSeeking->SetPositions(&llPosition, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning);
    if (FAILED(hrSeek))
        ATLTRACE2(atlTraceGeneral, 1, L"GraphPersist: the position at Stop was not kept: 0x%08lX\n",
                  static_cast<unsigned long>(hrSeek));
    return hr;
}

// ---------------------------------------------------------------------------
// IMediaSeeking

STDMETHODIMP CPlaybackControl::GetCapabilities(DWORD* pCapabilities)
{
    return Forward<IMediaSeeking>(&IMediaSeeking::GetCapabilities, pCapabilities);
}

STDMETHODIMP CPlaybackControl::CheckCapabilities(DWORD* pCapabilities)
{
    return Forward<IMediaSeeking>(&IMediaSeeking::CheckCapabilities, pCapabilities);
}

STDMETHODIMP CPlaybackControl::IsFormatSupported(const GUID* pFormat)
{
    return Forward<IMediaSeeking>(&IMediaSeeking::IsFormatSupported, pFormat);
}

STDMETHODIMP CPlaybackControl::QueryPreferredFormat(GUID* pFormat)
{
    return Forward<IMediaSeeking>(&IMediaSeeking::QueryPreferredFormat, pFormat);
}

STDMETHODIMP CPlaybackControl::GetTimeFormat(GUID* pFormat)
{
    return Forward<IMediaSeeking>(&IMediaSeeking::GetTimeFormat, pFormat);
}

STDMETHODIMP CPlaybackControl::IsUsingTimeFormat(const GUID* pFormat)
{
    return Forward<IMediaSeeking>(&IMediaSeeking::IsUsingTimeFormat, pFormat);
}

STDMETHODIMP CPlaybackControl::SetTimeFormat(const GUID* pFormat)
{
    return Forward<IMediaSeeking>(&IMediaSeeking::SetTimeFormat, pFormat);
}

STDMETHODIMP CPlaybackControl::GetDuration(LONGLONG* pDuration)
{
    return Forward<IMediaSeeking>(&IMediaSeeking::GetDuration, pDuration);
}

STDMETHODIMP CPlaybackControl::GetStopPosition(LONGLONG* pStop)
{
    return Forward<IMediaSeeking>(&IMediaSeeking::GetStopPosition, pStop);
}

STDMETHODIMP CPlaybackControl::GetCurrentPosition(LONGLONG* pCurrent)
{
    CLockGuard lock(m_csState);
    return Forward<IMediaSeeking>(&IMediaSeeking::GetCurrentPosition, pCurrent);
}

STDMETHODIMP CPlaybackControl::ConvertTimeFormat(LONGLONG* pTarget, const GUID* pTargetFormat, LONGLONG Source,
                                                 const GUID* pSourceFormat)
{
    return Forward<IMediaSeeking>(&IMediaSeeking::ConvertTimeFormat, pTarget, pTargetFormat, Source, pSourceFormat);
}

STDMETHODIMP CPlaybackControl::SetPositions(LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop,
                                            DWORD dwStopFlags)
{
    CLockGuard lock(m_csState);
    return Forward<IMediaSeeking>(&IMediaSeeking::SetPositions, pCurrent, dwCurrentFlags, pStop, dwStopFlags);
}

STDMETHODIMP CPlaybackControl::GetPositions(LONGLONG* pCurrent, LONGLONG* pStop)
{
    CLockGuard lock(m_csState);
    return Forward<IMediaSeeking>(&IMediaSeeking::GetPositions, pCurrent, pStop);
}

STDMETHODIMP CPlaybackControl::GetAvailable(LONGLONG* pEarliest, LONGLONG* pLatest)
{
    return Forward<IMediaSeeking>(&IMediaSeeking::GetAvailable, pEarliest, pLatest);
}

STDMETHODIMP CPlaybackControl::SetRate(double dRate)
{
    return Forward<IMediaSeeking>(&IMediaSeeking::SetRate, dRate);
}

STDMETHODIMP CPlaybackControl::GetRate(double* pdRate)
{
    return Forward<IMediaSeeking>(&IMediaSeeking::GetRate, pdRate);
}

STDMETHODIMP CPlaybackControl::GetPreroll(LONGLONG* pllPreroll)
{
    return Forward<IMediaSeeking>(&IMediaSeeking::GetPreroll, pllPreroll);
}
