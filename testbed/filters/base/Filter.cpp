#include "Filter.h"

#include "Enumerators.h"
#include "Pin.h"

#include <cwchar>
#include <new>

CFilterBase::CFilterBase(REFCLSID clsid) : m_clsid(clsid) {}

CFilterBase::~CFilterBase() = default;

// ---------------------------------------------------------------------------
// IUnknown

STDMETHODIMP CFilterBase::QueryInterface(REFIID riid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IPersist) || IsEqualIID(riid, IID_IMediaFilter) ||
        IsEqualIID(riid, IID_IBaseFilter))
        *ppv = static_cast<IBaseFilter*>(this);
    else
        return QueryFilterInterface(riid, ppv);
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CFilterBase::AddRef()
{
    return static_cast<ULONG>(::InterlockedIncrement(&m_cRef));
}

STDMETHODIMP_(ULONG) CFilterBase::Release()
{
    const LONG cRef = ::InterlockedDecrement(&m_cRef);
    if (cRef == 0)
        delete this;
    return static_cast<ULONG>(cRef);
}

HRESULT CFilterBase::QueryFilterInterface(REFIID, void**)
{
    return E_NOINTERFACE;
}

STDMETHODIMP CFilterBase::GetClassID(CLSID* pClassID)
{
    if (pClassID == nullptr)
        return E_POINTER;
    *pClassID = m_clsid;
    return S_OK;
}

// ---------------------------------------------------------------------------
// State

CFilterBase::CStateChangeGuard::CStateChangeGuard(CFilterBase& filter) : m_filter(filter)
{
    CLockGuard lock(m_filter.m_csFilter);
    while (m_filter.m_bChangingState)
        m_filter.m_cvStateChange.Wait(m_filter.m_csFilter, INFINITE);
    m_filter.m_bChangingState = true;
}

CFilterBase::CStateChangeGuard::~CStateChangeGuard()
{
    CLockGuard lock(m_filter.m_csFilter);
    m_filter.m_bChangingState = false;
    m_filter.m_cvStateChange.WakeAll();
}

// The pins are told to stop under the lock; their streaming calls and
// threads are waited for after it, since they may need it to finish.
STDMETHODIMP CFilterBase::Stop()
{
    const CStateChangeGuard change(*this);
    bool bWasActive = false;
    HRESULT hr = S_OK;
    {
        CLockGuard lock(m_csFilter);
        const FILTER_STATE eOld = m_eState;
        bWasActive = eOld != State_Stopped;
        m_eState = State_Stopped;
        if (bWasActive)
            DeactivatePinsLocked();
        hr = OnStateChanged(eOld);
    }
    if (bWasActive)
    {
        FinishDeactivation();
        OnStreamingStopped();
    }
    return hr;
}

STDMETHODIMP CFilterBase::Pause()
{
    const CStateChangeGuard change(*this);
    return PauseGuarded();
}

HRESULT CFilterBase::PauseGuarded()
{
    HRESULT hr = S_OK;
    {
        CLockGuard lock(m_csFilter);
        const FILTER_STATE eOld = m_eState;
        if (eOld == State_Stopped)
        {
            hr = ActivatePinsLocked();
            if (SUCCEEDED(hr))
            {
                hr = OnLeavingStopped();
                if (FAILED(hr))
                    DeactivatePinsLocked();
            }
        }
        if (SUCCEEDED(hr))
        {
            m_eState = State_Paused;
            return OnStateChanged(eOld);
        }
    }
    // Pins that started streaming before a failure end it again.
    FinishDeactivation();
    return hr;
}

STDMETHODIMP CFilterBase::Run(REFERENCE_TIME tStart)
{
    const CStateChangeGuard change(*this);
    bool bStopped = false;
    {
        CLockGuard lock(m_csFilter);
        bStopped = m_eState == State_Stopped;
    }
    if (bStopped)
    {
        const HRESULT hr = PauseGuarded();
        if (FAILED(hr))
            return hr;
    }
    CLockGuard lock(m_csFilter);
    const FILTER_STATE eOld = m_eState;
    m_tStart = tStart;
    m_eState = State_Running;
    return OnStateChanged(eOld);
}

HRESULT CFilterBase::OnStateChanged(FILTER_STATE)
{
    return S_OK;
}

HRESULT CFilterBase::ActivatePinsLocked()
{
    for (int i = 0; i < PinCount(); ++i)
    {
        const HRESULT hr = PinAt(i)->Active();
        if (FAILED(hr))
        {
            DeactivatePinsLocked();
            return hr;
        }
    }
    return S_OK;
}

void CFilterBase::DeactivatePinsLocked()
{
    for (int i = 0; i < PinCount(); ++i)
        PinAt(i)->Inactive();
}

void CFilterBase::FinishDeactivation()
{
    for (int i = 0; i < PinCount(); ++i)
        PinAt(i)->FinishInactive();
}

STDMETHODIMP CFilterBase::GetState(DWORD, FILTER_STATE* pState)
{
    if (pState == nullptr)
        return E_POINTER;
    CLockGuard lock(m_csFilter);
    *pState = m_eState;
    return S_OK;
}

STDMETHODIMP CFilterBase::SetSyncSource(IReferenceClock* pClock)
{
    CLockGuard lock(m_csFilter);
    m_spClock.Assign(pClock);
    return S_OK;
}

STDMETHODIMP CFilterBase::GetSyncSource(IReferenceClock** ppClock)
{
    if (ppClock == nullptr)
        return E_POINTER;
    CLockGuard lock(m_csFilter);
    return m_spClock.CopyTo(ppClock);
}

CComRef<IReferenceClock> CFilterBase::Clock()
{
    CLockGuard lock(m_csFilter);
    return m_spClock;
}

// ---------------------------------------------------------------------------
// Pins and graph

STDMETHODIMP CFilterBase::EnumPins(IEnumPins** ppEnum)
{
    if (ppEnum == nullptr)
        return E_POINTER;
    *ppEnum = new (std::nothrow) CEnumPinsImpl(this, 0);
    return *ppEnum != nullptr ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CFilterBase::FindPin(LPCWSTR pszId, IPin** ppPin)
{
    if (pszId == nullptr || ppPin == nullptr)
        return E_POINTER;
    *ppPin = nullptr;
    for (int i = 0; i < PinCount(); ++i)
    {
        CPinBase* pPin = PinAt(i);
        if (::wcscmp(pPin->Name(), pszId) == 0)
        {
            *ppPin = pPin;
            pPin->AddRef();
            return S_OK;
        }
    }
    return VFW_E_NOT_FOUND;
}

STDMETHODIMP CFilterBase::QueryFilterInfo(FILTER_INFO* pInfo)
{
    if (pInfo == nullptr)
        return E_POINTER;
    CLockGuard lock(m_csFilter);
    ::wcsncpy(pInfo->achName, m_szName, MAX_FILTER_NAME - 1);
    pInfo->achName[MAX_FILTER_NAME - 1] = L'\0';
    pInfo->pGraph = m_pGraph;
    if (m_pGraph != nullptr)
        m_pGraph->AddRef();
    return S_OK;
}

STDMETHODIMP CFilterBase::JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pszName)
{
    CLockGuard lock(m_csFilter);
    m_pGraph = pGraph;
    m_szName[0] = L'\0';
    if (pGraph != nullptr && pszName != nullptr)
    {
        ::wcsncpy(m_szName, pszName, MAX_FILTER_NAME - 1);
        m_szName[MAX_FILTER_NAME - 1] = L'\0';
    }
    return S_OK;
}

STDMETHODIMP CFilterBase::QueryVendorInfo(LPWSTR*)
{
    return E_NOTIMPL;
}

HRESULT CFilterBase::NotifyEvent(long lEventCode, LONG_PTR lParam1, LONG_PTR lParam2)
{
    CComRef<IMediaEventSink> spSink;
    {
        CLockGuard lock(m_csFilter);
        if (m_pGraph == nullptr)
            return E_UNEXPECTED;
        const HRESULT hr = m_pGraph->QueryInterface(IID_IMediaEventSink, spSink.ReceiveVoid());
        if (FAILED(hr))
            return hr;
    }
    return spSink->Notify(lEventCode, lParam1, lParam2);
}

// Outside a graph there is no one to tell; the caller ends the stream either
// way.
void CFilterBase::NotifyStreamingFailure(HRESULT hr)
{
    NotifyEvent(EC_ERRORABORT, hr, 0);
}
