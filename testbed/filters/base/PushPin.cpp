#include "PushPin.h"

#include "PushSource.h"

#include <algorithm>

namespace
{

bool IsMediaTime(const GUID* pFormat)
{
    return pFormat != nullptr && IsEqualGUID(*pFormat, TIME_FORMAT_MEDIA_TIME);
}

} // namespace

CPushPin::CPushPin(CPushSourceFilter* pFilter, LPCWSTR pszName, CFrameSource* pFrames, LONGLONG llFrameNum,
                   LONGLONG llFrameDen)
    : COutputPinBase(pFilter, pszName), m_pSource(pFilter), m_pFrames(pFrames), m_llFrameNum(llFrameNum),
      m_llFrameDen(llFrameDen)
{
}

CPushPin::~CPushPin()
{
    EndThread();
}

HRESULT CPushPin::QueryPinInterface(REFIID riid, void** ppv)
{
    if (!IsEqualIID(riid, IID_IMediaSeeking))
        return E_NOINTERFACE;
    *ppv = static_cast<IMediaSeeking*>(this);
    AddRef();
    return S_OK;
}

HRESULT CPushPin::CheckMediaType(const AM_MEDIA_TYPE& mt)
{
    CMediaTypeHolder mtOwn;
    const HRESULT hr = m_pFrames->GetMediaType(mtOwn);
    if (FAILED(hr))
        return hr;
    return IsSameMediaType(mt, mtOwn.Get()) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CPushPin::GetMediaType(int nIndex, CMediaTypeHolder& mt)
{
    if (nIndex < 0)
        return E_INVALIDARG;
    return nIndex == 0 ? m_pFrames->GetMediaType(mt) : VFW_S_NO_MORE_ITEMS;
}

void CPushPin::GetBufferRequirements(ALLOCATOR_PROPERTIES& props)
{
    m_pFrames->GetBufferRequirements(props);
}

REFERENCE_TIME CPushPin::FrameTime(LONGLONG llFrame) const
{
    return llFrame * m_llFrameNum / m_llFrameDen;
}

// The last frame n with FrameTime(n) <= rt: FrameTime(n) <= rt exactly when
// n * num < (rt + 1) * den.
LONGLONG CPushPin::FrameAt(REFERENCE_TIME rt) const
{
    return ((rt + 1) * m_llFrameDen - 1) / m_llFrameNum;
}

LONGLONG CPushPin::DeliveredSamples()
{
    CLockGuard lock(m_csStream);
    return m_cDelivered;
}

// ---------------------------------------------------------------------------
// Thread

HRESULT CPushPin::Active()
{
    HRESULT hr = COutputPinBase::Active();
    if (FAILED(hr) || !IsConnectedLocked())
        return hr;
    REFERENCE_TIME rtStart = 0;
    REFERENCE_TIME rtStop = 0;
    m_pSource->GetRunPositions(rtStart, rtStop);
    {
        CLockGuard lock(m_csStream);
        StartSegmentLocked(rtStart, rtStop);
        m_cDelivered = 0;
        m_bExit = false;
        m_bHold = false;
        m_bStreamed = true;
    }
    hr = m_thread.Start(ThreadProc, this);
    if (FAILED(hr))
    {
        CLockGuard lock(m_csStream);
        m_bStreamed = false;
    }
    return hr;
}

// Decommitting releases a thread that waits for a buffer; downstream filters
// stop before this one and release a thread that waits in them.
void CPushPin::Inactive()
{
    {
        CLockGuard lock(m_csStream);
        m_bExit = true;
        m_cvStream.WakeAll();
    }
    COutputPinBase::Inactive();
}

void CPushPin::FinishInactive()
{
    m_thread.Join();
}

void CPushPin::EndThread()
{
    Inactive();
    FinishInactive();
}

bool CPushPin::TakeStoppedPosition(REFERENCE_TIME& rtStopped)
{
    CLockGuard lock(m_csStream);
    if (!m_bStreamed)
        return false;
    m_bStreamed = false;
    rtStopped = std::min(FrameTime(m_llNextFrame), m_rtSegmentStop);
    return true;
}

void CPushPin::ThreadProc(void* pThis)
{
    static_cast<CPushPin*>(pThis)->StreamLoop();
}

// A failure of the stream's own is reported and ends the stream downstream
// while the step still counts as busy, so that a seek waits for it before
// it ends its flush.
void CPushPin::StreamLoop()
{
    Job job = {};
    while (WaitForJob(job))
    {
        const HRESULT hr = Perform(job);
        if (FAILED(hr) && IsStreamFailure(job, hr))
        {
            Filter()->NotifyStreamingFailure(hr);
            DeliverEndOfStream();
        }
        FinishJob(job, hr);
    }
}

bool CPushPin::WaitForJob(Job& job)
{
    CLockGuard lock(m_csStream);
    while (!m_bExit && (m_bHold || m_bEndSent || m_bIdle))
        m_cvStream.Wait(m_csStream, INFINITE);
    if (m_bExit)
        return false;
    job.uSegment = m_uSegment;
    job.llFrame = m_llNextFrame;
    job.rtSegmentStart = m_rtSegmentStart;
    job.rtStop = m_rtSegmentStop;
    job.bNewSegment = !m_bSegmentSent;
    job.bDiscontinuity = m_bDiscontinuity;
    job.bEndOfStream = FrameTime(m_llNextFrame) >= m_rtSegmentStop;
    m_bBusy = true;
    return true;
}

HRESULT CPushPin::Perform(const Job& job)
{
    if (job.bNewSegment)
    {
        const HRESULT hr = DeliverNewSegment(job.rtSegmentStart, job.rtStop, 1.0);
        if (FAILED(hr))
            return hr;
    }
    if (job.bEndOfStream)
        return DeliverEndOfStream();
    return DeliverFrame(job);
}

HRESULT CPushPin::DeliverFrame(const Job& job)
{
    CComRef<IMediaSample> spSample;
    HRESULT hr = GetDeliveryBuffer(spSample);
    if (FAILED(hr))
        return hr;
    const REFERENCE_TIME rtFrameStart = FrameTime(job.llFrame);
    const REFERENCE_TIME rtFrameStop = std::min(FrameTime(job.llFrame + 1), job.rtStop);
    hr = m_pFrames->FillFrame(job.llFrame, rtFrameStart, rtFrameStop, spSample.Get());
    if (FAILED(hr))
        return hr;

    REFERENCE_TIME rtStart = rtFrameStart - job.rtSegmentStart;
    REFERENCE_TIME rtStop = rtFrameStop - job.rtSegmentStart;
    LONGLONG llMediaStart = job.llFrame;
    LONGLONG llMediaStop = job.llFrame + 1;
    hr = spSample->SetTime(&rtStart, &rtStop);
    if (SUCCEEDED(hr))
        hr = spSample->SetMediaTime(&llMediaStart, &llMediaStop);
    if (SUCCEEDED(hr))
        hr = spSample->SetSyncPoint(TRUE);
    if (SUCCEEDED(hr))
        hr = spSample->SetDiscontinuity(job.bDiscontinuity ? TRUE : FALSE);
    if (FAILED(hr))
        return hr;
    return Deliver(spSample.Get());
}

bool CPushPin::IsStreamFailure(const Job& job, HRESULT hr)
{
    if (IsStoppingStatus(hr))
        return false;
    CLockGuard lock(m_csStream);
    return !m_bExit && job.uSegment == m_uSegment;
}

// A step that a seek overtook counts for nothing: the seek reset the stream.
// Anything but S_OK leaves the thread idle: downstream is flushing, has
// ended, stops, or the stream failed.
void CPushPin::FinishJob(const Job& job, HRESULT hr)
{
    CLockGuard lock(m_csStream);
    m_bBusy = false;
    m_cvStream.WakeAll();
    if (job.uSegment != m_uSegment)
        return;
    if (hr != S_OK)
    {
        m_bIdle = true;
        return;
    }
    m_bSegmentSent = true;
    if (job.bEndOfStream)
    {
        m_bEndSent = true;
        return;
    }
    m_bDiscontinuity = false;
    ++m_llNextFrame;
    ++m_cDelivered;
}

// ---------------------------------------------------------------------------
// Seeking

void CPushPin::StartSegmentLocked(REFERENCE_TIME rtStart, REFERENCE_TIME rtStop)
{
    ++m_uSegment;
    m_rtSegmentStart = rtStart;
    m_rtSegmentStop = rtStop;
    m_llNextFrame = FrameAt(rtStart);
    m_bSegmentSent = false;
    m_bDiscontinuity = true;
    m_bEndSent = false;
    m_bIdle = false;
}

void CPushPin::Reposition(REFERENCE_TIME rtStart, REFERENCE_TIME rtStop)
{
    DeliverBeginFlush();
    {
        CLockGuard lock(m_csStream);
        StartSegmentLocked(rtStart, rtStop);
        m_bHold = true;
        m_cvStream.WakeAll();
        while (m_bBusy)
            m_cvStream.Wait(m_csStream, INFINITE);
    }
    DeliverEndFlush();
    CLockGuard lock(m_csStream);
    m_bHold = false;
    m_cvStream.WakeAll();
}

void CPushPin::SetSegmentStop(REFERENCE_TIME rtStop)
{
    CLockGuard lock(m_csStream);
    m_rtSegmentStop = rtStop;
}

STDMETHODIMP CPushPin::GetCapabilities(DWORD* pCapabilities)
{
    if (pCapabilities == nullptr)
        return E_POINTER;
    *pCapabilities = CPushSourceFilter::kSeekingCaps;
    return S_OK;
}

STDMETHODIMP CPushPin::CheckCapabilities(DWORD* pCapabilities)
{
    if (pCapabilities == nullptr)
        return E_POINTER;
    const DWORD dwWanted = *pCapabilities;
    *pCapabilities &= CPushSourceFilter::kSeekingCaps;
    if (*pCapabilities == dwWanted)
        return S_OK;
    return *pCapabilities != 0 ? S_FALSE : E_FAIL;
}

STDMETHODIMP CPushPin::IsFormatSupported(const GUID* pFormat)
{
    if (pFormat == nullptr)
        return E_POINTER;
    return IsMediaTime(pFormat) ? S_OK : S_FALSE;
}

STDMETHODIMP CPushPin::QueryPreferredFormat(GUID* pFormat)
{
    return GetTimeFormat(pFormat);
}

STDMETHODIMP CPushPin::GetTimeFormat(GUID* pFormat)
{
    if (pFormat == nullptr)
        return E_POINTER;
    *pFormat = TIME_FORMAT_MEDIA_TIME;
    return S_OK;
}

STDMETHODIMP CPushPin::IsUsingTimeFormat(const GUID* pFormat)
{
    return IsFormatSupported(pFormat);
}

STDMETHODIMP CPushPin::SetTimeFormat(const GUID* pFormat)
{
    if (pFormat == nullptr)
        return E_POINTER;
    return IsMediaTime(pFormat) ? S_OK : E_INVALIDARG;
}

STDMETHODIMP CPushPin::GetDuration(LONGLONG* pDuration)
{
    if (pDuration == nullptr)
        return E_POINTER;
    *pDuration = m_pSource->Duration();
    return S_OK;
}

STDMETHODIMP CPushPin::GetStopPosition(LONGLONG* pStop)
{
    if (pStop == nullptr)
        return E_POINTER;
    return m_pSource->GetPositions(nullptr, pStop);
}

// The start of the current segment, as for any source that does not render.
STDMETHODIMP CPushPin::GetCurrentPosition(LONGLONG* pCurrent)
{
    if (pCurrent == nullptr)
        return E_POINTER;
    return m_pSource->GetPositions(pCurrent, nullptr);
}

STDMETHODIMP CPushPin::ConvertTimeFormat(LONGLONG* pTarget, const GUID* pTargetFormat, LONGLONG llSource,
                                         const GUID* pSourceFormat)
{
    if (pTarget == nullptr)
        return E_POINTER;
    // A null format stands for the current one, media time.
    const bool bTargetOk = pTargetFormat == nullptr || IsMediaTime(pTargetFormat);
    const bool bSourceOk = pSourceFormat == nullptr || IsMediaTime(pSourceFormat);
    if (!bTargetOk || !bSourceOk)
        return E_INVALIDARG;
    *pTarget = llSource;
    return S_OK;
}

STDMETHODIMP CPushPin::SetPositions(LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop, DWORD dwStopFlags)
{
    return m_pSource->SetPositions(this, pCurrent, dwCurrentFlags, pStop, dwStopFlags);
}

STDMETHODIMP CPushPin::GetPositions(LONGLONG* pCurrent, LONGLONG* pStop)
{
    if (pCurrent == nullptr && pStop == nullptr)
        return E_POINTER;
    return m_pSource->GetPositions(pCurrent, pStop);
}

STDMETHODIMP CPushPin::GetAvailable(LONGLONG* pEarliest, LONGLONG* pLatest)
{
    if (pEarliest != nullptr)
        *pEarliest = 0;
    if (pLatest != nullptr)
        *pLatest = m_pSource->Duration();
    return S_OK;
}

// A test stream plays at its own pace only.
STDMETHODIMP CPushPin::SetRate(double dRate)
{
    return dRate == 1.0 ? S_OK : E_INVALIDARG;
}

STDMETHODIMP CPushPin::GetRate(double* pdRate)
{
    if (pdRate == nullptr)
        return E_POINTER;
    *pdRate = 1.0;
    return S_OK;
}

STDMETHODIMP CPushPin::GetPreroll(LONGLONG* pllPreroll)
{
    if (pllPreroll == nullptr)
        return E_POINTER;
    *pllPreroll = 0;
    return S_OK;
}
