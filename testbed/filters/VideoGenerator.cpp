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

// The one type a pin streams, and whether mt is it.
HRESULT CheckExactType(const AM_MEDIA_TYPE& mt, HRESULT (*pfnMake)(CMediaTypeHolder&))
{
    CMediaTypeHolder mtOwn;
    const HRESULT hr = pfnMake(mtOwn);
    if (FAILED(hr))
        return hr;
    const AM_MEDIA_TYPE& t = mtOwn.Get();
    const bool bSame = IsEqualGUID(mt.majortype, t.majortype) && IsEqualGUID(mt.subtype, t.subtype) &&
                       IsEqualGUID(mt.formattype, t.formattype) && mt.cbFormat == t.cbFormat &&
                       ::memcmp(mt.pbFormat, t.pbFormat, t.cbFormat) == 0;
    return bSame ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT OfferOnly(int nIndex, CMediaTypeHolder& mt, HRESULT (*pfnMake)(CMediaTypeHolder&))
{
    if (nIndex < 0)
        return E_INVALIDARG;
    return nIndex == 0 ? pfnMake(mt) : VFW_S_NO_MORE_ITEMS;
}

} // namespace

// ---------------------------------------------------------------------------
// CTestPatternPin

CTestPatternPin::CTestPatternPin(CFilterBase* pFilter)
    : CPushPin(pFilter, L"Video", kUnitsPerSecond, kVideoFramesPerSecond)
{
}

HRESULT CTestPatternPin::CheckMediaType(const AM_MEDIA_TYPE& mt)
{
    return CheckExactType(mt, MakeRgb32VideoType);
}

HRESULT CTestPatternPin::GetMediaType(int nIndex, CMediaTypeHolder& mt)
{
    return OfferOnly(nIndex, mt, MakeRgb32VideoType);
}

void CTestPatternPin::GetBufferRequirements(ALLOCATOR_PROPERTIES& props)
{
    props.cBuffers = kBuffersPerPin;
    props.cbBuffer = kVideoWidth * kVideoHeight * 4;
    props.cbAlign = 1;
    props.cbPrefix = 0;
}

HRESULT CTestPatternPin::FillFrame(LONGLONG llFrame, REFERENCE_TIME, REFERENCE_TIME, IMediaSample* pSample)
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
// CTonePin

CTonePin::CTonePin(CFilterBase* pFilter) : CPushPin(pFilter, L"Audio", kAudioFramesPerBuffer * kUnitsPerSecond, kAudioRate)
{
}

HRESULT CTonePin::CheckMediaType(const AM_MEDIA_TYPE& mt)
{
    return CheckExactType(mt, MakePcmAudioType);
}

HRESULT CTonePin::GetMediaType(int nIndex, CMediaTypeHolder& mt)
{
    return OfferOnly(nIndex, mt, MakePcmAudioType);
}

void CTonePin::GetBufferRequirements(ALLOCATOR_PROPERTIES& props)
{
    props.cBuffers = kBuffersPerPin;
    props.cbBuffer = static_cast<long>(kAudioFramesPerBuffer * kAudioChannels * sizeof(short));
    props.cbAlign = 1;
    props.cbPrefix = 0;
}

// A buffer holds 1024 audio frames; the last one ends at the stop position.
HRESULT CTonePin::FillFrame(LONGLONG llFrame, REFERENCE_TIME, REFERENCE_TIME rtStop, IMediaSample* pSample)
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

CVideoGenerator::CVideoGenerator() : CFilterBase(CLSID_VelkVideoGenerator), m_video(this), m_audio(this)
{
    m_video.SetDuration(kDefaultLength);
    m_audio.SetDuration(kDefaultLength);
}

// The graph stops its filters before it lets them go; should it not, the
// streaming threads still end here, before the pins they use are destroyed.
CVideoGenerator::~CVideoGenerator()
{
    Stop();
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

CPinBase* CVideoGenerator::PinAt(int nIndex)
{
    switch (nIndex)
    {
    case 0:
        return &m_video;
    case 1:
        return &m_audio;
    default:
        return nullptr;
    }
}

CPushPin* CVideoGenerator::StreamPin(LONG eStream)
{
    switch (eStream)
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
    CLockGuard lock(FilterLock());
    if (StateLocked() != State_Stopped)
        return VFW_E_NOT_STOPPED;
    m_video.SetDuration(rtLength);
    m_audio.SetDuration(rtLength);
    return S_OK;
}

STDMETHODIMP CVideoGenerator::GetDeliveredSamples(LONG eStream, LONGLONG* pcSamples)
{
    if (pcSamples == nullptr)
        return E_POINTER;
    CPushPin* pPin = StreamPin(eStream);
    if (pPin == nullptr)
        return E_INVALIDARG;
    *pcSamples = pPin->DeliveredSamples();
    return S_OK;
}
