#include "PushSource.h"

#include "MediaTime.h"

#include <algorithm>
#include <climits>

namespace
{

bool Positions(DWORD dwFlags)
{
    return (dwFlags & AM_SEEKING_PositioningBitsMask) != AM_SEEKING_NoPositioning;
}

// A position request as the flags ask for it: absolute, or relative to the
// value it replaces (incremental positioning is taken as relative).
HRESULT ResolveOne(REFERENCE_TIME rtOld, const LONGLONG* pValue, DWORD dwFlags, REFERENCE_TIME& rt)
{
    switch (dwFlags & AM_SEEKING_PositioningBitsMask)
    {
    case AM_SEEKING_AbsolutePositioning:
        rt = *pValue;
        return S_OK;
    case AM_SEEKING_RelativePositioning:
    case AM_SEEKING_IncrementalPositioning:
        return CheckedAdd(rtOld, *pValue, rt) ? S_OK : E_INVALIDARG;
    default:
        rt = rtOld;
        return S_OK;
    }
}

} // namespace

CPushSourceFilter::CPushSourceFilter(REFCLSID clsid) : CFilterBase(clsid) {}

CPinBase* CPushSourceFilter::PinAt(int nIndex)
{
    return nIndex >= 0 && nIndex < StreamCount() ? StreamAt(nIndex) : nullptr;
}

HRESULT CPushSourceFilter::SetDuration(REFERENCE_TIME rtDuration)
{
    if (rtDuration < 0)
        return E_INVALIDARG;
    const CStateChangeGuard change(*this);
    {
        CLockGuard lock(FilterLock());
        if (StateLocked() != State_Stopped)
            return VFW_E_NOT_STOPPED;
    }
    CLockGuard lock(m_csPosition);
    m_rtDuration = rtDuration;
    m_rtCurrent = 0;
    m_rtStop = rtDuration;
    return S_OK;
}

REFERENCE_TIME CPushSourceFilter::Duration()
{
    CLockGuard lock(m_csPosition);
    return m_rtDuration;
}

HRESULT CPushSourceFilter::GetPositions(LONGLONG* pCurrent, LONGLONG* pStop)
{
    CLockGuard lock(m_csPosition);
    if (pCurrent != nullptr)
        *pCurrent = m_rtCurrent;
    if (pStop != nullptr)
        *pStop = m_rtStop;
    return S_OK;
}

void CPushSourceFilter::GetRunPositions(REFERENCE_TIME& rtStart, REFERENCE_TIME& rtStop)
{
    CLockGuard lock(m_csPosition);
    rtStart = m_rtCurrent;
    rtStop = m_rtStop;
}

void CPushSourceFilter::OnStreamingStopped()
{
    REFERENCE_TIME rtEarliest = LLONG_MAX;
    bool bStreamed = false;
    for (int i = 0; i < StreamCount(); ++i)
    {
        REFERENCE_TIME rt = 0;
        if (StreamAt(i)->TakeStoppedPosition(rt))
        {
            bStreamed = true;
            rtEarliest = std::min(rtEarliest, rt);
        }
    }
    if (!bStreamed)
        return;
    CLockGuard lock(m_csPosition);
    m_rtCurrent = std::min(std::max(rtEarliest, m_rtCurrent), m_rtStop);
}

// The first connected pin; any pin while none is connected.
bool CPushSourceFilter::IsSeekingPin(CPushPin* pPin)
{
    CLockGuard lock(FilterLock());
    for (int i = 0; i < StreamCount(); ++i)
    {
        CPushPin* pStream = StreamAt(i);
        if (pStream->IsConnectedLocked())
            return pStream == pPin;
    }
    return true;
}

HRESULT CPushSourceFilter::SetPositions(CPushPin* pFrom, LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop,
                                        DWORD dwStopFlags)
{
    if ((Positions(dwCurrentFlags) && pCurrent == nullptr) || (Positions(dwStopFlags) && pStop == nullptr))
        return E_POINTER;
    REFERENCE_TIME rtCurrent = 0;
    REFERENCE_TIME rtStop = 0;
    if (IsSeekingPin(pFrom))
    {
        // No state change, and no other seek, while the streams move.
        const CStateChangeGuard change(*this);
        const HRESULT hr = ResolvePositions(pCurrent, dwCurrentFlags, pStop, dwStopFlags, rtCurrent, rtStop);
        if (FAILED(hr))
            return hr;
        bool bStreaming = false;
        {
            CLockGuard lock(FilterLock());
            bStreaming = StateLocked() != State_Stopped;
        }
        {
            CLockGuard lock(m_csPosition);
            m_rtCurrent = rtCurrent;
            m_rtStop = rtStop;
        }
        for (int i = 0; bStreaming && i < StreamCount(); ++i)
        {
            CPushPin* pStream = StreamAt(i);
            if (!pStream->Peer())
                continue;
            if (Positions(dwCurrentFlags))
                pStream->Reposition(rtCurrent, rtStop);
            else
                pStream->SetSegmentStop(rtStop);
        }
    }
    else
    {
        GetPositions(&rtCurrent, &rtStop);
    }
    if (pCurrent != nullptr && (dwCurrentFlags & AM_SEEKING_ReturnTime) != 0)
        *pCurrent = rtCurrent;
    if (pStop != nullptr && (dwStopFlags & AM_SEEKING_ReturnTime) != 0)
        *pStop = rtStop;
    return S_OK;
}

// Both positions inside the stream, the current one not past the stop.
HRESULT CPushSourceFilter::ResolvePositions(const LONGLONG* pCurrent, DWORD dwCurrentFlags, const LONGLONG* pStop,
                                            DWORD dwStopFlags, REFERENCE_TIME& rtCurrent, REFERENCE_TIME& rtStop)
{
    CLockGuard lock(m_csPosition);
    HRESULT hr = ResolveOne(m_rtCurrent, pCurrent, dwCurrentFlags, rtCurrent);
    if (SUCCEEDED(hr))
        hr = ResolveOne(m_rtStop, pStop, dwStopFlags, rtStop);
    if (FAILED(hr) || rtCurrent < 0 || rtStop < 0)
        return E_INVALIDARG;
    rtStop = std::min(rtStop, m_rtDuration);
    rtCurrent = std::min(rtCurrent, rtStop);
    return S_OK;
}
