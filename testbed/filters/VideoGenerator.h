// The video generator: a source with a video and an audio output pin, each
// streaming the test stream on its own thread, both from one position.
#pragma once

#include "base/PushSource.h"

#include "VelkFilters.h"

// The test pattern, one RGB32 picture a frame.
class CTestPatternFrames : public CFrameSource
{
public:
    HRESULT GetMediaType(CMediaTypeHolder& mt) override;
    void GetBufferRequirements(ALLOCATOR_PROPERTIES& props) override;
    HRESULT FillFrame(LONGLONG llFrame, REFERENCE_TIME rtStart, REFERENCE_TIME rtStop, IMediaSample* pSample) override;
};

// The tone, 1024 PCM frames a buffer.
class CToneFrames : public CFrameSource
{
public:
    HRESULT GetMediaType(CMediaTypeHolder& mt) override;
    void GetBufferRequirements(ALLOCATOR_PROPERTIES& props) override;
    HRESULT FillFrame(LONGLONG llFrame, REFERENCE_TIME rtStart, REFERENCE_TIME rtStop, IMediaSample* pSample) override;
};

class CVideoGenerator : public CPushSourceFilter, public IVelkVideoGenerator, public IVelkGeneratorStatistics
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

protected:
    HRESULT QueryFilterInterface(REFIID riid, void** ppv) override;
    int StreamCount() const override { return 2; }
    CPushPin* StreamAt(int nIndex) override;

private:
    CVideoGenerator();

    // The frame sources before the pins: the pins' threads use them until
    // the pins are destroyed.
    CTestPatternFrames m_videoFrames;
    CToneFrames m_audioFrames;
    CPushPin m_video;
    CPushPin m_audio;
};
