// The pin and media-type enumerators. A filter's pins and a pin's preferred
// types are fixed lists, so an enumerator is only a position.
#pragma once

#include "DllModule.h"

#include <dshow.h>

class CFilterBase;
class CPinBase;

class CEnumPinsImpl final : public IEnumPins
{
public:
    CEnumPinsImpl(CFilterBase* pFilter, int nPosition);

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP Next(ULONG cPins, IPin** ppPins, ULONG* pcFetched) override;
    STDMETHODIMP Skip(ULONG cPins) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumPins** ppEnum) override;

private:
    ~CEnumPinsImpl();

    CModuleObject m_moduleObject;
    volatile LONG m_cRef = 1;
    CFilterBase* const m_pFilter; // holds a reference
    int m_nPosition;
};

class CEnumMediaTypesImpl final : public IEnumMediaTypes
{
public:
    CEnumMediaTypesImpl(CPinBase* pPin, int nPosition);

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP Next(ULONG cTypes, AM_MEDIA_TYPE** ppTypes, ULONG* pcFetched) override;
    STDMETHODIMP Skip(ULONG cTypes) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumMediaTypes** ppEnum) override;

private:
    ~CEnumMediaTypesImpl();

    CModuleObject m_moduleObject;
    volatile LONG m_cRef = 1;
    CPinBase* const m_pPin; // holds a reference
    int m_nPosition;
};
