#include "Encoders.h"

#include "MediaFormats.h"
#include "VelkFilters.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace
{

constexpr long kOutputBuffers = 4;
// The largest access unit of a 640x368 picture: every macroblock raw (384
// bytes and its header), with the parameter sets.
constexpr long kH264BufferSize = 512 * 1024;
// The largest access unit of two channels.
constexpr long kAacBufferSize = aac::kMostBitsPerChannel * 2 / 8;

// The input's payload and the output's buffer of one transform.
HRESULT Buffers(IMediaSample* pIn, IMediaSample* pOut, BYTE*& pbIn, long& cbIn, BYTE*& pbOut)
{
    HRESULT hr = pIn->GetPointer(&pbIn);
    if (FAILED(hr))
        return hr;
    hr = pOut->GetPointer(&pbOut);
    if (FAILED(hr))
        return hr;
    cbIn = pIn->GetActualDataLength();
    return S_OK;
}

void SetOutputBuffers(long cbBuffer, ALLOCATOR_PROPERTIES& props)
{
    props.cBuffers = kOutputBuffers;
    props.cbBuffer = cbBuffer;
    props.cbAlign = 1;
    props.cbPrefix = 0;
}

} // namespace

// ---------------------------------------------------------------------------
// CH264Encoder

CH264Encoder::CH264Encoder() : CSampleTransformFilter(CLSID_VelkH264Encoder) {}

HRESULT CH264Encoder::Create(REFIID riid, void** ppv)
{
    return QueryNewObject(new (std::nothrow) CH264Encoder(), riid, ppv);
}

// The encoder reads 32-bit pixels only.
HRESULT CH264Encoder::CheckInputType(const AM_MEDIA_TYPE& mt)
{
    return IsRawVideoType(mt) && IsEqualGUID(mt.subtype, MEDIASUBTYPE_RGB32) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

// First the type that carries the parameter sets; then the plain one, which
// graphs saved before ask for.
HRESULT CH264Encoder::GetOutputType(int nIndex, const AM_MEDIA_TYPE& mtIn, CMediaTypeHolder& mtOut)
{
    if (nIndex < 0)
        return E_INVALIDARG;
    const VIDEOINFOHEADER* pvih = FormatOf<VIDEOINFOHEADER>(mtIn, FORMAT_VideoInfo);
    if (pvih == nullptr || !m_spEncoder)
        return VFW_E_TYPE_NOT_ACCEPTED;
    switch (nIndex)
    {
    case 0: {
        const std::vector<uint8_t>& sps = m_spEncoder->SequenceParameterSet();
        const std::vector<uint8_t>& pps = m_spEncoder->PictureParameterSet();
        return MakeH264SequenceType(*pvih, sps.data(), sps.size(), pps.data(), pps.size(), mtOut);
    }
    case 1:
        return MakeH264VideoType(*pvih, mtOut);
    default:
        return VFW_S_NO_MORE_ITEMS;
    }
}

void CH264Encoder::GetOutputBuffers(const AM_MEDIA_TYPE&, ALLOCATOR_PROPERTIES& props)
{
    SetOutputBuffers(kH264BufferSize, props);
}

// A new encoder for the connected picture: bottom-up unless the height is
// negative, 32 bits a pixel.
void CH264Encoder::OnInputConnected(const AM_MEDIA_TYPE& mt)
{
    m_spEncoder.reset();
    const VIDEOINFOHEADER* pvih = FormatOf<VIDEOINFOHEADER>(mt, FORMAT_VideoInfo);
    if (pvih == nullptr)
        return;
    h264::EncoderSettings settings;
    settings.nWidth = pvih->bmiHeader.biWidth;
    settings.nHeight = std::abs(pvih->bmiHeader.biHeight);
    m_cbStride = static_cast<std::ptrdiff_t>(settings.nWidth) * 4;
    m_bBottomUp = pvih->bmiHeader.biHeight > 0;
    if (h264::Encoder::Create(settings, m_spEncoder) != h264::Status::Ok)
        m_spEncoder.reset();
}

// One access unit for each picture; after a discontinuity (the start, a
// seek) an IDR picture with its parameter sets.
HRESULT CH264Encoder::Transform(IMediaSample* pIn, IMediaSample* pOut)
{
    BYTE* pbIn = nullptr;
    BYTE* pbOut = nullptr;
    long cbIn = 0;
    const HRESULT hr = Buffers(pIn, pOut, pbIn, cbIn, pbOut);
    if (FAILED(hr))
        return hr;
    if (!m_spEncoder)
        return VFW_E_TYPE_NOT_ACCEPTED;
    if (cbIn <= 0)
        return E_INVALIDARG;

    const h264::BgrxImage image{pbIn, static_cast<size_t>(cbIn), m_cbStride, m_bBottomUp};
    h264::Status status = h264::Status::Ok;
    try
    {
        status = m_spEncoder->Encode(image, pIn->IsDiscontinuity() == S_OK, m_frame);
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
    if (status != h264::Status::Ok)
        return E_INVALIDARG; // a picture of the wrong size
    if (m_frame.bytes.size() > static_cast<size_t>(pOut->GetSize()))
        return VFW_E_BUFFER_OVERFLOW;
    std::memcpy(pbOut, m_frame.bytes.data(), m_frame.bytes.size());
    pOut->SetSyncPoint(m_frame.bKeyFrame ? TRUE : FALSE);
    return pOut->SetActualDataLength(static_cast<long>(m_frame.bytes.size()));
}

// ---------------------------------------------------------------------------
// CAacEncoder

CAacEncoder::CAacEncoder() : CSampleTransformFilter(CLSID_VelkAACEncoder) {}

HRESULT CAacEncoder::Create(REFIID riid, void** ppv)
{
    return QueryNewObject(new (std::nothrow) CAacEncoder(), riid, ppv);
}

HRESULT CAacEncoder::CheckInputType(const AM_MEDIA_TYPE& mt)
{
    return IsPcmAudioType(mt) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

// A new encoder for the connected PCM, at 64 kbit/s a channel.
void CAacEncoder::OnInputConnected(const AM_MEDIA_TYPE& mt)
{
    m_spEncoder.reset();
    const WAVEFORMATEX* pwfx = FormatOf<WAVEFORMATEX>(mt, FORMAT_WaveFormatEx);
    if (pwfx == nullptr)
        return;
    m_nBlockAlign = pwfx->nBlockAlign;
    aac::EncoderSettings settings;
    settings.nSampleRate = static_cast<int>(pwfx->nSamplesPerSec);
    settings.nChannels = pwfx->nChannels;
    if (aac::Encoder::Create(settings, m_spEncoder) != aac::Status::Ok)
        m_spEncoder.reset();
    m_bRestart = true;
}

HRESULT CAacEncoder::GetOutputType(int nIndex, const AM_MEDIA_TYPE& mtIn, CMediaTypeHolder& mtOut)
{
    if (nIndex < 0)
        return E_INVALIDARG;
    if (nIndex > 0)
        return VFW_S_NO_MORE_ITEMS;
    const WAVEFORMATEX* pwfx = FormatOf<WAVEFORMATEX>(mtIn, FORMAT_WaveFormatEx);
    if (pwfx == nullptr)
        return VFW_E_TYPE_NOT_ACCEPTED;
    return MakeAacAudioType(*pwfx, mtOut);
}

void CAacEncoder::GetOutputBuffers(const AM_MEDIA_TYPE&, ALLOCATOR_PROPERTIES& props)
{
    SetOutputBuffers(kAacBufferSize, props);
}

// The first sample after a new start sets the time the access units count
// from, and the first of them marks the discontinuity.
void CAacEncoder::RestartIfAsked(IMediaSample* pFirst)
{
    if (!m_bRestart.exchange(false))
        return;
    m_spEncoder->Reset();
    REFERENCE_TIME rtStop = 0;
    const HRESULT hr = pFirst != nullptr ? pFirst->GetTime(&m_rtStart, &rtStop) : E_FAIL;
    m_bTimed = hr == S_OK || hr == VFW_S_NO_STOP_TIME;
    m_bDiscontinuity = true;
}

// Any whole number of PCM frames; the access units they complete go on.
HRESULT CAacEncoder::ReceiveSample(IMediaSample* pIn)
{
    if (!m_spEncoder)
        return VFW_E_TYPE_NOT_ACCEPTED;
    // The input type was checked for it; a zero would still not divide.
    if (m_nBlockAlign == 0)
        return VFW_E_INVALIDMEDIATYPE;
    BYTE* pbIn = nullptr;
    HRESULT hr = pIn->GetPointer(&pbIn);
    if (FAILED(hr))
        return hr;
    const long cbIn = pIn->GetActualDataLength();
    if (cbIn <= 0 || cbIn % m_nBlockAlign != 0)
        return E_INVALIDARG;

    RestartIfAsked(pIn);
    m_units.clear();
    try
    {
        m_spEncoder->Encode(reinterpret_cast<const int16_t*>(pbIn), static_cast<size_t>(cbIn / m_nBlockAlign),
                            m_units);
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
    return DeliverUnits();
}

// What the encoder holds comes out before the end goes on.
HRESULT CAacEncoder::EndOfStream()
{
    if (m_spEncoder)
    {
        RestartIfAsked(nullptr);
        m_units.clear();
        try
        {
            m_spEncoder->Finish(m_units);
        }
        catch (const std::bad_alloc&)
        {
            m_units.clear();
        }
        DeliverUnits(); // the end goes on whatever became of them
    }
    return CSampleTransformFilter::EndOfStream();
}

HRESULT CAacEncoder::DeliverUnits()
{
    const LONGLONG llRate = m_spEncoder->Settings().nSampleRate;
    for (const aac::AccessUnit& unit : m_units)
    {
        CComRef<IMediaSample> spOut;
        HRESULT hr = Output().GetDeliveryBuffer(spOut);
        if (FAILED(hr))
            return hr;
        BYTE* pbOut = nullptr;
        hr = spOut->GetPointer(&pbOut);
        if (FAILED(hr))
            return hr;
        if (unit.bytes.size() > static_cast<size_t>(spOut->GetSize()))
            return VFW_E_BUFFER_OVERFLOW;
        std::memcpy(pbOut, unit.bytes.data(), unit.bytes.size());
        spOut->SetActualDataLength(static_cast<long>(unit.bytes.size()));
        if (m_bTimed)
        {
            // From the sample count, so that no rounding adds up.
            REFERENCE_TIME rtStart = m_rtStart + unit.nFirstSample * kUnitsPerSecond / llRate;
            REFERENCE_TIME rtStop = m_rtStart + (unit.nFirstSample + aac::kFrameLength) * kUnitsPerSecond / llRate;
            spOut->SetTime(&rtStart, &rtStop);
        }
        else
        {
            spOut->SetTime(nullptr, nullptr);
        }
        spOut->SetMediaTime(nullptr, nullptr);
        spOut->SetSyncPoint(TRUE);
        spOut->SetDiscontinuity(m_bDiscontinuity ? TRUE : FALSE);
        spOut->SetPreroll(FALSE);
        m_bDiscontinuity = false;
        hr = Output().Deliver(spOut.Get());
        if (hr != S_OK)
            return hr;
    }
    return S_OK;
}
