// CSeekingPassThrough: IMediaSeeking that hands every call to the pins
// upstream of some input pins. Setters go to all of them, getters are
// answered by the first connected one.
#pragma once

#include "ComRef.h"

#include <dshow.h>

class CPinBase;

class CSeekingPassThrough : public IMediaSeeking
{
public:
    static constexpr int kMaxInputs = 2;

    // pOwner gives the identity and the reference count; the inputs belong to
    // the owner's filter.
    CSeekingPassThrough(IUnknown* pOwner, CPinBase* pFirstInput, CPinBase* pSecondInput = nullptr);
    virtual ~CSeekingPassThrough() = default;
    CSeekingPassThrough(const CSeekingPassThrough&) = delete;
    CSeekingPassThrough& operator=(const CSeekingPassThrough&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return m_pOwner->QueryInterface(riid, ppv); }
    STDMETHODIMP_(ULONG) AddRef() override { return m_pOwner->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return m_pOwner->Release(); }

    STDMETHODIMP GetCapabilities(DWORD* pCapabilities) override;
    STDMETHODIMP CheckCapabilities(DWORD* pCapabilities) override;
    STDMETHODIMP IsFormatSupported(const GUID* pFormat) override;
    STDMETHODIMP QueryPreferredFormat(GUID* pFormat) override;
    STDMETHODIMP GetTimeFormat(GUID* pFormat) override;
    STDMETHODIMP IsUsingTimeFormat(const GUID* pFormat) override;
    STDMETHODIMP SetTimeFormat(const GUID* pFormat) override;
    STDMETHODIMP GetDuration(LONGLONG* pDuration) override;
    STDMETHODIMP GetStopPosition(LONGLONG* pStop) override;
    STDMETHODIMP GetCurrentPosition(LONGLONG* pCurrent) override;
    STDMETHODIMP ConvertTimeFormat(LONGLONG* pTarget, const GUID* pTargetFormat, LONGLONG llSource,
                                   const GUID* pSourceFormat) override;
    STDMETHODIMP SetPositions(LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop,
                              DWORD dwStopFlags) override;
    STDMETHODIMP GetPositions(LONGLONG* pCurrent, LONGLONG* pStop) override;
    STDMETHODIMP GetAvailable(LONGLONG* pEarliest, LONGLONG* pLatest) override;
    STDMETHODIMP SetRate(double dRate) override;
    STDMETHODIMP GetRate(double* pdRate) override;
    STDMETHODIMP GetPreroll(LONGLONG* pllPreroll) override;

private:
    // The seeking interfaces upstream of the connected inputs; how many.
    int Upstream(CComRef<IMediaSeeking> (&rgspSeeking)[kMaxInputs]) const;
    template <class TCall>
    HRESULT First(TCall call) const;
    template <class TCall>
    HRESULT All(TCall call) const;

    IUnknown* const m_pOwner;
    CPinBase* const m_rgpInputs[kMaxInputs];
};
