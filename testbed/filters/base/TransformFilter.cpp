#include "TransformFilter.h"

namespace
{

constexpr wchar_t kszInput[] = L"Input";
constexpr wchar_t kszOutput[] = L"Output";

// Everything but the payload goes from the input sample to the output one.
void CopySampleProperties(IMediaSample* pIn, IMediaSample* pOut)
{
    REFERENCE_TIME rtStart = 0;
    REFERENCE_TIME rtStop = 0;
    const HRESULT hrTime = pIn->GetTime(&rtStart, &rtStop);
    if (hrTime == S_OK)
        pOut->SetTime(&rtStart, &rtStop);
    else if (hrTime == VFW_S_NO_STOP_TIME)
        pOut->SetTime(&rtStart, nullptr);
    else
        pOut->SetTime(nullptr, nullptr);

    LONGLONG llMediaStart = 0;
    LONGLONG llMediaStop = 0;
    if (pIn->GetMediaTime(&llMediaStart, &llMediaStop) == S_OK)
        pOut->SetMediaTime(&llMediaStart, &llMediaStop);
    else
        pOut->SetMediaTime(nullptr, nullptr);

    pOut->SetSyncPoint(pIn->IsSyncPoint() == S_OK ? TRUE : FALSE);
    pOut->SetDiscontinuity(pIn->IsDiscontinuity() == S_OK ? TRUE : FALSE);
    pOut->SetPreroll(pIn->IsPreroll() == S_OK ? TRUE : FALSE);
}

} // namespace

// ---------------------------------------------------------------------------
// CTransformInputPin

CTransformInputPin::CTransformInputPin(CSampleTransformFilter* pFilter, LPCWSTR pszName)
    : CInputPinBase(pFilter, pszName), m_pTransform(pFilter)
{
}

HRESULT CTransformInputPin::CheckMediaType(const AM_MEDIA_TYPE& mt)
{
    CLockGuard lock(Filter()->FilterLock());
    return m_pTransform->CheckInputType(mt);
}

HRESULT CTransformInputPin::Active()
{
    m_pTransform->OnRestart();
    return CInputPinBase::Active();
}

HRESULT CTransformInputPin::CompleteConnect(IPin*)
{
    m_pTransform->OnInputConnected(m_mt.Get());
    return S_OK;
}

HRESULT CTransformInputPin::OnReceive(IMediaSample* pSample)
{
    return m_pTransform->ReceiveSample(pSample);
}

HRESULT CTransformInputPin::OnEndOfStream()
{
    return m_pTransform->EndOfStream();
}

HRESULT CTransformInputPin::OnBeginFlush()
{
    m_pTransform->OnRestart();
    return m_pTransform->Output().DeliverBeginFlush();
}

HRESULT CTransformInputPin::OnEndFlush()
{
    return m_pTransform->Output().DeliverEndFlush();
}

HRESULT CTransformInputPin::OnNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate)
{
    m_pTransform->OnRestart();
    return m_pTransform->Output().DeliverNewSegment(tStart, tStop, dRate);
}

// Downstream learns that nothing more comes; its own status does not matter.
void CTransformInputPin::OnStreamAborted()
{
    m_pTransform->Output().DeliverEndOfStream();
}

// ---------------------------------------------------------------------------
// CTransformOutputPin

CTransformOutputPin::CTransformOutputPin(CSampleTransformFilter* pFilter, LPCWSTR pszName, CPinBase* pInput)
    : COutputPinBase(pFilter, pszName), m_pTransform(pFilter),
      m_seeking(static_cast<IPin*>(this), pInput)
{
}

HRESULT CTransformOutputPin::QueryPinInterface(REFIID riid, void** ppv)
{
    if (!IsEqualIID(riid, IID_IMediaSeeking))
        return E_NOINTERFACE;
    *ppv = static_cast<IMediaSeeking*>(&m_seeking);
    AddRef();
    return S_OK;
}

// Only a type the filter offers for its present input, format and all.
HRESULT CTransformOutputPin::CheckMediaType(const AM_MEDIA_TYPE& mt)
{
    CLockGuard lock(Filter()->FilterLock());
    const AM_MEDIA_TYPE* pmtIn = m_pTransform->InputTypeLocked();
    if (pmtIn == nullptr)
        return VFW_E_NOT_CONNECTED;
    for (int i = 0;; ++i)
    {
        CMediaTypeHolder mtOffered;
        if (m_pTransform->GetOutputType(i, *pmtIn, mtOffered) != S_OK)
            return VFW_E_TYPE_NOT_ACCEPTED;
        if (IsSameMediaType(mt, mtOffered.Get()))
            return S_OK;
    }
}

HRESULT CTransformOutputPin::GetMediaType(int nIndex, CMediaTypeHolder& mt)
{
    CLockGuard lock(Filter()->FilterLock());
    const AM_MEDIA_TYPE* pmtIn = m_pTransform->InputTypeLocked();
    if (pmtIn == nullptr)
        return VFW_S_NO_MORE_ITEMS;
    return m_pTransform->GetOutputType(nIndex, *pmtIn, mt);
}

void CTransformOutputPin::GetBufferRequirements(ALLOCATOR_PROPERTIES& props)
{
    m_pTransform->GetOutputBuffers(m_mt.Get(), props);
}

// ---------------------------------------------------------------------------
// CSampleTransformFilter

CSampleTransformFilter::CSampleTransformFilter(REFCLSID clsid)
    : CFilterBase(clsid), m_input(this, kszInput), m_output(this, kszOutput, &m_input)
{
}

CPinBase* CSampleTransformFilter::PinAt(int nIndex)
{
    switch (nIndex)
    {
    case 0:
        return &m_input;
    case 1:
        return &m_output;
    default:
        return nullptr;
    }
}

const AM_MEDIA_TYPE* CSampleTransformFilter::InputTypeLocked() const
{
    return m_input.IsConnectedLocked() ? &m_input.MediaTypeLocked() : nullptr;
}

HRESULT CSampleTransformFilter::ReceiveSample(IMediaSample* pIn)
{
    CComRef<IMediaSample> spOut;
    HRESULT hr = m_output.GetDeliveryBuffer(spOut);
    if (FAILED(hr))
        return hr;
    CopySampleProperties(pIn, spOut.Get());
    hr = Transform(pIn, spOut.Get());
    if (FAILED(hr))
        return hr;
    return m_output.Deliver(spOut.Get());
}

HRESULT CSampleTransformFilter::Transform(IMediaSample*, IMediaSample*)
{
    return E_NOTIMPL;
}

HRESULT CSampleTransformFilter::EndOfStream()
{
    return m_output.DeliverEndOfStream();
}
