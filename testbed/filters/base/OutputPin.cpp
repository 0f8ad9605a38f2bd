#include "OutputPin.h"

COutputPinBase::COutputPinBase(CFilterBase* pFilter, LPCWSTR pszName) : CPinBase(pFilter, PINDIR_OUTPUT, pszName) {}

// ---------------------------------------------------------------------------
// Connection and allocator

HRESULT COutputPinBase::CompleteConnect(IPin* pPeer)
{
    CComRef<IMemInputPin> spInput;
    HRESULT hr = pPeer->QueryInterface(IID_IMemInputPin, spInput.ReceiveVoid());
    if (FAILED(hr))
        return VFW_E_NO_TRANSPORT;
    hr = DecideAllocator(spInput.Get());
    if (FAILED(hr))
        return hr;
    m_spInput = spInput;
    return S_OK;
}

void COutputPinBase::BreakConnect()
{
    if (m_spAllocator)
        m_spAllocator->Decommit();
    m_spAllocator.Reset();
    m_spInput.Reset();
}

// The input's own allocator first, then one of the platform's.
HRESULT COutputPinBase::DecideAllocator(IMemInputPin* pInput)
{
    CComRef<IMemAllocator> spAllocator;
    if (SUCCEEDED(pInput->GetAllocator(spAllocator.Receive())) && spAllocator &&
        SUCCEEDED(TryAllocator(pInput, spAllocator.Get())))
        return S_OK;

    HRESULT hr = ::CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                    spAllocator.ReceiveVoid());
    if (FAILED(hr))
        return hr;
    return TryAllocator(pInput, spAllocator.Get());
}

HRESULT COutputPinBase::TryAllocator(IMemInputPin* pInput, IMemAllocator* pAllocator)
{
    ALLOCATOR_PROPERTIES props = {};
    GetBufferRequirements(props);
    ALLOCATOR_PROPERTIES actual = {};
    HRESULT hr = pAllocator->SetProperties(&props, &actual);
    if (FAILED(hr))
        return hr;
    if (actual.cbBuffer < props.cbBuffer || actual.cBuffers < props.cBuffers)
        return E_FAIL;
    hr = pInput->NotifyAllocator(pAllocator, FALSE);
    if (FAILED(hr))
        return hr;
    m_spAllocator.Assign(pAllocator);
    return S_OK;
}

HRESULT COutputPinBase::Active()
{
    if (!m_spAllocator)
        return S_OK; // not connected: nothing to stream to
    return m_spAllocator->Commit();
}

// Decommitting releases a thread that waits in GetDeliveryBuffer.
void COutputPinBase::Inactive()
{
    if (m_spAllocator)
        m_spAllocator->Decommit();
}

// ---------------------------------------------------------------------------
// Streaming

HRESULT COutputPinBase::GetDeliveryBuffer(CComRef<IMediaSample>& spSample)
{
    if (!m_spAllocator)
        return VFW_E_NOT_CONNECTED;
    return m_spAllocator->GetBuffer(spSample.Receive(), nullptr, nullptr, 0);
}

HRESULT COutputPinBase::Deliver(IMediaSample* pSample)
{
    if (!m_spInput)
        return VFW_E_NOT_CONNECTED;
    return m_spInput->Receive(pSample);
}

HRESULT COutputPinBase::DeliverEndOfStream()
{
    if (!m_spPeer)
        return VFW_E_NOT_CONNECTED;
    return m_spPeer->EndOfStream();
}

HRESULT COutputPinBase::DeliverBeginFlush()
{
    if (!m_spPeer)
        return VFW_E_NOT_CONNECTED;
    return m_spPeer->BeginFlush();
}

HRESULT COutputPinBase::DeliverEndFlush()
{
    if (!m_spPeer)
        return VFW_E_NOT_CONNECTED;
    return m_spPeer->EndFlush();
}

HRESULT COutputPinBase::DeliverNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate)
{
    if (!m_spPeer)
        return VFW_E_NOT_CONNECTED;
    return m_spPeer->NewSegment(tStart, tStop, dRate);
}
