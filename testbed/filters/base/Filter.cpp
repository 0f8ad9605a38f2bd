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

STDMETHODIMP CFilterBase::Stop()
{
    CLockGuard lock(m_csFilter);
    const FILTER_STATE eOld = m_eState;
    if (eOld != State_Stopped)
        DeactivatePins();
    m_eState = State_Stopped;
    return OnStateChanged(eOld);
}

STDMETHODIMP CFilterBase::Pause()
{
    CLockGuard lock(m_csFilter);
    const FILTER_STATE eOld = m_eState;
    if (eOld == State_Stopped)
    {
        const HRESULT hr = ActivatePins();
        if (FAILED(hr))
            return hr;
    }
    m_eState = State_Paused;
    return OnStateChanged(eOld);
}

STDMETHODIMP CFilterBase::Run(REFERENCE_TIME tStart)
{
    CLockGuard lock(m_csFilter);
    if (m_eState == State_Stopped)
    {
        const HRESULT hr = Pause();
        if (FAILED(hr))
            return hr;
    }
    const FILTER_STATE eOld = m_eState;
    m_tStart = tStart;
    m_eState = State_Running;
    return OnStateChanged(eOld);
}

HRESULT CFilterBase::OnStateChanged(FILTER_STATE)
{
    return S_OK;
}

HRESULT CFilterBase::ActivatePins()
{
    for (int i = 0; i < PinCount(); ++i)
    {
        const HRESULT hr = PinAt(i)->Active();
        if (FAILED(hr))
        {
            DeactivatePins();
            return hr;
        }
    }
    return S_OK;
}

void CFilterBase::DeactivatePins()
{
    for (int i = 0; i < PinCount(); ++i)
        PinAt(i)->Inactive();
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
