#include "Pin.h"

#include "Enumerators.h"
#include "Filter.h"

#include <cwchar>
#include <new>

CPinBase::CPinBase(CFilterBase* pFilter, PIN_DIRECTION eDirection, LPCWSTR pszName)
    : m_pFilter(pFilter), m_eDirection(eDirection), m_pszName(pszName)
{
}

CPinBase::~CPinBase() = default;

STDMETHODIMP CPinBase::QueryInterface(REFIID riid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IPin))
        *ppv = static_cast<IPin*>(this);
    else
        return QueryPinInterface(riid, ppv);
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CPinBase::AddRef()
{
    return m_pFilter->AddRef();
}

STDMETHODIMP_(ULONG) CPinBase::Release()
{
    return m_pFilter->Release();
}

HRESULT CPinBase::QueryPinInterface(REFIID, void**)
{
    return E_NOINTERFACE;
}

// ---------------------------------------------------------------------------
// Connection

STDMETHODIMP CPinBase::Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt)
{
    if (pReceivePin == nullptr)
        return E_POINTER;
    if (m_eDirection != PINDIR_OUTPUT)
        return E_UNEXPECTED;
    CLockGuard lock(m_pFilter->FilterLock());
    const HRESULT hr = CheckConnectable(pReceivePin);
    if (hr != S_OK)
        return hr;
    // Said at once, rather than as a type that no attempt could agree on.
    CComRef<IPin> spTheirPeer;
    if (SUCCEEDED(pReceivePin->ConnectedTo(spTheirPeer.Receive())) && spTheirPeer)
        return VFW_E_ALREADY_CONNECTED;
    return ConnectLocked(pReceivePin, pmt);
}

// A full type is tried alone; otherwise ours first, then the receiver's.
HRESULT CPinBase::ConnectLocked(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt)
{
    if (pmt != nullptr && IsFullySpecified(*pmt))
    {
        const HRESULT hr = TryConnection(pReceivePin, *pmt);
        return SUCCEEDED(hr) ? hr : VFW_E_TYPE_NOT_ACCEPTED;
    }
    if (TryOwnTypes(pReceivePin, pmt) == S_OK)
        return S_OK;
    if (TryPeerTypes(pReceivePin, pmt) == S_OK)
        return S_OK;
    return VFW_E_NO_ACCEPTABLE_TYPES;
}

HRESULT CPinBase::TryOwnTypes(IPin* pReceivePin, const AM_MEDIA_TYPE* pmtPattern)
{
    for (int i = 0;; ++i)
    {
        CMediaTypeHolder mt;
        if (GetMediaType(i, mt) != S_OK)
            return S_FALSE;
        if (pmtPattern != nullptr && !MatchesPartialType(*pmtPattern, mt.Get()))
            continue;
        if (TryConnection(pReceivePin, mt.Get()) == S_OK)
            return S_OK;
    }
}

HRESULT CPinBase::TryPeerTypes(IPin* pReceivePin, const AM_MEDIA_TYPE* pmtPattern)
{
    CComRef<IEnumMediaTypes> spEnum;
    if (FAILED(pReceivePin->EnumMediaTypes(spEnum.Receive())) || !spEnum)
        return S_FALSE;
    for (;;)
    {
        AM_MEDIA_TYPE* pmt = nullptr;
        ULONG cFetched = 0;
        if (spEnum->Next(1, &pmt, &cFetched) != S_OK || pmt == nullptr)
            return S_FALSE;
        CMediaTypeHolder mt;
        const HRESULT hrCopy = mt.Set(*pmt);
        FreeMediaTypeContent(*pmt);
        ::CoTaskMemFree(pmt);
        if (hrCopy == E_OUTOFMEMORY)
            return hrCopy;
        if (FAILED(hrCopy))
            continue; // a type we cannot take; the next may do
        if (pmtPattern != nullptr && !MatchesPartialType(*pmtPattern, mt.Get()))
            continue;
        if (TryConnection(pReceivePin, mt.Get()) == S_OK)
            return S_OK;
    }
}

HRESULT CPinBase::CheckIncomingType(const AM_MEDIA_TYPE& mt)
{
    if (!HasPlausibleFormat(mt))
        return VFW_E_TYPE_NOT_ACCEPTED;
    const HRESULT hr = CheckMediaType(mt);
    if (hr != S_OK)
        return FAILED(hr) ? hr : VFW_E_TYPE_NOT_ACCEPTED;
    return S_OK;
}

HRESULT CPinBase::TryConnection(IPin* pReceivePin, const AM_MEDIA_TYPE& mt)
{
    HRESULT hr = CheckIncomingType(mt);
    if (hr != S_OK)
        return hr;
    hr = m_mt.Set(mt);
    if (FAILED(hr))
        return hr;
    m_spPeer.Assign(pReceivePin);

    hr = pReceivePin->ReceiveConnection(this, &mt);
    if (hr != S_OK)
    {
        ClearConnection();
        return FAILED(hr) ? hr : VFW_E_TYPE_NOT_ACCEPTED;
    }
    hr = CompleteConnect(pReceivePin);
    if (FAILED(hr))
    {
        pReceivePin->Disconnect();
        BreakConnect();
        ClearConnection();
        return hr;
    }
    return S_OK;
}

STDMETHODIMP CPinBase::ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt)
{
    if (pConnector == nullptr || pmt == nullptr)
        return E_POINTER;
    if (m_eDirection != PINDIR_INPUT)
        return E_UNEXPECTED;
    CLockGuard lock(m_pFilter->FilterLock());
    HRESULT hr = CheckConnectable(pConnector);
    if (hr != S_OK)
        return hr;
    hr = CheckIncomingType(*pmt);
    if (hr != S_OK)
        return VFW_E_TYPE_NOT_ACCEPTED;

    hr = m_mt.Set(*pmt);
    if (FAILED(hr))
        return hr;
    m_spPeer.Assign(pConnector);
    hr = CompleteConnect(pConnector);
    if (FAILED(hr))
    {
        BreakConnect();
        ClearConnection();
    }
    return hr;
}

// Both ends of a new connection: stopped, free, and facing each other.
HRESULT CPinBase::CheckConnectable(IPin* pOther) const
{
    if (m_spPeer)
        return VFW_E_ALREADY_CONNECTED;
    if (m_pFilter->StateLocked() != State_Stopped)
        return VFW_E_NOT_STOPPED;
    PIN_DIRECTION eOther = m_eDirection;
    const HRESULT hr = pOther->QueryDirection(&eOther);
    if (FAILED(hr))
        return hr;
    return eOther != m_eDirection ? S_OK : VFW_E_INVALID_DIRECTION;
}

HRESULT CPinBase::CompleteConnect(IPin*)
{
    return S_OK;
}

STDMETHODIMP CPinBase::Disconnect()
{
    CLockGuard lock(m_pFilter->FilterLock());
    if (m_pFilter->StateLocked() != State_Stopped)
        return VFW_E_NOT_STOPPED;
    if (!m_spPeer)
        return S_FALSE;
    BreakConnect();
    ClearConnection();
    return S_OK;
}

void CPinBase::ClearConnection()
{
    m_spPeer.Reset();
    m_mt.Clear();
}

CComRef<IPin> CPinBase::Peer()
{
    CLockGuard lock(m_pFilter->FilterLock());
    return m_spPeer;
}

// ---------------------------------------------------------------------------
// Queries

STDMETHODIMP CPinBase::ConnectedTo(IPin** ppPin)
{
    if (ppPin == nullptr)
        return E_POINTER;
    CLockGuard lock(m_pFilter->FilterLock());
    *ppPin = nullptr;
    if (!m_spPeer)
        return VFW_E_NOT_CONNECTED;
    return m_spPeer.CopyTo(ppPin);
}

STDMETHODIMP CPinBase::ConnectionMediaType(AM_MEDIA_TYPE* pmt)
{
    if (pmt == nullptr)
        return E_POINTER;
    CLockGuard lock(m_pFilter->FilterLock());
    *pmt = AM_MEDIA_TYPE();
    if (!m_spPeer)
        return VFW_E_NOT_CONNECTED;
    return CopyMediaTypeContent(*pmt, m_mt.Get());
}

STDMETHODIMP CPinBase::QueryPinInfo(PIN_INFO* pInfo)
{
    if (pInfo == nullptr)
        return E_POINTER;
    pInfo->pFilter = m_pFilter;
    m_pFilter->AddRef();
    pInfo->dir = m_eDirection;
    ::wcsncpy(pInfo->achName, m_pszName, MAX_PIN_NAME - 1);
    pInfo->achName[MAX_PIN_NAME - 1] = L'\0';
    return S_OK;
}

STDMETHODIMP CPinBase::QueryDirection(PIN_DIRECTION* pPinDir)
{
    if (pPinDir == nullptr)
        return E_POINTER;
    *pPinDir = m_eDirection;
    return S_OK;
}

STDMETHODIMP CPinBase::QueryId(LPWSTR* ppszId)
{
    if (ppszId == nullptr)
        return E_POINTER;
    const size_t cb = (::wcslen(m_pszName) + 1) * sizeof(WCHAR);
    *ppszId = static_cast<LPWSTR>(::CoTaskMemAlloc(cb));
    if (*ppszId == nullptr)
        return E_OUTOFMEMORY;
    ::memcpy(*ppszId, m_pszName, cb);
    return S_OK;
}

STDMETHODIMP CPinBase::QueryAccept(const AM_MEDIA_TYPE* pmt)
{
    if (pmt == nullptr)
        return E_POINTER;
    return CheckIncomingType(*pmt) == S_OK ? S_OK : S_FALSE;
}

STDMETHODIMP CPinBase::EnumMediaTypes(IEnumMediaTypes** ppEnum)
{
    if (ppEnum == nullptr)
        return E_POINTER;
    *ppEnum = new (std::nothrow) CEnumMediaTypesImpl(this, 0);
    return *ppEnum != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT CPinBase::GetMediaType(int, CMediaTypeHolder&)
{
    return VFW_S_NO_MORE_ITEMS;
}

// Every input feeds every output; the graph needs no more detail.
STDMETHODIMP CPinBase::QueryInternalConnections(IPin**, ULONG*)
{
    return E_NOTIMPL;
}

STDMETHODIMP CPinBase::EndOfStream()
{
    return E_UNEXPECTED;
}

STDMETHODIMP CPinBase::BeginFlush()
{
    return E_UNEXPECTED;
}

STDMETHODIMP CPinBase::EndFlush()
{
    return E_UNEXPECTED;
}

STDMETHODIMP CPinBase::NewSegment(REFERENCE_TIME, REFERENCE_TIME, double)
{
    return E_UNEXPECTED;
}
