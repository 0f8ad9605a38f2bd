// CPushSourceFilter: a source filter whose output pins (CPushPin) stream one
// timeline together. It keeps one position for all of them: a seek moves
// every stream, and after a Stop they all resume where the stream stopped.
#pragma once

#include "Filter.h"
#include "PushPin.h"

class CPushSourceFilter : public CFilterBase
{
public:
    static constexpr DWORD kSeekingCaps = AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanSeekForwards |
                                          AM_SEEKING_CanSeekBackwards | AM_SEEKING_CanGetCurrentPos |
                                          AM_SEEKING_CanGetStopPos | AM_SEEKING_CanGetDuration;

    int PinCount() const final { return StreamCount(); }
    CPinBase* PinAt(int nIndex) final;

    // The pins' IMediaSeeking. The first connected pin carries out seeks;
    // the others follow it and take no seeks of their own, which keeps the
    // streams together when a seek reaches the filter through each of them.
    HRESULT SetPositions(CPushPin* pFrom, LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop,
                         DWORD dwStopFlags);
    // Either pointer may be null.
    HRESULT GetPositions(LONGLONG* pCurrent, LONGLONG* pStop);
    REFERENCE_TIME Duration();

    // Where a pin's stream starts on leaving Stopped: the current position
    // and the stop.
    void GetRunPositions(REFERENCE_TIME& rtStart, REFERENCE_TIME& rtStop);

protected:
    explicit CPushSourceFilter(REFCLSID clsid);

    virtual int StreamCount() const = 0;
    virtual CPushPin* StreamAt(int nIndex) = 0;
    const CPushPin* StreamAt(int nIndex) const { return const_cast<CPushSourceFilter*>(this)->StreamAt(nIndex); }

    // A new stream length; the positions go back to the whole stream.
    // VFW_E_NOT_STOPPED unless stopped.
    HRESULT SetDuration(REFERENCE_TIME rtDuration);

    // The streams resume from the earliest point where one of them stopped,
    // so that nothing is skipped on any.
    void OnStreamingStopped() override;

private:
    bool IsSeekingPin(CPushPin* pPin);
    HRESULT ResolvePositions(const LONGLONG* pCurrent, DWORD dwCurrentFlags, const LONGLONG* pStop,
                             DWORD dwStopFlags, REFERENCE_TIME& rtCurrent, REFERENCE_TIME& rtStop);

    // Guards the positions; may be taken with the filter lock held.
    CCriticalSection m_csPosition;
    REFERENCE_TIME m_rtDuration = 0;
    REFERENCE_TIME m_rtCurrent = 0; // the segment's start, or where the next run starts
    REFERENCE_TIME m_rtStop = 0;
};
