// CPushPin: an output pin that produces a timed stream on its own thread and
// can be seeked. The stream is a run of frames numbered from 0; frame n
// covers [n * num / den, (n + 1) * num / den) in 100 ns units. Each seek or
// start opens a segment: samples are stamped relative to its start position
// and the first one is marked as a discontinuity.
#pragma once

#include "OutputPin.h"
#include "Sync.h"
#include "WorkerThread.h"

class CPushPin : public COutputPinBase, public IMediaSeeking
{
public:
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

    // Starts the streaming thread on leaving Stopped, ends it on entering it.
    HRESULT Active() override;
    void Inactive() override;

    // A new stream length; the positions go back to the whole stream. Only
    // while the filter is stopped.
    void SetDuration(REFERENCE_TIME rtDuration);
    // Samples delivered since the filter last left Stopped.
    LONGLONG DeliveredSamples();

protected:
    CPushPin(CFilterBase* pFilter, LPCWSTR pszName, LONGLONG llFrameNum, LONGLONG llFrameDen);
    // The thread calls FillFrame of the derived pin: the filter ends it
    // (Inactive) before its pins are destroyed.
    ~CPushPin() override;

    HRESULT QueryPinInterface(REFIID riid, void** ppv) override;

    // Writes frame llFrame, which covers [rtStart, rtStop) of the stream (the
    // last frame may be cut short by the stop position), into pSample and
    // sets its data length.
    virtual HRESULT FillFrame(LONGLONG llFrame, REFERENCE_TIME rtStart, REFERENCE_TIME rtStop,
                              IMediaSample* pSample) = 0;

    REFERENCE_TIME FrameTime(LONGLONG llFrame) const;
    LONGLONG FrameAt(REFERENCE_TIME rt) const;

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
    void FinishJob(const Job& job, HRESULT hr);

    // Seeking, with the filter lock held.
    HRESULT ResolvePositions(LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop, DWORD dwStopFlags,
                             REFERENCE_TIME& rtCurrent, REFERENCE_TIME& rtStop);
    void Reposition(REFERENCE_TIME rtCurrent, REFERENCE_TIME rtStop);
    void StartSegmentLocked(REFERENCE_TIME rtCurrent, REFERENCE_TIME rtStop);

    const LONGLONG m_llFrameNum;
    const LONGLONG m_llFrameDen;
    CWorkerThread m_thread;

    // Guards everything below; never held while calling another filter.
    CCriticalSection m_csStream;
    CConditionVariable m_cvStream;
    REFERENCE_TIME m_rtDuration = 0;
    REFERENCE_TIME m_rtCurrent = 0; // start of the segment
    REFERENCE_TIME m_rtStop = 0;
    LONGLONG m_llNextFrame = 0;
    ULONG m_uSegment = 0;      // counts seeks, so a step outrun by one is dropped
    bool m_bStreaming = false; // the thread runs
    bool m_bExit = false;      // the thread is to end
    bool m_bHold = false;      // a seek is flushing downstream
    bool m_bBusy = false;      // the thread is carrying out a step
    bool m_bSegmentSent = false;
    bool m_bDiscontinuity = true;
    bool m_bEndSent = false;
    bool m_bFailed = false; // downstream refused a sample: idle until a seek or a restart
    LONGLONG m_cDelivered = 0;
};
