// CInputPinBase: an input pin that takes samples through IMemInputPin, with
// the flushing and end-of-stream bookkeeping every input needs.
#pragma once

#include "Pin.h"

class CInputPinBase : public CPinBase, public IMemInputPin
{
public:
    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return CPinBase::QueryInterface(riid, ppv); }
    STDMETHODIMP_(ULONG) AddRef() override { return CPinBase::AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return CPinBase::Release(); }

    // IPin stream calls: the bookkeeping, then the On... hooks.
    STDMETHODIMP EndOfStream() override;
    STDMETHODIMP BeginFlush() override;
    STDMETHODIMP EndFlush() override;
    STDMETHODIMP NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override;

    // IMemInputPin
    STDMETHODIMP GetAllocator(IMemAllocator** ppAllocator) override;
    STDMETHODIMP NotifyAllocator(IMemAllocator* pAllocator, BOOL bReadOnly) override;
    STDMETHODIMP GetAllocatorRequirements(ALLOCATOR_PROPERTIES* pProps) override;
    STDMETHODIMP Receive(IMediaSample* pSample) override;
    STDMETHODIMP ReceiveMultiple(IMediaSample** pSamples, long nSamples, long* nSamplesProcessed) override;
    STDMETHODIMP ReceiveCanBlock() override;

    HRESULT Active() override;
    void Inactive() override;

    // With the filter lock held.
    bool IsFlushingLocked() const { return m_bFlushing; }

protected:
    CInputPinBase(CFilterBase* pFilter, LPCWSTR pszName);

    HRESULT QueryPinInterface(REFIID riid, void** ppv) override;
    void BreakConnect() override;

    // Called without the filter lock once the call was found in order.
    virtual HRESULT OnReceive(IMediaSample* pSample) = 0;
    virtual HRESULT OnEndOfStream() = 0;
    virtual HRESULT OnBeginFlush() = 0;
    virtual HRESULT OnEndFlush() = 0;
    virtual HRESULT OnNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) = 0;

private:
    // S_OK when data may come in now; S_FALSE while flushing, or the
    // failure that refuses it.
    HRESULT CheckStreaming();

    // Guarded by the filter lock.
    bool m_bFlushing = false;
    bool m_bEndOfStream = false;
    CComRef<IMemAllocator> m_spAllocator;
};
