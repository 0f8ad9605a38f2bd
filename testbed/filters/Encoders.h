// The H.264 and AAC encoders, which wrap the encoder cores in h264/ and
// aac/. The H.264 encoder turns each picture into one access unit. The AAC
// encoder gathers PCM buffers of any length into access units of 1024
// samples a channel, each stamped from the count of samples since the
// stream (re)started.
#pragma once

#include "aac/AacEncoder.h"
#include "base/TransformFilter.h"
#include "h264/H264Encoder.h"

#include <atomic>
#include <cstddef>
#include <memory>
#include <vector>

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
    HRESULT ReceiveSample(IMediaSample* pIn) override;
    HRESULT EndOfStream() override;
    void OnRestart() override { m_bRestart = true; }

private:
    CAacEncoder();

    void RestartIfAsked(IMediaSample* pFirst);
    HRESULT DeliverUnits();

    // Made for the connected PCM while stopped; used by the streaming
    // thread only, as are the access units it hands out and the times.
    std::unique_ptr<aac::Encoder> m_spEncoder;
    WORD m_nBlockAlign = 4;
    std::vector<aac::AccessUnit> m_units;
    bool m_bTimed = false;         // the stream's first sample came with a time
    REFERENCE_TIME m_rtStart = 0;  // that time
    bool m_bDiscontinuity = false; // the next access unit starts the stream
    // A run, a flush or a new segment asks for a fresh start, from any thread.
    std::atomic<bool> m_bRestart{true};
};
