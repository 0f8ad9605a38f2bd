// CPushPin: an output pin of a CPushSourceFilter that streams frames on its
// own thread. The stream is a run of frames numbered from 0; frame n covers
// [n * num / den, (n + 1) * num / den) in 100 ns units, rounded down. Each
// seek or start opens a segment: samples are stamped relative to its start
// and the first one is marked as a discontinuity. The pin's IMediaSeeking
// is its filter's: one position for all the filter's streams.
#pragma once

#include "OutputPin.h"
#include "Sync.h"
#include "WorkerThread.h"

class CPushSourceFilter;

// What a push pin streams: its one media type, its buffers and the content
// of each frame. It must outlive the pin, whose thread calls FillFrame until
// the pin is destroyed.
class CFrameSource
{
public:
    virtual HRESULT GetMediaType(CMediaTypeHolder& mt) = 0;
    virtual void GetBufferRequirements(ALLOCATOR_PROPERTIES& props) = 0;
    // Writes frame llFrame, which covers [rtStart, rtStop) of the stream
    // (the last frame may be cut short by the stop position), into pSample
    // and sets its data length. Called on the pin's thread only.
    virtual HRESULT FillFrame(LONGLONG llFrame, REFERENCE_TIME rtStart, REFERENCE_TIME rtStop,
                              IMediaSample* pSample) = 0;

protected:
    ~CFrameSource() = default;
};

class CPushPin final : public COutputPinBase, public IMediaSeeking
{
public:
    CPushPin(CPushSourceFilter* pFilter, LPCWSTR pszName, CFrameSource* pFrames, LONGLONG llFrameNum,
             LONGLONG llFrameDen);
    // Ends the thread itself, so that a filter released without a Stop
    // still lets it go before anything it uses.
    ~CPushPin() override;

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return CPinBase::QueryInterface(riid, ppv); }
    STDMETHODIMP_(ULONG) AddRef() override { return CPinBase::AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return CPinBase::Release(); }

    // IMediaSeeking, in media time only.
    STDMETHODIMP GetCapabilities(DWORD* pCapabilities) override;
    STDMETHODIMP CheckCapabilities(DWORD* pCapabilities) override;
    STDMETHODIMP IsFormatSupported(const GUID* pFormat) override;
    STDMETHODIMP QueryPreferredFormat(GUID* pFormat) override;
    STDMETHODIMP GetTimeFormat(GUID* pFormat) override;
    STDMETHODIMP IsUsingTimeFormat(const GUID* pFormat) override;
    STDMETHODIMP SetTimeFormat(const GUID* pFormat) override;
    STDMETHODIMP GetDuration(LONGLONG* pDuration) override;
    STDMETHODIMP GetStopPosition(LONGLONG* pStop) override;
    STDMETHODIMP GetCurrentPosition(LONGLONG* pCurrent) override;
    STDMETHODIMP ConvertTimeFormat(LONGLONG* pTarget, const GUID* pTargetFormat, LONGLONG llSource,
                                   const GUID* pSourceFormat) override;
    STDMETHODIMP SetPositions(LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop,
                              DWORD dwStopFlags) override;
    STDMETHODIMP GetPositions(LONGLONG* pCurrent, LONGLONG* pStop) override;
    STDMETHODIMP GetAvailable(LONGLONG* pEarliest, LONGLONG* pLatest) override;
    STDMETHODIMP SetRate(double dRate) override;
    STDMETHODIMP GetRate(double* pdRate) override;
    STDMETHODIMP GetPreroll(LONGLONG* pllPreroll) override;

    // Only the frame source's type.
    HRESULT CheckMediaType(const AM_MEDIA_TYPE& mt) override;
    HRESULT GetMediaType(int nIndex, CMediaTypeHolder& mt) override;

    // Starts the thread at the filter's position on leaving Stopped; tells
    // it to end on entering Stopped, and waits for that in FinishInactive.
    HRESULT Active() override;
    void Inactive() override;
    void FinishInactive() override;

    // For the filter's seeks, without locks, while the filter streams:
    // flushes downstream, waits until the thread has dropped what it was
    // doing and lets it go on with a new segment.
    void Reposition(REFERENCE_TIME rtStart, REFERENCE_TIME rtStop);
    // Moves the end of the current segment.
    void SetSegmentStop(REFERENCE_TIME rtStop);
    // After a Stop: where the pin's stream stopped (the start of the first
    // frame downstream did not take, or the stop), when it streamed in the
    // last run; asked once a run.
    bool TakeStoppedPosition(REFERENCE_TIME& rtStopped);
    // Samples delivered since the filter last left Stopped.
    LONGLONG DeliveredSamples();

    // Frame timing: FrameAt is the exact inverse of FrameTime's rounding, so
    // that the frame at a frame's start time is that frame. Times from 0 to
    // the duration.
    REFERENCE_TIME FrameTime(LONGLONG llFrame) const;
    LONGLONG FrameAt(REFERENCE_TIME rt) const;

protected:
    HRESULT QueryPinInterface(REFIID riid, void** ppv) override;
    void GetBufferRequirements(ALLOCATOR_PROPERTIES& props) override;

private:
    // One step of the streaming thread, taken under the stream lock and
    // carried out without it.
    struct Job
    {
        ULONG uSegment;
        LONGLONG llFrame;
        REFERENCE_TIME rtSegmentStart;
        REFERENCE_TIME rtStop;
        bool bNewSegment;
        bool bDiscontinuity;
        bool bEndOfStream;
    };

    static void ThreadProc(void* pThis);
    void StreamLoop();
    bool WaitForJob(Job& job);
    HRESULT Perform(const Job& job);
    HRESULT DeliverFrame(const Job& job);
    // True when hr ends the stream as a failure: not a stop, and no seek
    // overtook the step.
    bool IsStreamFailure(const Job& job, HRESULT hr);
    void FinishJob(const Job& job, HRESULT hr);
    void StartSegmentLocked(REFERENCE_TIME rtStart, REFERENCE_TIME rtStop);
    void EndThread();

    CPushSourceFilter* const m_pSource;
    CFrameSource* const m_pFrames;
    const LONGLONG m_llFrameNum;
    const LONGLONG m_llFrameDen;

    // Guards everything below; never held while calling another filter.
    CCriticalSection m_csStream;
    CConditionVariable m_cvStream;
    REFERENCE_TIME m_rtSegmentStart = 0;
    REFERENCE_TIME m_rtSegmentStop = 0;
    LONGLONG m_llNextFrame = 0;
    ULONG m_uSegment = 0;      // counts segments, so a step outrun by a seek is dropped
    bool m_bStreamed = false;  // streamed since the last TakeStoppedPosition
    bool m_bExit = false;      // the thread is to end
    bool m_bHold = false;      // a seek is flushing downstream
    bool m_bBusy = false;      // the thread is carrying out a step
    bool m_bSegmentSent = false;
    bool m_bDiscontinuity = true;
    bool m_bEndSent = false;
    bool m_bIdle = false; // downstream took no more: nothing until a seek or a new run
    LONGLONG m_cDelivered = 0;

    // Declared last, so destroyed first: while everything the thread uses
    // still exists.
    CWorkerThread m_thread;
};
