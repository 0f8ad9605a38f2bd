// The RTMP server: a renderer with an H.264 and an AAC input. It presents
// each sample when the graph's clock reaches its start time, holds a sample
// while paused (which completes the pause), signals EC_COMPLETE once both
// inputs have ended, passes seeking upstream and counts what each input
// presented. While it is not stopped it listens for RTMP players and sends
// each presented sample to every one of them as it is presented.
#pragma once

#include "RtmpNetwork.h"

#include "Flv.h"
#include "Session.h"
#include "Timeline.h"

#include "base/Filter.h"
#include "base/InputPin.h"
#include "base/SeekingPassThrough.h"

#include "VelkFilters.h"

class CRtmpServer;

// The server's seeking: passed upstream, but the current position is where
// the server's presentation has reached.
class CServerSeeking : public CSeekingPassThrough
{
public:
    CServerSeeking(CRtmpServer* pServer, CPinBase* pFirstInput, CPinBase* pSecondInput);

    STDMETHODIMP GetCurrentPosition(LONGLONG* pCurrent) override;
    STDMETHODIMP GetPositions(LONGLONG* pCurrent, LONGLONG* pStop) override;
    // A new current position also replaces what was presented before it.
    STDMETHODIMP SetPositions(LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop,
                              DWORD dwStopFlags) override;

private:
    CRtmpServer* const m_pServer;
};

class CServerInputPin : public CInputPinBase
{
public:
    using TypeCheck = bool (*)(const AM_MEDIA_TYPE& mt);

    CServerInputPin(CRtmpServer* pServer, LPCWSTR pszName, TypeCheck pfnAccepts);

    HRESULT CheckMediaType(const AM_MEDIA_TYPE& mt) override;
    HRESULT Active() override;

protected:
    HRESULT OnReceive(IMediaSample* pSample) override;
    HRESULT OnEndOfStream() override;
    HRESULT OnBeginFlush() override;
    HRESULT OnEndFlush() override;
    HRESULT OnNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override;

private:
    friend class CRtmpServer;

    // Counts a presented sample; with the filter lock held.
    void CountSampleLocked(IMediaSample* pSample);
    // The media position the presented samples reach, when any was presented
    // since the last flush or start; with the filter lock held.
    bool PresentedPositionLocked(REFERENCE_TIME& rtPosition) const;
    // The connection's media type; with the filter lock held.
    const AM_MEDIA_TYPE& MediaTypeLocked() const { return m_mt.Get(); }

    CRtmpServer* const m_pServer;
    const TypeCheck m_pfnAccepts;
    // Renderer bookkeeping, guarded by the filter lock.
    bool m_bWaiting = false; // a sample or the end waits to be presented
    bool m_bEnded = false;   // the end of stream has been presented
    // Where the samples presented since the last flush end; the end of
    // stream is due then.
    bool m_bPresentedSinceFlush = false;
    REFERENCE_TIME m_rtPresentedTo = 0;
    VelkInputStatistics m_stats = {};
};

class CRtmpServer : public CFilterBase,
                    public IVelkRtmpServer,
                    public IVelkRtmpServerClientStatistics,
                    public IVelkVersion,
                    public IAMFilterMiscFlags
{
public:
    static HRESULT Create(REFIID riid, void** ppv);

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return CFilterBase::QueryInterface(riid, ppv); }
    STDMETHODIMP_(ULONG) AddRef() override { return CFilterBase::AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return CFilterBase::Release(); }

    // IMediaFilter: a pause is complete once every input holds a sample.
    STDMETHODIMP GetState(DWORD dwMilliSecsTimeout, FILTER_STATE* pState) override;

    // IVelkRtmpServerStatistics
    STDMETHODIMP GetInputCount(LONG* pcInputs) override;
    STDMETHODIMP GetInputStatistics(LONG nInput, VelkInputStatistics* pStatistics) override;

    // IVelkRtmpServerClientStatistics
    STDMETHODIMP GetClientStatistics(VelkClientStatistics* pStatistics) override;

    // IVelkVersion
    STDMETHODIMP GetType(LONG* peType) override;
    STDMETHODIMP GetOS(LONG* peOS) override;
    STDMETHODIMP GetName(BSTR* pbstrName) override;
    STDMETHODIMP GetNumber(BSTR* pbstrNumber) override;
    STDMETHODIMP GetDateTime(BSTR* pbstrDateTime) override;

    // IAMFilterMiscFlags
    STDMETHODIMP_(ULONG) GetMiscFlags() override;

    int PinCount() const override { return 2; }
    CPinBase* PinAt(int nIndex) override;

    // From the inputs, on the streaming threads.
    HRESULT Present(CServerInputPin* pPin, IMediaSample* pSample);
    HRESULT PresentEndOfStream(CServerInputPin* pPin);
    void Flush(CServerInputPin* pPin);
    // The latest media position an input's presentation has reached; false
    // when none presented anything since the last flush or start.
    bool PresentedPosition(REFERENCE_TIME& rtPosition);
    // After a seek: until something is presented again, the position is the
    // one sought.
    void ForgetPresentedPosition();

protected:
    HRESULT QueryFilterInterface(REFIID riid, void** ppv) override;
    HRESULT OnStateChanged(FILTER_STATE eOld) override;
    // Listening starts as the filter leaves the stopped state and ends once
    // its streaming has stopped.
    HRESULT OnLeavingStopped() override;
    void OnStreamingStopped() override;

private:
    CRtmpServer();

    HRESULT StartServingLocked();
    // The stream headers the connected media types give.
    rtmp::StreamHeaders HeadersFromTypesLocked() const;
    // A key frame's parameter sets become the AVC sequence header.
    void TakeParameterSetsLocked(IMediaSample* pSample);
    // Sends a presented sample to the clients.
    HRESULT PublishLocked(CServerInputPin* pPin, IMediaSample* pSample, REFERENCE_TIME rtStart);
    void SendInOrderLocked(const rtmp::MediaFrame& frame);

    // Wakes every thread that waits in the filter: a state change, a flush.
    void WakeLocked() { m_cvFilter.WakeAll(); }

    // Waits, with the filter lock held, until the stream time reaches rtTime
    // (at once with bTimed false) while running; holds while paused. S_OK
    // when the time has come, S_FALSE when a flush or a stop cancelled it.
    HRESULT WaitForPresentationLocked(CServerInputPin* pPin, bool bTimed, REFERENCE_TIME rtTime);
    // Milliseconds until stream time rtTime, at most a second; 0 when it has
    // come or there is no clock.
    DWORD MillisecondsUntilLocked(REFERENCE_TIME rtTime);
    bool IsPauseCompleteLocked() const;
    bool HaveAllEndedLocked() const;

    CServerInputPin m_video;
    CServerInputPin m_audio;
    CServerSeeking m_seeking;
    CConditionVariable m_cvFilter;
    bool m_bCompleteSent = false;
    // The clients' side, guarded by the filter lock: stream timestamps that
    // never go back, and the stream headers sent to every client. One
    // timeline a stream: the two inputs present on threads of their own, and
    // a sample that comes late must keep its own time rather than take the
    // other stream's latest.
    rtmp::Timeline m_videoTimeline;
    rtmp::Timeline m_audioTimeline;
    rtmp::StreamHeaders m_headers;
    rtmp::Bytes m_sps;
    rtmp::Bytes m_pps;
    bool m_bKeyFrameSent = false;               // since the filter left the stopped state
    std::vector<rtmp::MediaFrame> m_heldAudio;  // until then
    CRtmpNetwork m_network;
};
