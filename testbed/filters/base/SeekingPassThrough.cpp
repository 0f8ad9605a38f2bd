#include "SeekingPassThrough.h"

#include "Pin.h"

CSeekingPassThrough::CSeekingPassThrough(IUnknown* pOwner, CPinBase* pFirstInput, CPinBase* pSecondInput)
    : m_pOwner(pOwner), m_rgpInputs{pFirstInput, pSecondInput}
{
}

int CSeekingPassThrough::Upstream(CComRef<IMediaSeeking> (&rgspSeeking)[kMaxInputs]) const
{
    int c = 0;
    for (CPinBase* pInput : m_rgpInputs)
    {
        if (pInput == nullptr)
            continue;
        const CComRef<IPin> spPeer = pInput->Peer();
        if (spPeer && SUCCEEDED(spPeer.As(rgspSeeking[c])))
            ++c;
    }
    return c;
}

template <class TCall>
HRESULT CSeekingPassThrough::First(TCall call) const
{
    CComRef<IMediaSeeking> rgspSeeking[kMaxInputs];
    if (Upstream(rgspSeeking) == 0)
        return VFW_E_NOT_CONNECTED;
    return call(rgspSeeking[0].Get());
}

template <class TCall>
HRESULT CSeekingPassThrough::All(TCall call) const
{
    CComRef<IMediaSeeking> rgspSeeking[kMaxInputs];
    const int c = Upstream(rgspSeeking);
    if (c == 0)
        return VFW_E_NOT_CONNECTED;
    HRESULT hrResult = S_OK;
    for (int i = 0; i < c; ++i)
    {
        const HRESULT hr = call(rgspSeeking[i].Get(), i == 0);
        if (FAILED(hr) && SUCCEEDED(hrResult))
            hrResult = hr;
    }
    return hrResult;
}

// What every upstream stream can do.
STDMETHODIMP CSeekingPassThrough::GetCapabilities(DWORD* pCapabilities)
{
    if (pCapabilities == nullptr)
        return E_POINTER;
    DWORD dwCommon = ~0u;
    const HRESULT hr = All([&](IMediaSeeking* p, bool) {
        DWORD dw = 0;
        const HRESULT hrCall = p->GetCapabilities(&dw);
        dwCommon &= SUCCEEDED(hrCall) ? dw : 0;
        return hrCall;
    });
    *pCapabilities = SUCCEEDED(hr) ? dwCommon : 0;
    return hr;
}

STDMETHODIMP CSeekingPassThrough::CheckCapabilities(DWORD* pCapabilities)
{
    if (pCapabilities == nullptr)
        return E_POINTER;
    DWORD dwHave = 0;
    const HRESULT hr = GetCapabilities(&dwHave);
    if (FAILED(hr))
        return hr;
    const DWORD dwWanted = *pCapabilities;
    *pCapabilities &= dwHave;
    if (*pCapabilities == dwWanted)
        return S_OK;
    return *pCapabilities != 0 ? S_FALSE : E_FAIL;
}

STDMETHODIMP CSeekingPassThrough::IsFormatSupported(const GUID* pFormat)
{
    return First([&](IMediaSeeking* p) { return p->IsFormatSupported(pFormat); });
}

STDMETHODIMP CSeekingPassThrough::QueryPreferredFormat(GUID* pFormat)
{
    return First([&](IMediaSeeking* p) { return p->QueryPreferredFormat(pFormat); });
}

STDMETHODIMP CSeekingPassThrough::GetTimeFormat(GUID* pFormat)
{
    return First([&](IMediaSeeking* p) { return p->GetTimeFormat(pFormat); });
}

STDMETHODIMP CSeekingPassThrough::IsUsingTimeFormat(const GUID* pFormat)
{
    return First([&](IMediaSeeking* p) { return p->IsUsingTimeFormat(pFormat); });
}

STDMETHODIMP CSeekingPassThrough::SetTimeFormat(const GUID* pFormat)
{
    return All([&](IMediaSeeking* p, bool) { return p->SetTimeFormat(pFormat); });
}

STDMETHODIMP CSeekingPassThrough::GetDuration(LONGLONG* pDuration)
{
    return First([&](IMediaSeeking* p) { return p->GetDuration(pDuration); });
}

STDMETHODIMP CSeekingPassThrough::GetStopPosition(LONGLONG* pStop)
{
    return First([&](IMediaSeeking* p) { return p->GetStopPosition(pStop); });
}

STDMETHODIMP CSeekingPassThrough::GetCurrentPosition(LONGLONG* pCurrent)
{
    return First([&](IMediaSeeking* p) { return p->GetCurrentPosition(pCurrent); });
}

STDMETHODIMP CSeekingPassThrough::ConvertTimeFormat(LONGLONG* pTarget, const GUID* pTargetFormat,
                                                    LONGLONG llSource, const GUID* pSourceFormat)
{
    return First(
        [&](IMediaSeeking* p) { return p->ConvertTimeFormat(pTarget, pTargetFormat, llSource, pSourceFormat); });
}

// Every upstream stream gets the same request; the positions handed back
// (AM_SEEKING_ReturnTime) are those of the first.
STDMETHODIMP CSeekingPassThrough::SetPositions(LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop,
                                               DWORD dwStopFlags)
{
    const LONGLONG llCurrent = pCurrent != nullptr ? *pCurrent : 0;
    const LONGLONG llStop = pStop != nullptr ? *pStop : 0;
    return All([&](IMediaSeeking* p, bool bFirst) {
        LONGLONG llCurrentCopy = llCurrent;
        LONGLONG llStopCopy = llStop;
        const HRESULT hr = p->SetPositions(pCurrent != nullptr ? &llCurrentCopy : nullptr, dwCurrentFlags,
                                           pStop != nullptr ? &llStopCopy : nullptr, dwStopFlags);
        if (bFirst && SUCCEEDED(hr))
        {
            if (pCurrent != nullptr)
                *pCurrent = llCurrentCopy;
            if (pStop != nullptr)
                *pStop = llStopCopy;
        }
        return hr;
    });
}

STDMETHODIMP CSeekingPassThrough::GetPositions(LONGLONG* pCurrent, LONGLONG* pStop)
{
    return First([&](IMediaSeeking* p) { return p->GetPositions(pCurrent, pStop); });
}

STDMETHODIMP CSeekingPassThrough::GetAvailable(LONGLONG* pEarliest, LONGLONG* pLatest)
{
    return First([&](IMediaSeeking* p) { return p->GetAvailable(pEarliest, pLatest); });
}

STDMETHODIMP CSeekingPassThrough::SetRate(double dRate)
{
    return All([&](IMediaSeeking* p, bool) { return p->SetRate(dRate); });
}

STDMETHODIMP CSeekingPassThrough::GetRate(double* pdRate)
{
    return First([&](IMediaSeeking* p) { return p->GetRate(pdRate); });
}

STDMETHODIMP CSeekingPassThrough::GetPreroll(LONGLONG* pllPreroll)
{
    return First([&](IMediaSeeking* p) { return p->GetPreroll(pllPreroll); });
}
