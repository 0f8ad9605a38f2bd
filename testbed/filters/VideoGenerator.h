// The video generator: a source with a video and an audio output pin, each
// streaming the test stream on its own thread.
#pragma once

#include "base/Filter.h"
#include "base/PushPin.h"

#include "VelkFilters.h"

class CTestPatternPin : public CPushPin
{
public:
    explicit CTestPatternPin(CFilterBase* pFilter);

    HRESULT CheckMediaType(const AM_MEDIA_TYPE& mt) override;
    HRESULT GetMediaType(int nIndex, CMediaTypeHolder& mt) override;

protected:
    void GetBufferRequirements(ALLOCATOR_PROPERTIES& props) override;
    HRESULT FillFrame(LONGLONG llFrame, REFERENCE_TIME rtStart, REFERENCE_TIME rtStop, IMediaSample* pSample) override;
};

class CTonePin : public CPushPin
{
public:
    explicit CTonePin(CFilterBase* pFilter);

    HRESULT CheckMediaType(const AM_MEDIA_TYPE& mt) override;
    HRESULT GetMediaType(int nIndex, CMediaTypeHolder& mt) override;

protected:
    void GetBufferRequirements(ALLOCATOR_PROPERTIES& props) override;
    HRESULT FillFrame(LONGLONG llFrame, REFERENCE_TIME rtStart, REFERENCE_TIME rtStop, IMediaSample* pSample) override;
};

class CVideoGenerator : public CFilterBase, public IVelkVideoGenerator, public IVelkGeneratorStatistics
{
public:
    static HRESULT Create(REFIID riid, void** ppv);

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return CFilterBase::QueryInterface(riid, ppv); }
    STDMETHODIMP_(ULONG) AddRef() override { return CFilterBase::AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return CFilterBase::Release(); }

    // IVelkVideoGenerator
    STDMETHODIMP SetMode(LONG lMode) override;
    // IVelkGeneratorStatistics
    STDMETHODIMP GetDeliveredSamples(LONG eStream, LONGLONG* pcSamples) override;

    int PinCount() const override { return 2; }
    CPinBase* PinAt(int nIndex) override;

protected:
    HRESULT QueryFilterInterface(REFIID riid, void** ppv) override;

private:
    CVideoGenerator();
    ~CVideoGenerator() override;

    CPushPin* StreamPin(LONG eStream);

    CTestPatternPin m_video;
    CTonePin m_audio;
};
