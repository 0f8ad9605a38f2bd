// The H.264 and AAC encoders. The H.264 encoder wraps the encoder core in
// h264/. The AAC encoder turns each buffer of up to 1024 PCM frames into one
// standard AAC-LC frame, but without its spectrum yet (aac/SilentFrame.h):
// players decode the stream cleanly, as silence, and every sample, time
// stamp and flag can still be followed through to the server.
#pragma once

#include "base/TransformFilter.h"
#include "h264/H264Encoder.h"

#include <cstddef>
#include <memory>

class CH264Encoder : public CSampleTransformFilter
{
public:
    static HRESULT Create(REFIID riid, void** ppv);

    HRESULT CheckInputType(const AM_MEDIA_TYPE& mt) override;
    HRESULT GetOutputType(int nIndex, const AM_MEDIA_TYPE& mtIn, CMediaTypeHolder& mtOut) override;
    void GetOutputBuffers(const AM_MEDIA_TYPE& mtOut, ALLOCATOR_PROPERTIES& props) override;
    HRESULT Transform(IMediaSample* pIn, IMediaSample* pOut) override;

    void OnInputConnected(const AM_MEDIA_TYPE& mt) override;

private:
    CH264Encoder();

    // Made for the connected picture while stopped; used by the streaming
    // thread only, as is the access unit it writes into.
    std::unique_ptr<h264::Encoder> m_spEncoder;
    std::ptrdiff_t m_cbStride = 0;
    bool m_bBottomUp = true;
    h264::EncodedFrame m_frame;
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

    // Block alignment and channels of the connected PCM, set while stopped.
    WORD m_nBlockAlign = 4;
    WORD m_nChannels = 2;
};
