#include "RtmpServer.h"

#include "MediaFormats.h"
#include "RtmpSettings.h"

#include "base/MediaTime.h"

#include <atldiag.h>
#include <dvdmedia.h>

#include <algorithm>
#include <cmath>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <initializer_list>
#include <new>

namespace
{

constexpr wchar_t kszServerName[] = L"RTMP Server";
constexpr wchar_t kszServerNumber[] = L"1.0.0";

// The longest a presentation wait sleeps before it looks at the clock again:
// a clock may jump, and a far time must not make a wait without end.
constexpr DWORD kMaxWaitMs = 1000;

// What a slow client may have waiting in its session before frames are
// dropped: a second of a 2 Mbit/s stream, so that a client that falls
// further behind starts again from a key frame rather than lag for ever.
constexpr size_t kMaxQueuedBytes = 256 * 1024;

// Sound held back until the run's first key frame: a second of it at most.
constexpr size_t kMaxHeldAudioFrames = 50;

// The compiler's __DATE__ ("Dec  9 2026") and __TIME__ as "2026-12-09 12:00:00".
void FormatBuildDateTime(wchar_t* psz, size_t cch)
{
    static const char kszMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    const char* pszDate = __DATE__;
    char szMonth[4] = {pszDate[0], pszDate[1], pszDate[2], '\0'};
    const char* pszFound = std::strstr(kszMonths, szMonth);
    const int nMonth = pszFound != nullptr ? static_cast<int>(pszFound - kszMonths) / 3 + 1 : 0;
    const int nDay = std::atoi(pszDate + 4);
    const int nYear = std::atoi(pszDate + 7);
    std::swprintf(psz, cch, L"%04d-%02d-%02d %hs", nYear, nMonth, nDay, __TIME__);
}

HRESULT AllocString(LPCWSTR psz, BSTR* pbstr)
{
    if (pbstr == nullptr)
        return E_POINTER;
    *pbstr = ::SysAllocString(psz);
    return *pbstr != nullptr ? S_OK : E_OUTOFMEMORY;
}

} // namespace

// ---------------------------------------------------------------------------
// CServerSeeking

CServerSeeking::CServerSeeking(CRtmpServer* pServer, CPinBase* pFirstInput, CPinBase* pSecondInput)
    : CSeekingPassThrough(static_cast<IBaseFilter*>(pServer), pFirstInput, pSecondInput), m_pServer(pServer)
{
}

// Before anything is presented, the position is where the stream starts.
STDMETHODIMP CServerSeeking::GetCurrentPosition(LONGLONG* pCurrent)
{
    if (pCurrent == nullptr)
        return E_POINTER;
    if (m_pServer->PresentedPosition(*pCurrent))
        return S_OK;
    return CSeekingPassThrough::GetCurrentPosition(pCurrent);
}

// A seek while running flushes, which forgets what was presented; a seek
// while stopped does not.
STDMETHODIMP CServerSeeking::SetPositions(LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop,
                                          DWORD dwStopFlags)
{
    const HRESULT hr = CSeekingPassThrough::SetPositions(pCurrent, dwCurrentFlags, pStop, dwStopFlags);
    if (SUCCEEDED(hr) && (dwCurrentFlags & AM_SEEKING_PositioningBitsMask) != AM_SEEKING_NoPositioning)
        m_pServer->ForgetPresentedPosition();
    return hr;
}

STDMETHODIMP CServerSeeking::GetPositions(LONGLONG* pCurrent, LONGLONG* pStop)
{
    if (pCurrent == nullptr && pStop == nullptr)
        return E_POINTER;
    HRESULT hr = S_OK;
    if (pStop != nullptr)
        hr = GetStopPosition(pStop);
    if (SUCCEEDED(hr) && pCurrent != nullptr)
        hr = GetCurrentPosition(pCurrent);
    return hr;
}

// ---------------------------------------------------------------------------
// CServerInputPin

CServerInputPin::CServerInputPin(CRtmpServer* pServer, LPCWSTR pszName, TypeCheck pfnAccepts)
    : CInputPinBase(pServer, pszName), m_pServer(pServer), m_pfnAccepts(pfnAccepts)
{
}

HRESULT CServerInputPin::CheckMediaType(const AM_MEDIA_TYPE& mt)
{
    return m_pfnAccepts(mt) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

// A new run starts with clean counters.
HRESULT CServerInputPin::Active()
{
    m_bWaiting = false;
    m_bEnded = false;
    m_bPresentedSinceFlush = false;
    m_stats = VelkInputStatistics();
    return CInputPinBase::Active();
}

HRESULT CServerInputPin::OnReceive(IMediaSample* pSample)
{
    return m_pServer->Present(this, pSample);
}

HRESULT CServerInputPin::OnEndOfStream()
{
    return m_pServer->PresentEndOfStream(this);
}

HRESULT CServerInputPin::OnBeginFlush()
{
    m_pServer->Flush(this);
    return S_OK;
}

HRESULT CServerInputPin::OnEndFlush()
{
    return S_OK;
}

HRESULT CServerInputPin::OnNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME, double)
{
    CLockGuard lock(Filter()->FilterLock());
    m_stats.rtSegmentStart = tStart;
    ++m_stats.cSegments;
    return S_OK;
}

void CServerInputPin::CountSampleLocked(IMediaSample* pSample)
{
    const bool bDiscontinuity = pSample->IsDiscontinuity() == S_OK;
    REFERENCE_TIME rtStart = 0;
    REFERENCE_TIME rtStop = 0;
    const bool bTimed = SUCCEEDED(pSample->GetTime(&rtStart, &rtStop));
    if (bDiscontinuity)
        ++m_stats.cDiscontinuities;
    if (bTimed)
    {
        if (m_stats.cSamples == 0)
            m_stats.rtFirst = rtStart;
        else if (!bDiscontinuity && rtStart != m_stats.rtLast)
            ++m_stats.cGaps;
        m_stats.rtLast = rtStop;
        m_bPresentedSinceFlush = true;
        m_rtPresentedTo = rtStop;
    }
    ++m_stats.cSamples;
    m_stats.cbData += pSample->GetActualDataLength();
}

bool CServerInputPin::PresentedPositionLocked(REFERENCE_TIME& rtPosition) const
{
    if (!m_bPresentedSinceFlush)
        return false;
    rtPosition = SaturatedAdd(m_stats.rtSegmentStart, m_rtPresentedTo);
    return true;
}

// ---------------------------------------------------------------------------
// CRtmpServer: life and interfaces

HRESULT CRtmpServer::Create(REFIID riid, void** ppv)
{
    return QueryNewObject(new (std::nothrow) CRtmpServer(), riid, ppv);
}

CRtmpServer::CRtmpServer()
    : CFilterBase(CLSID_VelkRtmpServer), m_video(this, L"Video", IsH264VideoType),
      m_audio(this, L"Audio", IsAacAudioType), m_seeking(this, &m_video, &m_audio)
{
}

HRESULT CRtmpServer::QueryFilterInterface(REFIID riid, void** ppv)
{
    if (IsEqualIID(riid, IID_IVelkRtmpServer))
        *ppv = static_cast<IVelkRtmpServer*>(this);
    else if (IsEqualIID(riid, IID_IVelkRtmpServerStatistics))
        *ppv = static_cast<IVelkRtmpServerStatistics*>(this);
    else if (IsEqualIID(riid, IID_IVelkRtmpServerClientStatistics))
        *ppv = static_cast<IVelkRtmpServerClientStatistics*>(this);
    else if (IsEqualIID(riid, IID_IVelkVersion))
        *ppv = static_cast<IVelkVersion*>(this);
    else if (IsEqualIID(riid, IID_IAMFilterMiscFlags))
        *ppv = static_cast<IAMFilterMiscFlags*>(this);
    else if (IsEqualIID(riid, IID_IMediaSeeking))
        *ppv = static_cast<IMediaSeeking*>(&m_seeking);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

CPinBase* CRtmpServer::PinAt(int nIndex)
{
    switch (nIndex)
    {
    case 0:
        return &m_video;
    case 1:
        return &m_audio;
    default:
        return nullptr;
    }
}

STDMETHODIMP_(ULONG) CRtmpServer::GetMiscFlags()
{
    return AM_FILTER_MISC_FLAGS_IS_RENDERER;
}

STDMETHODIMP CRtmpServer::GetInputCount(LONG* pcInputs)
{
    if (pcInputs == nullptr)
        return E_POINTER;
    *pcInputs = PinCount();
    return S_OK;
}

STDMETHODIMP CRtmpServer::GetInputStatistics(LONG nInput, VelkInputStatistics* pStatistics)
{
    if (pStatistics == nullptr)
        return E_POINTER;
    if (nInput < 0 || nInput >= PinCount())
        return E_INVALIDARG;
    CLockGuard lock(FilterLock());
    *pStatistics = (nInput == 0 ? m_video : m_audio).m_stats;
    return S_OK;
}

STDMETHODIMP CRtmpServer::GetClientStatistics(VelkClientStatistics* pStatistics)
{
    if (pStatistics == nullptr)
        return E_POINTER;
    const RtmpClientCounts counts = m_network.Counts();
    pStatistics->cClients = counts.cConnected;
    pStatistics->cClientsServed = counts.cServed;
    pStatistics->cbSent = static_cast<LONGLONG>(counts.cbSent);
    pStatistics->cFramesDropped = static_cast<LONGLONG>(counts.cFramesDropped);
    return S_OK;
}

STDMETHODIMP CRtmpServer::GetType(LONG* peType)
{
    if (peType == nullptr)
        return E_POINTER;
#ifdef NDEBUG
    *peType = VelkBuildRelease;
#else
    *peType = VelkBuildDebug;
#endif
    return S_OK;
}

STDMETHODIMP CRtmpServer::GetOS(LONG* peOS)
{
    if (peOS == nullptr)
        return E_POINTER;
#ifdef _WIN64
    *peOS = VelkBuild64;
#else
    *peOS = VelkBuild32;
#endif
    return S_OK;
}

STDMETHODIMP CRtmpServer::GetName(BSTR* pbstrName)
{
    return AllocString(kszServerName, pbstrName);
}

STDMETHODIMP CRtmpServer::GetNumber(BSTR* pbstrNumber)
{
    return AllocString(kszServerNumber, pbstrNumber);
}

STDMETHODIMP CRtmpServer::GetDateTime(BSTR* pbstrDateTime)
{
    wchar_t sz[32] = {};
    FormatBuildDateTime(sz, sizeof(sz) / sizeof(sz[0]));
    return AllocString(sz, pbstrDateTime);
}

// ---------------------------------------------------------------------------
// CRtmpServer: state

// Entering Paused returns S_FALSE until every input holds a sample, as
// renderers do; waiting threads learn of every change.
HRESULT CRtmpServer::OnStateChanged(FILTER_STATE eOld)
{
    if (eOld == State_Stopped)
        m_bCompleteSent = false;
    WakeLocked();
    if (StateLocked() == State_Paused && !IsPauseCompleteLocked())
        return S_FALSE;
    return S_OK;
}

HRESULT CRtmpServer::OnLeavingStopped()
{
    try
    {
        return StartServingLocked();
    }
    catch (const std::bad_alloc&)
    {
        m_network.Stop();
        return E_OUTOFMEMORY;
    }
}

HRESULT CRtmpServer::StartServingLocked()
{
    const RtmpServerSettings settings = ReadRtmpServerSettings();
    rtmp::ServerConfig config;
    config.app = settings.app;
    config.stream = settings.stream;
    config.maxQueuedBytes = kMaxQueuedBytes;
    const HRESULT hr = m_network.Start(settings, config);
    if (FAILED(hr))
        return hr;
    m_videoTimeline.Reset();
    m_audioTimeline.Reset();
    m_bKeyFrameSent = false;
    m_heldAudio.clear();
    m_sps.clear();
    m_pps.clear();
    m_headers = HeadersFromTypesLocked();
    m_network.SetStreamHeaders(m_headers);
    return S_OK;
}

// The streaming threads are gone: no frame comes any more.
void CRtmpServer::OnStreamingStopped()
{
    m_network.Stop();
}

STDMETHODIMP CRtmpServer::GetState(DWORD dwMilliSecsTimeout, FILTER_STATE* pState)
{
    if (pState == nullptr)
        return E_POINTER;
    CLockGuard lock(FilterLock());
    const DWORD dwStart = ::GetTickCount();
    while (StateLocked() == State_Paused && !IsPauseCompleteLocked())
    {
        const DWORD dwElapsed = ::GetTickCount() - dwStart;
        if (dwElapsed >= dwMilliSecsTimeout)
            break;
        m_cvFilter.Wait(FilterLock(), dwMilliSecsTimeout - dwElapsed);
    }
    *pState = StateLocked();
    if (*pState == State_Paused && !IsPauseCompleteLocked())
        return VFW_S_STATE_INTERMEDIATE;
    return S_OK;
}

// An input that is not connected has nothing to wait for.
bool CRtmpServer::IsPauseCompleteLocked() const
{
    for (const CServerInputPin* pPin : {&m_video, &m_audio})
    {
        if (pPin->IsConnectedLocked() && !pPin->m_bWaiting && !pPin->m_bEnded)
            return false;
    }
    return true;
}

bool CRtmpServer::HaveAllEndedLocked() const
{
    for (const CServerInputPin* pPin : {&m_video, &m_audio})
    {
        if (pPin->IsConnectedLocked() && !pPin->m_bEnded)
            return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// CRtmpServer: presentation

HRESULT CRtmpServer::Present(CServerInputPin* pPin, IMediaSample* pSample)
{
    REFERENCE_TIME rtStart = 0;
    REFERENCE_TIME rtStop = 0;
    const bool bTimed = SUCCEEDED(pSample->GetTime(&rtStart, &rtStop));
    CLockGuard lock(FilterLock());
    ++pPin->m_stats.cReceived;
    // Known before the sample is due, so that players connecting while
    // paused get the headers at once.
    if (pPin == &m_video)
        TakeParameterSetsLocked(pSample);
    const HRESULT hr = WaitForPresentationLocked(pPin, bTimed, rtStart);
    if (hr != S_OK)
        return hr;
    // Untimed samples go out where the input's presentation has reached.
    const REFERENCE_TIME rtSend = bTimed ? rtStart : pPin->m_rtPresentedTo;
    pPin->CountSampleLocked(pSample);
    return PublishLocked(pPin, pSample, rtSend);
}

HRESULT CRtmpServer::PublishLocked(CServerInputPin* pPin, IMediaSample* pSample, REFERENCE_TIME rtStart)
{
    BYTE* pb = nullptr;
    const long cb = pSample->GetActualDataLength();
    if (FAILED(pSample->GetPointer(&pb)) || pb == nullptr || cb <= 0)
        return S_OK;
    const bool bVideo = pPin == &m_video;
    try
    {
        auto spBody = std::make_shared<rtmp::Bytes>();
        rtmp::MediaFrame frame = {bVideo ? rtmp::MediaKind::Video : rtmp::MediaKind::Audio, 0, false, nullptr};
        if (bVideo)
        {
            frame.bKey = pSample->IsSyncPoint() == S_OK;
            if (!rtmp::AvcVideoBody(pb, static_cast<size_t>(cb), frame.bKey, *spBody))
                return S_OK; // nothing but parameter sets or delimiters
        }
        else
        {
            *spBody = rtmp::AacAudioBody(pb, static_cast<size_t>(cb));
        }
        frame.ms = (bVideo ? m_videoTimeline : m_audioTimeline).Map(rtStart);
        frame.body = std::move(spBody);
        SendInOrderLocked(frame);
        return S_OK;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}

// A player starts with a key frame and leaves out whatever comes before it,
// but the two inputs present the first instant of a run in either order: the
// sound of that instant waits for the first key frame, so that it is not lost.
void CRtmpServer::SendInOrderLocked(const rtmp::MediaFrame& frame)
{
    if (m_bKeyFrameSent || !m_video.IsConnectedLocked())
    {
        m_network.Broadcast(frame);
        return;
    }
    if (frame.kind == rtmp::MediaKind::Audio)
    {
        if (m_heldAudio.size() >= kMaxHeldAudioFrames)
            m_heldAudio.erase(m_heldAudio.begin());
        m_heldAudio.push_back(frame);
        return;
    }
    if (!frame.bKey)
        return; // no player would take it
    m_bKeyFrameSent = true;
    m_network.Broadcast(frame);
    for (const rtmp::MediaFrame& audio : m_heldAudio)
    {
        if (audio.ms >= frame.ms)
            m_network.Broadcast(audio);
    }
    m_heldAudio.clear();
}

void CRtmpServer::TakeParameterSetsLocked(IMediaSample* pSample)
{
    BYTE* pb = nullptr;
    const long cb = pSample->GetActualDataLength();
    if (pSample->IsSyncPoint() != S_OK || FAILED(pSample->GetPointer(&pb)) || pb == nullptr || cb <= 0)
        return;
    try
    {
        rtmp::Bytes sps;
        rtmp::Bytes pps;
        if (!rtmp::FindParameterSets(pb, static_cast<size_t>(cb), sps, pps) || (sps == m_sps && pps == m_pps))
            return;
        rtmp::Bytes header = rtmp::AvcSequenceHeader(sps, pps);
        if (header.empty())
        {
            ATLTRACE2(ATL::atlTraceGeneral, 1, L"RTMP Server: a key frame's sequence parameter set is unusable\n");
            return;
        }
        m_sps.swap(sps);
        m_pps.swap(pps);
        m_headers.avcSequenceHeader.swap(header);
        m_network.SetStreamHeaders(m_headers);
    }
    catch (const std::bad_alloc&)
    {
        ATLTRACE2(ATL::atlTraceGeneral, 1, L"RTMP Server: out of memory for the stream headers\n");
    }
}

// The streams that are connected; width, height and frame rate from the
// video's format; rate and channels and the AudioSpecificConfig (the bytes
// after the WAVEFORMATEX) from the audio's.
rtmp::StreamHeaders CRtmpServer::HeadersFromTypesLocked() const
{
    rtmp::StreamHeaders headers;
    headers.info.bVideo = m_video.IsConnectedLocked();
    headers.info.bAudio = m_audio.IsConnectedLocked();
    const AM_MEDIA_TYPE& mtVideo = m_video.MediaTypeLocked();
    const BITMAPINFOHEADER* pbmih = nullptr;
    REFERENCE_TIME rtFrame = 0;
    if (const auto* pvih = FormatOf<VIDEOINFOHEADER>(mtVideo, FORMAT_VideoInfo))
    {
        pbmih = &pvih->bmiHeader;
        rtFrame = pvih->AvgTimePerFrame;
    }
    else if (const auto* pmvi = FormatOf<MPEG2VIDEOINFO>(mtVideo, FORMAT_MPEG2Video))
    {
        pbmih = &pmvi->hdr.bmiHeader;
        rtFrame = pmvi->hdr.AvgTimePerFrame;
    }
    if (pbmih != nullptr)
    {
        headers.info.width = pbmih->biWidth;
        headers.info.height = std::abs(pbmih->biHeight);
    }
    if (rtFrame > 0)
        headers.info.frameRate = static_cast<double>(kUnitsPerSecond) / static_cast<double>(rtFrame);
    const AM_MEDIA_TYPE& mtAudio = m_audio.MediaTypeLocked();
    if (const auto* pwfx = FormatOf<WAVEFORMATEX>(mtAudio, FORMAT_WaveFormatEx))
    {
        headers.info.audioSampleRate = pwfx->nSamplesPerSec;
        headers.info.audioChannels = pwfx->nChannels;
        const size_t cbExtra = std::min<size_t>(pwfx->cbSize, mtAudio.cbFormat - sizeof(WAVEFORMATEX));
        if (cbExtra > 0)
            headers.aacSequenceHeader = rtmp::AacSequenceHeader(reinterpret_cast<const uint8_t*>(pwfx + 1), cbExtra);
    }
    return headers;
}

// The end comes when the last sample has run its time.
HRESULT CRtmpServer::PresentEndOfStream(CServerInputPin* pPin)
{
    bool bComplete = false;
    {
        CLockGuard lock(FilterLock());
        if (WaitForPresentationLocked(pPin, pPin->m_bPresentedSinceFlush, pPin->m_rtPresentedTo) != S_OK)
            return S_OK; // flushed or stopped: this end no longer counts
        pPin->m_bEnded = true;
        ++pPin->m_stats.cEndOfStream;
        bComplete = HaveAllEndedLocked() && !m_bCompleteSent;
        m_bCompleteSent = m_bCompleteSent || bComplete;
    }
    if (bComplete)
        NotifyEvent(EC_COMPLETE, S_OK, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(this)));
    return S_OK;
}

void CRtmpServer::Flush(CServerInputPin* pPin)
{
    CLockGuard lock(FilterLock());
    (pPin == &m_video ? m_videoTimeline : m_audioTimeline).Restart();
    pPin->m_bEnded = false;
    pPin->m_bPresentedSinceFlush = false;
    ++pPin->m_stats.cFlushes;
    m_bCompleteSent = false;
    WakeLocked();
}

bool CRtmpServer::PresentedPosition(REFERENCE_TIME& rtPosition)
{
    CLockGuard lock(FilterLock());
    bool bAny = false;
    for (const CServerInputPin* pPin : {&m_video, &m_audio})
    {
        REFERENCE_TIME rt = 0;
        if (pPin->PresentedPositionLocked(rt) && (!bAny || rt > rtPosition))
        {
            rtPosition = rt;
            bAny = true;
        }
    }
    return bAny;
}

void CRtmpServer::ForgetPresentedPosition()
{
    CLockGuard lock(FilterLock());
    m_video.m_bPresentedSinceFlush = false;
    m_audio.m_bPresentedSinceFlush = false;
}

HRESULT CRtmpServer::WaitForPresentationLocked(CServerInputPin* pPin, bool bTimed, REFERENCE_TIME rtTime)
{
    pPin->m_bWaiting = true;
    WakeLocked(); // a pause may be complete now
    HRESULT hr = S_OK;
    for (;;)
    {
        if (StateLocked() == State_Stopped || pPin->IsFlushing())
        {
            hr = S_FALSE;
            break;
        }
        if (StateLocked() == State_Paused)
        {
            m_cvFilter.Wait(FilterLock(), INFINITE);
            continue;
        }
        const DWORD dwWait = bTimed ? MillisecondsUntilLocked(rtTime) : 0;
        if (dwWait == 0)
            break;
        m_cvFilter.Wait(FilterLock(), dwWait);
    }
    pPin->m_bWaiting = false;
    return hr;
}

DWORD CRtmpServer::MillisecondsUntilLocked(REFERENCE_TIME rtTime)
{
    const CComRef<IReferenceClock> spClock = Clock();
    if (!spClock)
        return 0;
    REFERENCE_TIME rtNow = 0;
    if (FAILED(spClock->GetTime(&rtNow)))
        return 0;
    const REFERENCE_TIME rtStreamNow = SaturatedSubtract(rtNow, StartTimeLocked());
    return MillisecondsFor(SaturatedSubtract(rtTime, rtStreamNow), kMaxWaitMs);
}
