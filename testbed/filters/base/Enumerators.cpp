#include "Enumerators.h"

#include "Filter.h"
#include "Pin.h"

#include <new>

namespace
{

// Shared by both enumerators: the same QueryInterface for IUnknown and one
// enumerator interface.
template <class TEnum>
HRESULT QueryEnumerator(TEnum* pThis, REFIID riidEnum, REFIID riid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, riidEnum))
        return E_NOINTERFACE;
    *ppv = pThis;
    pThis->AddRef();
    return S_OK;
}

} // namespace

// ---------------------------------------------------------------------------
// CEnumPinsImpl

CEnumPinsImpl::CEnumPinsImpl(CFilterBase* pFilter, int nPosition) : m_pFilter(pFilter), m_nPosition(nPosition)
{
    m_pFilter->AddRef();
}

CEnumPinsImpl::~CEnumPinsImpl()
{
    m_pFilter->Release();
}

STDMETHODIMP CEnumPinsImpl::QueryInterface(REFIID riid, void** ppv)
{
    return QueryEnumerator(this, IID_IEnumPins, riid, ppv);
}

STDMETHODIMP_(ULONG) CEnumPinsImpl::AddRef()
{
    return static_cast<ULONG>(::InterlockedIncrement(&m_cRef));
}

STDMETHODIMP_(ULONG) CEnumPinsImpl::Release()
{
    const LONG cRef = ::InterlockedDecrement(&m_cRef);
    if (cRef == 0)
        delete this;
    return static_cast<ULONG>(cRef);
}

STDMETHODIMP CEnumPinsImpl::Next(ULONG cPins, IPin** ppPins, ULONG* pcFetched)
{
    if (ppPins == nullptr || (cPins > 1 && pcFetched == nullptr))
        return E_POINTER;
    ULONG cFetched = 0;
    while (cFetched < cPins && m_nPosition < m_pFilter->PinCount())
    {
        IPin* pPin = m_pFilter->PinAt(m_nPosition++);
        pPin->AddRef();
        ppPins[cFetched++] = pPin;
    }
    if (pcFetched != nullptr)
        *pcFetched = cFetched;
    return cFetched == cPins ? S_OK : S_FALSE;
}

STDMETHODIMP CEnumPinsImpl::Skip(ULONG cPins)
{
    const int cLeft = m_pFilter->PinCount() - m_nPosition;
    if (cPins > static_cast<ULONG>(cLeft))
    {
        m_nPosition = m_pFilter->PinCount();
        return S_FALSE;
    }
    m_nPosition += static_cast<int>(cPins);
    return S_OK;
}

STDMETHODIMP CEnumPinsImpl::Reset()
{
    m_nPosition = 0;
    return S_OK;
}

STDMETHODIMP CEnumPinsImpl::Clone(IEnumPins** ppEnum)
{
    if (ppEnum == nullptr)
        return E_POINTER;
    *ppEnum = new (std::nothrow) CEnumPinsImpl(m_pFilter, m_nPosition);
    return *ppEnum != nullptr ? S_OK : E_OUTOFMEMORY;
}

// ---------------------------------------------------------------------------
// CEnumMediaTypesImpl

CEnumMediaTypesImpl::CEnumMediaTypesImpl(CPinBase* pPin, int nPosition) : m_pPin(pPin), m_nPosition(nPosition)
{
    m_pPin->AddRef();
}

CEnumMediaTypesImpl::~CEnumMediaTypesImpl()
{
    m_pPin->Release();
}

STDMETHODIMP CEnumMediaTypesImpl::QueryInterface(REFIID riid, void** ppv)
{
    return QueryEnumerator(this, IID_IEnumMediaTypes, riid, ppv);
}

STDMETHODIMP_(ULONG) CEnumMediaTypesImpl::AddRef()
{
    return static_cast<ULONG>(::InterlockedIncrement(&m_cRef));
}

STDMETHODIMP_(ULONG) CEnumMediaTypesImpl::Release()
{
    const LONG cRef = ::InterlockedDecrement(&m_cRef);
    if (cRef == 0)
        delete this;
    return static_cast<ULONG>(cRef);
}

STDMETHODIMP CEnumMediaTypesImpl::Next(ULONG cTypes, AM_MEDIA_TYPE** ppTypes, ULONG* pcFetched)
{
    if (ppTypes == nullptr || (cTypes > 1 && pcFetched == nullptr))
        return E_POINTER;
    ULONG cFetched = 0;
    while (cFetched < cTypes)
    {
        CMediaTypeHolder mt;
        if (m_pPin->GetMediaType(m_nPosition, mt) != S_OK)
            break;
        AM_MEDIA_TYPE* pmt = CreateMediaTypeCopy(mt.Get());
        if (pmt == nullptr)
            break;
        ++m_nPosition;
        ppTypes[cFetched++] = pmt;
    }
    if (pcFetched != nullptr)
        *pcFetched = cFetched;
    return cFetched == cTypes ? S_OK : S_FALSE;
}

STDMETHODIMP CEnumMediaTypesImpl::Skip(ULONG cTypes)
{
    for (; cTypes > 0; --cTypes)
    {
        CMediaTypeHolder mt;
        if (m_pPin->GetMediaType(m_nPosition, mt) != S_OK)
            return S_FALSE;
        ++m_nPosition;
    }
    return S_OK;
}

STDMETHODIMP CEnumMediaTypesImpl::Reset()
{
    m_nPosition = 0;
    return S_OK;
}

STDMETHODIMP CEnumMediaTypesImpl::Clone(IEnumMediaTypes** ppEnum)
{
    if (ppEnum == nullptr)
        return E_POINTER;
    *ppEnum = new (std::nothrow) CEnumMediaTypesImpl(m_pPin, m_nPosition);
    return *ppEnum != nullptr ? S_OK : E_OUTOFMEMORY;
}
