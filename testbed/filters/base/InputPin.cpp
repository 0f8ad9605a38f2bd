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

HRESULT CInputPinBase::Active()
{
    m_bFlushing = false;
    m_bEndOfStream = false;
    return S_OK;
}

// The allocator is decommitted here as well as upstream, so that an upstream
// thread waiting for a buffer is released even when this filter stops first.
void CInputPinBase::Inactive()
{
    if (m_spAllocator)
        m_spAllocator->Decommit();
}

HRESULT CInputPinBase::CheckStreaming()
{
    CLockGuard lock(Filter()->FilterLock());
    if (!IsConnectedLocked())
        return VFW_E_NOT_CONNECTED;
    if (Filter()->StateLocked() == State_Stopped)
        return VFW_E_WRONG_STATE;
    if (m_bFlushing)
        return S_FALSE;
    if (m_bEndOfStream)
        return VFW_E_SAMPLE_REJECTED_EOS;
    return S_OK;
}

// ---------------------------------------------------------------------------
// Stream calls

STDMETHODIMP CInputPinBase::EndOfStream()
{
    HRESULT hr = CheckStreaming();
    if (hr != S_OK)
        return hr;
    {
        CLockGuard lock(Filter()->FilterLock());
        m_bEndOfStream = true;
    }
    return OnEndOfStream();
}

STDMETHODIMP CInputPinBase::BeginFlush()
{
    {
        CLockGuard lock(Filter()->FilterLock());
        if (!IsConnectedLocked())
            return VFW_E_NOT_CONNECTED;
        m_bFlushing = true;
        m_bEndOfStream = false;
    }
    return OnBeginFlush();
}

STDMETHODIMP CInputPinBase::EndFlush()
{
    {
        CLockGuard lock(Filter()->FilterLock());
        if (!IsConnectedLocked())
            return VFW_E_NOT_CONNECTED;
    }
    const HRESULT hr = OnEndFlush();
    CLockGuard lock(Filter()->FilterLock());
    m_bFlushing = false;
    return hr;
}

STDMETHODIMP CInputPinBase::NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate)
{
    {
        CLockGuard lock(Filter()->FilterLock());
        if (!IsConnectedLocked())
            return VFW_E_NOT_CONNECTED;
    }
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

STDMETHODIMP CInputPinBase::Receive(IMediaSample* pSample)
{
    if (pSample == nullptr)
        return E_POINTER;
    const HRESULT hr = CheckStreaming();
    if (hr != S_OK)
        return hr;
    return OnReceive(pSample);
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
