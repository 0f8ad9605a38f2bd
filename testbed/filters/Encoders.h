// The H.264 and AAC encoders. Their "encoding" is a cheap, deterministic
// stand-in: each input sample becomes one compact access unit that names the
// frame and carries a hash of its raw data, so every sample, time stamp and
// flag can be followed through to the server.
#pragma once

#include "base/TransformFilter.h"

class CH264Encoder : public CSampleTransformFilter
{
public:
    static HRESULT Create(REFIID riid, void** ppv);

    HRESULT CheckInputType(const AM_MEDIA_TYPE& mt) override;
    HRESULT GetOutputType(int nIndex, const AM_MEDIA_TYPE& mtIn, CMediaTypeHolder& mtOut) override;
    void GetOutputBuffers(const AM_MEDIA_TYPE& mtOut, ALLOCATOR_PROPERTIES& props) override;
    HRESULT Transform(IMediaSample* pIn, IMediaSample* pOut) override;

private:
    CH264Encoder();

    // Frames since the last key frame; touched only by the streaming thread.
    LONG m_nFrameInGop = 0;
};

class CAacEncoder : public CSampleTransformFilter
{
public:
    static HRESULT Create(REFIID riid, void** ppv);

    HRESULT CheckInputType(const AM_MEDIA_TYPE& mt) override;
    void OnInputConnected(const AM_MEDIA_TYPE& mt) override;
    HRESULT GetOutputType(int nIndex, const AM_MEDIA_TYPE& mtIn, CMediaTypeHolder& mtOut) override;
    void GetOutputBuffers(const AM_MEDIA_TYPE& mtOut, ALLOCATOR_PROPERTIES& props) override;
    HRESULT Transform(IMediaSample* pIn, IMediaSample* pOut) override;

private:
    CAacEncoder();

    // Block alignment of the connected PCM, set while stopped.
    WORD m_nBlockAlign = 4;
};
