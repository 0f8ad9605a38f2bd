// CFilterBase: the IBaseFilter part every filter shares: reference count,
// state, clock, graph membership and the pin list.
#pragma once

#include "ComRef.h"
#include "DllModule.h"
#include "Sync.h"

#include <dshow.h>

class CPinBase;

class CFilterBase : public IBaseFilter
{
public:
    CFilterBase(const CFilterBase&) = delete;
    CFilterBase& operator=(const CFilterBase&) = delete;

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IPersist
    STDMETHODIMP GetClassID(CLSID* pClassID) override;

    // IMediaFilter
    STDMETHODIMP Stop() override;
    STDMETHODIMP Pause() override;
    STDMETHODIMP Run(REFERENCE_TIME tStart) override;
    STDMETHODIMP GetState(DWORD dwMilliSecsTimeout, FILTER_STATE* pState) override;
    STDMETHODIMP SetSyncSource(IReferenceClock* pClock) override;
    STDMETHODIMP GetSyncSource(IReferenceClock** ppClock) override;

    // IBaseFilter
    STDMETHODIMP EnumPins(IEnumPins** ppEnum) override;
    STDMETHODIMP FindPin(LPCWSTR pszId, IPin** ppPin) override;
    STDMETHODIMP QueryFilterInfo(FILTER_INFO* pInfo) override;
    STDMETHODIMP JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pszName) override;
    STDMETHODIMP QueryVendorInfo(LPWSTR* ppszVendorInfo) override;

    virtual int PinCount() const = 0;
    // The pin at a zero-based index, or null.
    virtual CPinBase* PinAt(int nIndex) = 0;

    // The filter-state lock: guards the state, the clock, the graph, the
    // connections and everything the pins share. Taken briefly; never held
    // while calling another filter, the graph or waiting for a thread.
    CCriticalSection& FilterLock() { return m_csFilter; }
    // The caller holds the filter lock.
    FILTER_STATE StateLocked() const { return m_eState; }
    REFERENCE_TIME StartTimeLocked() const { return m_tStart; }
    CComRef<IReferenceClock> Clock();

    // The streaming lock: guards what the streaming calls of the pins keep
    // (flushing, end of stream, calls in progress). May be taken with the
    // filter lock held, never the other way round.
    CCriticalSection& StreamingLock() { return m_csStreaming; }
    // Wakes, and waits with the streaming lock held, for a change of what it
    // guards.
    void WakeStreamingLocked() { m_cvStreaming.WakeAll(); }
    void WaitStreamingLocked() { m_cvStreaming.Wait(m_csStreaming, INFINITE); }

    // Keeps other state changes, and seeks, out while it lives. It holds no
    // lock: a state change waits for streaming threads, which may need one.
    class CStateChangeGuard
    {
    public:
        explicit CStateChangeGuard(CFilterBase& filter);
        ~CStateChangeGuard();
        CStateChangeGuard(const CStateChangeGuard&) = delete;
        CStateChangeGuard& operator=(const CStateChangeGuard&) = delete;

    private:
        CFilterBase& m_filter;
    };

    // Passes an event to the graph's IMediaEventSink. Call without holding
    // a lock: the graph may call back into the filter.
    HRESULT NotifyEvent(long lEventCode, LONG_PTR lParam1, LONG_PTR lParam2);
    // Reports a streaming failure: EC_ERRORABORT with its status.
    void NotifyStreamingFailure(HRESULT hr);

protected:
    explicit CFilterBase(REFCLSID clsid);
    virtual ~CFilterBase();

    // Interfaces beyond IBaseFilter and its bases.
    virtual HRESULT QueryFilterInterface(REFIID riid, void** ppv);
    // Called with the filter lock held as the filter leaves the stopped
    // state, once its pins are active; a failure leaves it stopped and is
    // returned from the Pause or Run.
    virtual HRESULT OnLeavingStopped() { return S_OK; }
    // Called with the filter lock held once the pins have followed a state
    // change; a failure is returned from the state-changing call.
    virtual HRESULT OnStateChanged(FILTER_STATE eOld);
    // Called without locks, still inside the state change, once a Stop has
    // ended every streaming call and thread of the pins.
    virtual void OnStreamingStopped() {}

private:
    // With the state-change guard held.
    HRESULT PauseGuarded();
    // With the filter lock held: activates the pins on leaving Stopped;
    // on failure, the pins activated so far are deactivated again.
    HRESULT ActivatePinsLocked();
    void DeactivatePinsLocked();
    // Without locks: waits for the pins' streaming to end.
    void FinishDeactivation();

    CModuleObject m_moduleObject;
    volatile LONG m_cRef = 1;
    const CLSID m_clsid;
    CCriticalSection m_csFilter;
    FILTER_STATE m_eState = State_Stopped;
    REFERENCE_TIME m_tStart = 0;
    CComRef<IReferenceClock> m_spClock;
    // Not a reference: the graph holds the filter, not the other way round.
    IFilterGraph* m_pGraph = nullptr;
    WCHAR m_szName[MAX_FILTER_NAME] = {};
    // Guarded by the filter lock: a state change or seek is under way.
    bool m_bChangingState = false;
    CConditionVariable m_cvStateChange;
    CCriticalSection m_csStreaming;
    CConditionVariable m_cvStreaming;
};
