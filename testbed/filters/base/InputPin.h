// CInputPinBase: an input pin that takes samples through IMemInputPin, with
// the flushing and end-of-stream bookkeeping every input needs. Its stream
// calls are counted while they run, so that a Stop can wait for them.
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
    // Waits for the stream calls in progress.
    void FinishInactive() override;

    // Between BeginFlush and EndFlush; takes the streaming lock.
    bool IsFlushing();

protected:
    CInputPinBase(CFilterBase* pFilter, LPCWSTR pszName);

    HRESULT QueryPinInterface(REFIID riid, void** ppv) override;
    void BreakConnect() override;

    // Called without locks once the call was found in order; Stop waits for
    // them to return.
    virtual HRESULT OnReceive(IMediaSample* pSample) = 0;
    virtual HRESULT OnEndOfStream() = 0;
    virtual HRESULT OnBeginFlush() = 0;
    virtual HRESULT OnEndFlush() = 0;
    virtual HRESULT OnNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) = 0;
    // OnReceive failed for real (not for a stop or a flush): the failure has
    // been reported to the graph and the input takes nothing more until a
    // flush or a new run. A filter with outputs ends their streams here.
    virtual void OnStreamAborted() {}

private:
    // Ends a counted stream call when it goes.
    class CCallScope
    {
    public:
        explicit CCallScope(CInputPinBase& pin) : m_pin(pin) {}
        ~CCallScope() { m_pin.EndCall(); }
        CCallScope(const CCallScope&) = delete;
        CCallScope& operator=(const CCallScope&) = delete;

    private:
        CInputPinBase& m_pin;
    };

    // A sample or the end of stream: S_OK and counted when data may come in
    // now (bEndsStream then marks the end in the same hold); S_FALSE while
    // flushing, or the failure that refuses it. uFlushes tells the flushes
    // begun so far.
    HRESULT BeginDataCall(bool bEndsStream, ULONG& uFlushes);
    // A flush or a segment: S_OK and counted while connected.
    HRESULT BeginControlCall();
    void EndCall();
    // After OnReceive failed with hr: true when it failed for real, in which
    // case the stream is marked ended.
    bool EndStreamAfterFailure(HRESULT hr, ULONG uFlushes);
    // Why an inactive pin refuses data.
    HRESULT InactiveStatus();

    // Guarded by the filter's streaming lock.
    bool m_bActive = false; // connected, and the filter is not stopped
    bool m_bFlushing = false;
    bool m_bEndOfStream = false; // the end came, or the stream failed
    ULONG m_uFlushes = 0;        // so that a call can tell a flush overtook it
    LONG m_cCalls = 0;           // stream calls in progress
    // Guarded by the filter lock.
    CComRef<IMemAllocator> m_spAllocator;
};
