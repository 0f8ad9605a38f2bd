// COutputPinBase: an output pin that delivers samples to an IMemInputPin
// through an allocator it agreed on with that pin.
#pragma once

#include "Pin.h"

class COutputPinBase : public CPinBase
{
public:
    HRESULT Active() override;
    void Inactive() override;

    // Streaming calls. They take no lock: the connection they use changes
    // only while the filter is stopped, and they are made only while it is
    // not.
    HRESULT GetDeliveryBuffer(CComRef<IMediaSample>& spSample);
    HRESULT Deliver(IMediaSample* pSample);
    HRESULT DeliverEndOfStream();
    HRESULT DeliverBeginFlush();
    HRESULT DeliverEndFlush();
    HRESULT DeliverNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate);

protected:
    COutputPinBase(CFilterBase* pFilter, LPCWSTR pszName);

    // The buffers the pin needs for the connection type m_mt.
    virtual void GetBufferRequirements(ALLOCATOR_PROPERTIES& props) = 0;

    HRESULT CompleteConnect(IPin* pPeer) override;
    void BreakConnect() override;

private:
    HRESULT DecideAllocator(IMemInputPin* pInput);
    HRESULT TryAllocator(IMemInputPin* pInput, IMemAllocator* pAllocator);

    CComRef<IMemInputPin> m_spInput;
    CComRef<IMemAllocator> m_spAllocator;
};
