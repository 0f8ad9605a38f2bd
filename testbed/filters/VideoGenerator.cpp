#include "VideoGenerator.h"

#include "MediaFormats.h"
#include "TestPattern.h"

#include <cstring>
#include <new>

namespace
{

constexpr REFERENCE_TIME kDefaultLength = 10 * kUnitsPerSecond;
constexpr REFERENCE_TIME kShortLength = 2 * kUnitsPerSecond;

// Buffers a pin keeps in flight: one being presented downstream, one being
// filled.
constexpr long kBuffersPerPin = 2;

} // namespace

// ---------------------------------------------------------------------------
// CTestPatternFrames

HRESULT CTestPatternFrames::GetMediaType(CMediaTypeHolder& mt)
{
    return MakeRgb32VideoType(mt);
}

void CTestPatternFrames::GetBufferRequirements(ALLOCATOR_PROPERTIES& props)
{
    props.cBuffers = kBuffersPerPin;
    props.cbBuffer = kVideoWidth * kVideoHeight * 4;
    props.cbAlign = 1;
    props.cbPrefix = 0;
}

HRESULT CTestPatternFrames::FillFrame(LONGLONG llFrame, REFERENCE_TIME, REFERENCE_TIME, IMediaSample* pSample)
{
    const long cbFrame = kVideoWidth * kVideoHeight * 4;
    BYTE* pb = nullptr;
    HRESULT hr = pSample->GetPointer(&pb);
    if (FAILED(hr))
        return hr;
    if (pSample->GetSize() < cbFrame)
        return VFW_E_BUFFER_OVERFLOW;
    DrawTestPattern(pb, kVideoWidth, kVideoHeight, llFrame, kVideoFramesPerSecond);
    return pSample->SetActualDataLength(cbFrame);
}

// ---------------------------------------------------------------------------
// CToneFrames

HRESULT CToneFrames::GetMediaType(CMediaTypeHolder& mt)
{
    return MakePcmAudioType(mt);
}

void CToneFrames::GetBufferRequirements(ALLOCATOR_PROPERTIES& props)
{
    props.cBuffers = kBuffersPerPin;
    props.cbBuffer = static_cast<long>(kAudioFramesPerBuffer * kAudioChannels * sizeof(short));
    props.cbAlign = 1;
    props.cbPrefix = 0;
}

// A buffer holds 1024 audio frames; the last one ends at the stop position.
HRESULT CToneFrames::FillFrame(LONGLONG llFrame, REFERENCE_TIME, REFERENCE_TIME rtStop, IMediaSample* pSample)
{
    const LONGLONG llFirst = llFrame * kAudioFramesPerBuffer;
    const LONGLONG llEnd = (rtStop * kAudioRate + kUnitsPerSecond - 1) / kUnitsPerSecond;
    LONGLONG llCount = llEnd - llFirst;
    if (llCount > kAudioFramesPerBuffer)
        llCount = kAudioFramesPerBuffer;
    if (llCount < 1)
        llCount = 1;
    const long cb = static_cast<long>(llCount * kAudioChannels * sizeof(short));

    BYTE* pb = nullptr;
    HRESULT hr = pSample->GetPointer(&pb);
    if (FAILED(hr))
        return hr;
    if (pSample->GetSize() < cb)
        return VFW_E_BUFFER_OVERFLOW;
    WriteTone(reinterpret_cast<short*>(pb), kAudioChannels, kAudioRate, llFirst, static_cast<LONG>(llCount));
    return pSample->SetActualDataLength(cb);
}

// ---------------------------------------------------------------------------
// CVideoGenerator

HRESULT CVideoGenerator::Create(REFIID riid, void** ppv)
{
    return QueryNewObject(new (std::nothrow) CVideoGenerator(), riid, ppv);
}

CVideoGenerator::CVideoGenerator()
    : CPushSourceFilter(CLSID_VelkVideoGenerator),
      m_video(this, L"Video", &m_videoFrames, kUnitsPerSecond, kVideoFramesPerSecond),
      m_audio(this, L"Audio", &m_audioFrames, kAudioFramesPerBuffer * kUnitsPerSecond, kAudioRate)
{
    SetDuration(kDefaultLength);
}

HRESULT CVideoGenerator::QueryFilterInterface(REFIID riid, void** ppv)
{
    if (IsEqualIID(riid, IID_IVelkVideoGenerator))
        *ppv = static_cast<IVelkVideoGenerator*>(this);
    else if (IsEqualIID(riid, IID_IVelkGeneratorStatistics))
        *ppv = static_cast<IVelkGeneratorStatistics*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

CPushPin* CVideoGenerator::StreamAt(int nIndex)
{
    switch (nIndex)
    {
    case VelkStreamVideo:
        return &m_video;
    case VelkStreamAudio:
        return &m_audio;
    default:
        return nullptr;
    }
}

STDMETHODIMP CVideoGenerator::SetMode(LONG lMode)
{
    REFERENCE_TIME rtLength = 0;
    switch (lMode)
    {
    case VelkModeDefaultStream:
        rtLength = kDefaultLength;
        break;
    case VelkModeShortStream:
        rtLength = kShortLength;
        break;
    default:
        return E_INVALIDARG;
    }
    return SetDuration(rtLength);
}

STDMETHODIMP CVideoGenerator::GetDeliveredSamples(LONG eStream, LONGLONG* pcSamples)
{
    if (pcSamples == nullptr)
        return E_POINTER;
    CPushPin* pPin = StreamAt(eStream);
    if (pPin == nullptr)
        return E_INVALIDARG;
    *pcSamples = pPin->DeliveredSamples();
    return S_OK;
}
