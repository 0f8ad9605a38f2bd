// The graph manager's IMediaControl and IMediaSeeking, in front of quartz's.
// A Stop keeps the stream where it stopped: quartz alone would report the
// position of the last pause after a Stop from running, and count the next
// run from there, while its filters go on from wherever they stopped.
// Everything else is quartz's.
#pragma once

#include <atlbase.h>

#include <dshow.h>

#include "Sync.h"

#include <utility>

class CPlaybackControl final : public IMediaControl, public IMediaSeeking
{
public:
    // Part of the aggregate that pOuter controls; not counted: the aggregate
    // owns this object.
    explicit CPlaybackControl(IUnknown* pOuter) : m_pOuter(pOuter) {}
    // quartz's own, non-delegating IUnknown, once the aggregate has made it.
    void Attach(IUnknown* pInner) { m_pInner = pInner; }
    CPlaybackControl(const CPlaybackControl&) = delete;
    CPlaybackControl& operator=(const CPlaybackControl&) = delete;

    // IUnknown: the aggregate's.
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return m_pOuter->QueryInterface(riid, ppv); }
    STDMETHODIMP_(ULONG) AddRef() override { return m_pOuter->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return m_pOuter->Release(); }

    // IDispatch: quartz's, for IMediaControl.
    STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override;
    STDMETHODIMP GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) override;
    STDMETHODIMP Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                        VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;

    // IMediaControl
    STDMETHODIMP Run() override;
    STDMETHODIMP Pause() override;
    STDMETHODIMP Stop() override;
    STDMETHODIMP GetState(LONG msTimeout, OAFilterState* pfs) override;
    STDMETHODIMP RenderFile(BSTR strFilename) override;
    STDMETHODIMP AddSourceFilter(BSTR strFilename, IDispatch** ppUnk) override;
    STDMETHODIMP get_FilterCollection(IDispatch** ppUnk) override;
    STDMETHODIMP get_RegFilterCollection(IDispatch** ppUnk) override;
    STDMETHODIMP StopWhenReady() override;

    // IMediaSeeking
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
    STDMETHODIMP ConvertTimeFormat(LONGLONG* pTarget, const GUID* pTargetFormat, LONGLONG Source,
                                   const GUID* pSourceFormat) override;
    STDMETHODIMP SetPositions(LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop, DWORD dwStopFlags) override;
    STDMETHODIMP GetPositions(LONGLONG* pCurrent, LONGLONG* pStop) override;
    STDMETHODIMP GetAvailable(LONGLONG* pEarliest, LONGLONG* pLatest) override;
    STDMETHODIMP SetRate(double dRate) override;
    STDMETHODIMP GetRate(double* pdRate) override;
    STDMETHODIMP GetPreroll(LONGLONG* pllPreroll) override;

private:
    // quartz's interface I; counts on the aggregate while held.
    template <class I>
    HRESULT Inner(CComPtr<I>& sp) const
    {
        if (m_pInner == nullptr)
            return E_UNEXPECTED;
        return m_pInner->QueryInterface(__uuidof(I), reinterpret_cast<void**>(&sp));
    }

    // Calls a method of quartz's interface I, declared by I or by a base C.
    template <class I, class C, class... Params, class... Args>
    HRESULT Forward(HRESULT (STDMETHODCALLTYPE C::*pfnMethod)(Params...), Args&&... args) const
    {
        CComPtr<I> sp;
        const HRESULT hr = Inner(sp);
        if (FAILED(hr))
            return hr;
        return (static_cast<C*>(sp.p)->*pfnMethod)(std::forward<Args>(args)...);
    }

    // A Pause or Run that failed with hr stops every filter; returns hr.
    HRESULT StopAfterFailure(HRESULT hr);

    // A state change that leaves the graph stopped, with the position where
    // the stream was when it began.
    HRESULT StopKeepingPosition();

    // How long StopWhenReady waits for the pause to complete.
    static constexpr DWORD kReadyWaitMs = 2000;

    IUnknown* const m_pOuter;
    IUnknown* m_pInner = nullptr;
    // One state change at a time, with the seek that keeps its position; no
    // position is read or set in between.
    CCriticalSection m_csState;
};
