#include "InputPin.h"

#include "Filter.h"

CInputPinBase::CInputPinBase(CFilterBase* pFilter, LPCWSTR pszName) : CPinBase(pFilter, PINDIR_INPUT, pszName) {}

HRESULT CInputPinBase::QueryPinInterface(REFIID riid, void** ppv)
{
    if (!IsEqualIID(riid, IID_IMemInputPin))
        return E_NOINTERFACE;
    *ppv = static_cast<IMemInputPin*>(this);
    AddRef();
    return S_OK;
}

void CInputPinBase::BreakConnect()
{
    m_spAllocator.Reset();
}

// ---------------------------------------------------------------------------
// State

// A new run starts with a clean stream.
HRESULT CInputPinBase::Active()
{
    CLockGuard lock(Filter()->StreamingLock());
    m_bActive = IsConnectedLocked();
    m_bFlushing = false;
    m_bEndOfStream = false;
    return S_OK;
}

// The allocator is decommitted here as well as upstream, so that an upstream
// thread waiting for a buffer is released even when this filter stops first.
void CInputPinBase::Inactive()
{
    {
        CLockGuard lock(Filter()->StreamingLock());
        m_bActive = false;
    }
    if (m_spAllocator)
        m_spAllocator->Decommit();
}

void CInputPinBase::FinishInactive()
{
    CLockGuard lock(Filter()->StreamingLock());
    while (m_cCalls > 0)
        Filter()->WaitStreamingLocked();
}

bool CInputPinBase::IsFlushing()
{
    CLockGuard lock(Filter()->StreamingLock());
    return m_bFlushing;
}

// ---------------------------------------------------------------------------
// Calls in progress

HRESULT CInputPinBase::BeginDataCall(bool bEndsStream, ULONG& uFlushes)
{
    {
        CLockGuard lock(Filter()->StreamingLock());
        if (m_bActive)
        {
            if (m_bFlushing)
                return S_FALSE;
            if (m_bEndOfStream)
                return VFW_E_SAMPLE_REJECTED_EOS;
            // Checked and marked in one hold: a flush in between would be
            // followed by an end that belongs to the stream it flushed.
            if (bEndsStream)
                m_bEndOfStream = true;
            uFlushes = m_uFlushes;
            ++m_cCalls;
            return S_OK;
        }
    }
    return InactiveStatus();
}

HRESULT CInputPinBase::BeginControlCall()
{
    CLockGuard filterLock(Filter()->FilterLock());
    if (!IsConnectedLocked())
        return VFW_E_NOT_CONNECTED;
    CLockGuard lock(Filter()->StreamingLock());
    ++m_cCalls;
    return S_OK;
}

void CInputPinBase::EndCall()
{
    CLockGuard lock(Filter()->StreamingLock());
    if (--m_cCalls == 0)
        Filter()->WakeStreamingLocked();
}

HRESULT CInputPinBase::InactiveStatus()
{
    CLockGuard lock(Filter()->FilterLock());
    return IsConnectedLocked() ? VFW_E_WRONG_STATE : VFW_E_NOT_CONNECTED;
}

// A stop, or a flush begun since the call came in, explains any failure;
// so does a neighbour that is stopping.
bool CInputPinBase::EndStreamAfterFailure(HRESULT hr, ULONG uFlushes)
{
    if (IsStoppingStatus(hr))
        return false;
    CLockGuard lock(Filter()->StreamingLock());
    if (!m_bActive || m_bFlushing || m_uFlushes != uFlushes || m_bEndOfStream)
        return false;
    m_bEndOfStream = true;
    return true;
}

// ---------------------------------------------------------------------------
// Stream calls

STDMETHODIMP CInputPinBase::EndOfStream()
{
    ULONG uFlushes = 0;
    const HRESULT hr = BeginDataCall(true, uFlushes);
    if (hr != S_OK)
        return hr;
    const CCallScope call(*this);
    return OnEndOfStream();
}

STDMETHODIMP CInputPinBase::BeginFlush()
{
    const HRESULT hr = BeginControlCall();
    if (hr != S_OK)
        return hr;
    const CCallScope call(*this);
    {
        CLockGuard lock(Filter()->StreamingLock());
        m_bFlushing = true;
        m_bEndOfStream = false;
        ++m_uFlushes;
    }
    return OnBeginFlush();
}

// Downstream ends its flush first; then this input takes data again, its
// stream no longer ended.
STDMETHODIMP CInputPinBase::EndFlush()
{
    const HRESULT hrBegin = BeginControlCall();
    if (hrBegin != S_OK)
        return hrBegin;
    const CCallScope call(*this);
    const HRESULT hr = OnEndFlush();
    CLockGuard lock(Filter()->StreamingLock());
    m_bFlushing = false;
    m_bEndOfStream = false;
    return hr;
}

STDMETHODIMP CInputPinBase::NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate)
{
    const HRESULT hr = BeginControlCall();
    if (hr != S_OK)
        return hr;
    const CCallScope call(*this);
    return OnNewSegment(tStart, tStop, dRate);
}

// ---------------------------------------------------------------------------
// IMemInputPin

// A memory allocator of the platform's, made on first request.
STDMETHODIMP CInputPinBase::GetAllocator(IMemAllocator** ppAllocator)
{
    if (ppAllocator == nullptr)
        return E_POINTER;
    *ppAllocator = nullptr;
    CLockGuard lock(Filter()->FilterLock());
    if (!m_spAllocator)
    {
        const HRESULT hr = ::CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER,
                                              IID_IMemAllocator, m_spAllocator.ReceiveVoid());
        if (FAILED(hr))
            return hr;
    }
    return m_spAllocator.CopyTo(ppAllocator);
}

STDMETHODIMP CInputPinBase::NotifyAllocator(IMemAllocator* pAllocator, BOOL)
{
    if (pAllocator == nullptr)
        return E_POINTER;
    CLockGuard lock(Filter()->FilterLock());
    m_spAllocator.Assign(pAllocator);
    return S_OK;
}

STDMETHODIMP CInputPinBase::GetAllocatorRequirements(ALLOCATOR_PROPERTIES* pProps)
{
    return pProps == nullptr ? E_POINTER : E_NOTIMPL;
}

// A failure of this filter's own is reported here, once: upstream is told
// only to stop sending (S_FALSE), so that it does not report it again.
STDMETHODIMP CInputPinBase::Receive(IMediaSample* pSample)
{
    if (pSample == nullptr)
        return E_POINTER;
    ULONG uFlushes = 0;
    HRESULT hr = BeginDataCall(false, uFlushes);
    if (hr != S_OK)
        return hr;
    const CCallScope call(*this);
    hr = OnReceive(pSample);
    if (SUCCEEDED(hr) || !EndStreamAfterFailure(hr, uFlushes))
        return hr;
    Filter()->NotifyStreamingFailure(hr);
    OnStreamAborted();
    return S_FALSE;
}

STDMETHODIMP CInputPinBase::ReceiveMultiple(IMediaSample** pSamples, long nSamples, long* nSamplesProcessed)
{
    if (pSamples == nullptr || nSamplesProcessed == nullptr)
        return E_POINTER;
    *nSamplesProcessed = 0;
    HRESULT hr = S_OK;
    while (*nSamplesProcessed < nSamples)
    {
        hr = Receive(pSamples[*nSamplesProcessed]);
        if (hr != S_OK)
            break;
        ++*nSamplesProcessed;
    }
    return hr;
}

STDMETHODIMP CInputPinBase::ReceiveCanBlock()
{
    return S_OK;
}
