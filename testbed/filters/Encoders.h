// The H.264 and AAC encoders. The H.264 encoder wraps the encoder core in
// h264/; the AAC encoder is still a cheap, deterministic stand-in: each input
// sample becomes one compact access unit that names the frame and carries a
// hash of its raw data, so every sample, time stamp and flag can be followed
// through to the server.
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

    // Block alignment of the connected PCM, set while stopped.
    WORD m_nBlockAlign = 4;
};
