#include "PushPin.h"

#include "Filter.h"

#include <algorithm>

namespace
{

constexpr DWORD kSeekingCaps = AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanSeekForwards |
                               AM_SEEKING_CanSeekBackwards | AM_SEEKING_CanGetCurrentPos |
                               AM_SEEKING_CanGetStopPos | AM_SEEKING_CanGetDuration;

bool IsMediaTime(const GUID* pFormat)
{
    return pFormat != nullptr && IsEqualGUID(*pFormat, TIME_FORMAT_MEDIA_TIME);
}

// A position request as the flags ask for it: absolute, or relative to the
// value it replaces (incremental positioning is taken as relative).
REFERENCE_TIME ResolveOne(REFERENCE_TIME rtOld, const LONGLONG* pValue, DWORD dwFlags)
{
    switch (dwFlags & AM_SEEKING_PositioningBitsMask)
    {
    case AM_SEEKING_AbsolutePositioning:
        return *pValue;
    case AM_SEEKING_RelativePositioning:
    case AM_SEEKING_IncrementalPositioning:
        return rtOld + *pValue;
    default:
        return rtOld;
    }
}

bool Positions(DWORD dwFlags)
{
    return (dwFlags & AM_SEEKING_PositioningBitsMask) != AM_SEEKING_NoPositioning;
}

} // namespace

CPushPin::CPushPin(CFilterBase* pFilter, LPCWSTR pszName, LONGLONG llFrameNum, LONGLONG llFrameDen)
    : COutputPinBase(pFilter, pszName), m_llFrameNum(llFrameNum), m_llFrameDen(llFrameDen)
{
}

CPushPin::~CPushPin() = default;

HRESULT CPushPin::QueryPinInterface(REFIID riid, void** ppv)
{
    if (!IsEqualIID(riid, IID_IMediaSeeking))
        return E_NOINTERFACE;
    *ppv = static_cast<IMediaSeeking*>(this);
    AddRef();
    return S_OK;
}

REFERENCE_TIME CPushPin::FrameTime(LONGLONG llFrame) const
{
    return llFrame * m_llFrameNum / m_llFrameDen;
}

// The frame that holds rt.
LONGLONG CPushPin::FrameAt(REFERENCE_TIME rt) const
{
    return rt * m_llFrameDen / m_llFrameNum;
}

void CPushPin::SetDuration(REFERENCE_TIME rtDuration)
{
    CLockGuard lock(m_csStream);
    m_rtDuration = rtDuration;
    m_rtCurrent = 0;
    m_rtStop = rtDuration;
    m_llNextFrame = 0;
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
    {
        CLockGuard lock(m_csStream);
        StartSegmentLocked(m_rtCurrent, m_rtStop);
        m_cDelivered = 0;
        m_bExit = false;
        m_bHold = false;
        m_bStreaming = true;
    }
    hr = m_thread.Start(ThreadProc, this);
    if (FAILED(hr))
    {
        CLockGuard lock(m_csStream);
        m_bStreaming = false;
    }
    return hr;
}

// Decommitting releases a thread that waits for a buffer; downstream filters
// stop before this one and release a thread that waits in them. The next run
// resumes with the first frame this one did not deliver.
void CPushPin::Inactive()
{
    {
        CLockGuard lock(m_csStream);
        m_bExit = true;
        m_cvStream.WakeAll();
    }
    COutputPinBase::Inactive();
    m_thread.Join();
    CLockGuard lock(m_csStream);
    if (m_bStreaming)
        m_rtCurrent = std::min(std::max(FrameTime(m_llNextFrame), m_rtCurrent), m_rtStop);
    m_bStreaming = false;
}

void CPushPin::ThreadProc(void* pThis)
{
    static_cast<CPushPin*>(pThis)->StreamLoop();
}

void CPushPin::StreamLoop()
{
    Job job = {};
    while (WaitForJob(job))
        FinishJob(job, Perform(job));
}

bool CPushPin::WaitForJob(Job& job)
{
    CLockGuard lock(m_csStream);
    while (!m_bExit && (m_bHold || m_bEndSent || m_bFailed))
        m_cvStream.Wait(m_csStream, INFINITE);
    if (m_bExit)
        return false;
    job.uSegment = m_uSegment;
    job.llFrame = m_llNextFrame;
    job.rtSegmentStart = m_rtCurrent;
    job.rtStop = m_rtStop;
    job.bNewSegment = !m_bSegmentSent;
    job.bDiscontinuity = m_bDiscontinuity;
    job.bEndOfStream = FrameTime(m_llNextFrame) >= m_rtStop;
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
    hr = FillFrame(job.llFrame, rtFrameStart, rtFrameStop, spSample.Get());
    if (FAILED(hr))
        return hr;

    REFERENCE_TIME rtStart = rtFrameStart - job.rtSegmentStart;
    REFERENCE_TIME rtStop = rtFrameStop - job.rtSegmentStart;
    LONGLONG llMediaStart = job.llFrame;
    LONGLONG llMediaStop = job.llFrame + 1;
    spSample->SetTime(&rtStart, &rtStop);
    spSample->SetMediaTime(&llMediaStart, &llMediaStop);
    spSample->SetSyncPoint(TRUE);
    spSample->SetDiscontinuity(job.bDiscontinuity ? TRUE : FALSE);
    return Deliver(spSample.Get());
}

// A step that a seek overtook counts for nothing: the seek reset the stream.
void CPushPin::FinishJob(const Job& job, HRESULT hr)
{
    CLockGuard lock(m_csStream);
    m_bBusy = false;
    m_cvStream.WakeAll();
    if (job.uSegment != m_uSegment)
        return;
    if (hr != S_OK)
    {
        m_bFailed = true;
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

void CPushPin::StartSegmentLocked(REFERENCE_TIME rtCurrent, REFERENCE_TIME rtStop)
{
    ++m_uSegment;
    m_rtCurrent = rtCurrent;
    m_rtStop = rtStop;
    m_llNextFrame = FrameAt(rtCurrent);
    m_bSegmentSent = false;
    m_bDiscontinuity = true;
    m_bEndSent = false;
    m_bFailed = false;
}

STDMETHODIMP CPushPin::SetPositions(LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop, DWORD dwStopFlags)
{
    if ((Positions(dwCurrentFlags) && pCurrent == nullptr) || (Positions(dwStopFlags) && pStop == nullptr))
        return E_POINTER;
    // Held throughout, so that a seek never overlaps a state change.
    CLockGuard filterLock(Filter()->FilterLock());
    REFERENCE_TIME rtCurrent = 0;
    REFERENCE_TIME rtStop = 0;
    const HRESULT hr = ResolvePositions(pCurrent, dwCurrentFlags, pStop, dwStopFlags, rtCurrent, rtStop);
    if (FAILED(hr))
        return hr;

    bool bStreaming = false;
    {
        CLockGuard lock(m_csStream);
        bStreaming = m_bStreaming;
        if (!bStreaming || !Positions(dwCurrentFlags))
        {
            // Stopped, or only the end moves: the thread picks it up.
            m_rtCurrent = rtCurrent;
            m_rtStop = rtStop;
            if (!bStreaming)
                m_llNextFrame = FrameAt(rtCurrent);
        }
    }
    if (bStreaming && Positions(dwCurrentFlags))
        Reposition(rtCurrent, rtStop);

    if (pCurrent != nullptr && (dwCurrentFlags & AM_SEEKING_ReturnTime) != 0)
        *pCurrent = rtCurrent;
    if (pStop != nullptr && (dwStopFlags & AM_SEEKING_ReturnTime) != 0)
        *pStop = rtStop;
    return S_OK;
}

// Both positions inside the stream, the current one not past the stop.
HRESULT CPushPin::ResolvePositions(LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop, DWORD dwStopFlags,
                                   REFERENCE_TIME& rtCurrent, REFERENCE_TIME& rtStop)
{
    CLockGuard lock(m_csStream);
    rtCurrent = ResolveOne(m_rtCurrent, pCurrent, dwCurrentFlags);
    rtStop = ResolveOne(m_rtStop, pStop, dwStopFlags);
    if (rtCurrent < 0 || rtStop < 0)
        return E_INVALIDARG;
    rtStop = std::min(rtStop, m_rtDuration);
    rtCurrent = std::min(rtCurrent, rtStop);
    return S_OK;
}

// Flushes downstream, waits until the thread has dropped what it was doing,
// and lets it go on from the new position.
void CPushPin::Reposition(REFERENCE_TIME rtCurrent, REFERENCE_TIME rtStop)
{
    DeliverBeginFlush();
    {
        CLockGuard lock(m_csStream);
        StartSegmentLocked(rtCurrent, rtStop);
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

STDMETHODIMP CPushPin::GetCapabilities(DWORD* pCapabilities)
{
    if (pCapabilities == nullptr)
        return E_POINTER;
    *pCapabilities = kSeekingCaps;
    return S_OK;
}

STDMETHODIMP CPushPin::CheckCapabilities(DWORD* pCapabilities)
{
    if (pCapabilities == nullptr)
        return E_POINTER;
    const DWORD dwWanted = *pCapabilities;
    *pCapabilities &= kSeekingCaps;
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
    CLockGuard lock(m_csStream);
    *pDuration = m_rtDuration;
    return S_OK;
}

STDMETHODIMP CPushPin::GetStopPosition(LONGLONG* pStop)
{
    if (pStop == nullptr)
        return E_POINTER;
    CLockGuard lock(m_csStream);
    *pStop = m_rtStop;
    return S_OK;
}

// The start of the current segment, as for any source that does not render.
STDMETHODIMP CPushPin::GetCurrentPosition(LONGLONG* pCurrent)
{
    if (pCurrent == nullptr)
        return E_POINTER;
    CLockGuard lock(m_csStream);
    *pCurrent = m_rtCurrent;
    return S_OK;
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

STDMETHODIMP CPushPin::GetPositions(LONGLONG* pCurrent, LONGLONG* pStop)
{
    if (pCurrent == nullptr && pStop == nullptr)
        return E_POINTER;
    CLockGuard lock(m_csStream);
    if (pCurrent != nullptr)
        *pCurrent = m_rtCurrent;
    if (pStop != nullptr)
        *pStop = m_rtStop;
    return S_OK;
}

STDMETHODIMP CPushPin::GetAvailable(LONGLONG* pEarliest, LONGLONG* pLatest)
{
    CLockGuard lock(m_csStream);
    if (pEarliest != nullptr)
        *pEarliest = 0;
    if (pLatest != nullptr)
        *pLatest = m_rtDuration;
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
