#include "MediaFormats.h"

#include <dvdmedia.h>
#include <mmreg.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace
{

// The sampling rates AAC knows, in the order of its frequency index.
constexpr DWORD kAacRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000};

int AacRateIndex(DWORD dwRate)
{
    for (int i = 0; i < static_cast<int>(sizeof(kAacRates) / sizeof(kAacRates[0])); ++i)
    {
        if (kAacRates[i] == dwRate)
            return i;
    }
    return -1;
}

// WAVEFORMATEX followed by the two bytes of an AAC-LC AudioSpecificConfig.
struct AacWaveFormat
{
    WAVEFORMATEX wfx;
    BYTE rgbConfig[2];
};

// Pictures from one pixel up to 16384 on a side; a bottom-up picture has a
// positive height, a top-down one a negative height.
constexpr LONG kMaxPictureSide = 16384;

bool HasPictureSize(const BITMAPINFOHEADER& bmih)
{
    return bmih.biWidth > 0 && bmih.biWidth <= kMaxPictureSide && bmih.biHeight != 0 &&
           bmih.biHeight >= -kMaxPictureSide && bmih.biHeight <= kMaxPictureSide;
}

constexpr DWORD kH264BitRate = 2000000;
// Far above what an SPS or PPS takes; a longer one is not ours.
constexpr size_t kMaxParameterSetBytes = 1024;
constexpr BYTE kStartCode[] = {0, 0, 0, 1};

// The picture of the raw video, as the encoded stream describes it.
BITMAPINFOHEADER H264BitmapHeader(const BITMAPINFOHEADER& bmihIn)
{
    BITMAPINFOHEADER bmih = bmihIn;
    bmih.biBitCount = 24;
    bmih.biCompression = kFourccH264;
    bmih.biSizeImage = 0;
    return bmih;
}

void SetH264MajorFields(AM_MEDIA_TYPE& t)
{
    t.majortype = MEDIATYPE_Video;
    t.subtype = kSubtypeH264;
    t.bFixedSizeSamples = FALSE;
    t.bTemporalCompression = TRUE;
    t.lSampleSize = 0;
}

// A NAL unit with its start code at pb; returns where the next one goes.
BYTE* AppendNalUnit(BYTE* pb, const BYTE* pbNal, size_t cbNal)
{
    std::memcpy(pb, kStartCode, sizeof(kStartCode));
    std::memcpy(pb + sizeof(kStartCode), pbNal, cbNal);
    return pb + sizeof(kStartCode) + cbNal;
}

} // namespace

HRESULT MakeRgb32VideoType(CMediaTypeHolder& mt)
{
    VIDEOINFOHEADER vih = {};
    vih.AvgTimePerFrame = kUnitsPerSecond / kVideoFramesPerSecond;
    vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vih.bmiHeader.biWidth = kVideoWidth;
    vih.bmiHeader.biHeight = kVideoHeight; // bottom-up, as RGB DIBs are
    vih.bmiHeader.biPlanes = 1;
    vih.bmiHeader.biBitCount = 32;
    vih.bmiHeader.biCompression = BI_RGB;
    vih.bmiHeader.biSizeImage = kVideoWidth * kVideoHeight * 4;
    vih.dwBitRate = static_cast<DWORD>(vih.bmiHeader.biSizeImage * 8 * kVideoFramesPerSecond);

    mt.Clear();
    AM_MEDIA_TYPE& t = mt.Edit();
    t.majortype = MEDIATYPE_Video;
    t.subtype = MEDIASUBTYPE_RGB32;
    t.bFixedSizeSamples = TRUE;
    t.bTemporalCompression = FALSE;
    t.lSampleSize = vih.bmiHeader.biSizeImage;
    return mt.SetFormat(FORMAT_VideoInfo, &vih, sizeof(vih));
}

HRESULT MakePcmAudioType(CMediaTypeHolder& mt)
{
    WAVEFORMATEX wfx = {};
    wfx.wFormatTag = WAVE_FORMAT_PCM;
    wfx.nChannels = kAudioChannels;
    wfx.nSamplesPerSec = kAudioRate;
    wfx.wBitsPerSample = 16;
    wfx.nBlockAlign = static_cast<WORD>(wfx.nChannels * wfx.wBitsPerSample / 8);
    wfx.nAvgBytesPerSec = wfx.nSamplesPerSec * wfx.nBlockAlign;

    mt.Clear();
    AM_MEDIA_TYPE& t = mt.Edit();
    t.majortype = MEDIATYPE_Audio;
    t.subtype = MEDIASUBTYPE_PCM;
    t.bFixedSizeSamples = TRUE;
    t.lSampleSize = wfx.nBlockAlign;
    return mt.SetFormat(FORMAT_WaveFormatEx, &wfx, sizeof(wfx));
}

HRESULT MakeH264SequenceType(const VIDEOINFOHEADER& vihIn, const BYTE* pbSps, size_t cbSps, const BYTE* pbPps,
                             size_t cbPps, CMediaTypeHolder& mt)
{
    // Profile and level are the SPS's own bytes after its NAL header.
    if (pbSps == nullptr || pbPps == nullptr || cbSps < 4 || cbPps < 1 || cbSps > kMaxParameterSetBytes ||
        cbPps > kMaxParameterSetBytes)
        return E_INVALIDARG;
    const size_t cbHeader = 2 * sizeof(kStartCode) + cbSps + cbPps;
    std::vector<BYTE> format(offsetof(MPEG2VIDEOINFO, dwSequenceHeader) + cbHeader);
    MPEG2VIDEOINFO* pmvi = reinterpret_cast<MPEG2VIDEOINFO*>(format.data());
    VIDEOINFOHEADER2& hdr = pmvi->hdr;
    hdr.rcSource = vihIn.rcSource;
    hdr.rcTarget = vihIn.rcTarget;
    hdr.dwBitRate = kH264BitRate;
    hdr.AvgTimePerFrame = vihIn.AvgTimePerFrame;
    hdr.dwPictAspectRatioX = static_cast<DWORD>(vihIn.bmiHeader.biWidth);
    hdr.dwPictAspectRatioY = static_cast<DWORD>(std::abs(vihIn.bmiHeader.biHeight));
    hdr.bmiHeader = H264BitmapHeader(vihIn.bmiHeader);
    pmvi->cbSequenceHeader = static_cast<DWORD>(cbHeader);
    pmvi->dwProfile = pbSps[1];
    pmvi->dwLevel = pbSps[3];
    BYTE* pb = reinterpret_cast<BYTE*>(pmvi->dwSequenceHeader);
    pb = AppendNalUnit(pb, pbSps, cbSps);
    AppendNalUnit(pb, pbPps, cbPps);

    mt.Clear();
    SetH264MajorFields(mt.Edit());
    return mt.SetFormat(FORMAT_MPEG2Video, format.data(), static_cast<ULONG>(format.size()));
}

HRESULT MakeH264VideoType(const VIDEOINFOHEADER& vihIn, CMediaTypeHolder& mt)
{
    VIDEOINFOHEADER vih = vihIn;
    vih.dwBitRate = kH264BitRate;
    vih.bmiHeader = H264BitmapHeader(vihIn.bmiHeader);

    mt.Clear();
    SetH264MajorFields(mt.Edit());
    return mt.SetFormat(FORMAT_VideoInfo, &vih, sizeof(vih));
}

bool MakeAudioSpecificConfig(DWORD dwRate, WORD nChannels, BYTE (&rgbConfig)[2])
{
    const int nRateIndex = AacRateIndex(dwRate);
    if (nRateIndex < 0 || nChannels == 0 || nChannels > 7)
        return false;
    // Object type 2 (AAC LC, 5 bits), frequency index (4 bits), channel
    // configuration (4 bits), three zero bits.
    const unsigned uConfig = (2u << 11) | (static_cast<unsigned>(nRateIndex) << 7) | (nChannels << 3u);
    rgbConfig[0] = static_cast<BYTE>(uConfig >> 8);
    rgbConfig[1] = static_cast<BYTE>(uConfig & 0xFF);
    return true;
}

HRESULT MakeAacAudioType(const WAVEFORMATEX& wfxIn, CMediaTypeHolder& mt)
{
    AacWaveFormat format = {};
    if (!MakeAudioSpecificConfig(wfxIn.nSamplesPerSec, wfxIn.nChannels, format.rgbConfig))
        return VFW_E_TYPE_NOT_ACCEPTED;

    format.wfx.wFormatTag = kWaveFormatRawAac1;
    format.wfx.nChannels = wfxIn.nChannels;
    format.wfx.nSamplesPerSec = wfxIn.nSamplesPerSec;
    format.wfx.nAvgBytesPerSec = 64000 / 8 * wfxIn.nChannels; // the AAC Encoder's rate
    format.wfx.nBlockAlign = 1;
    format.wfx.cbSize = sizeof(format.rgbConfig);

    mt.Clear();
    AM_MEDIA_TYPE& t = mt.Edit();
    t.majortype = MEDIATYPE_Audio;
    t.subtype = kSubtypeRawAac1;
    t.bFixedSizeSamples = FALSE;
    t.bTemporalCompression = TRUE;
    t.lSampleSize = 0;
    return mt.SetFormat(FORMAT_WaveFormatEx, &format, sizeof(format));
}

bool IsRawVideoType(const AM_MEDIA_TYPE& mt)
{
    if (!IsEqualGUID(mt.majortype, MEDIATYPE_Video))
        return false;
    const VIDEOINFOHEADER* pvih = FormatOf<VIDEOINFOHEADER>(mt, FORMAT_VideoInfo);
    if (pvih == nullptr || !HasPictureSize(pvih->bmiHeader))
        return false;
    if (IsEqualGUID(mt.subtype, MEDIASUBTYPE_RGB32))
        return pvih->bmiHeader.biBitCount == 32;
    if (IsEqualGUID(mt.subtype, MEDIASUBTYPE_YUY2))
        return pvih->bmiHeader.biBitCount == 16;
    return false;
}

bool IsPcmAudioType(const AM_MEDIA_TYPE& mt)
{
    if (!IsEqualGUID(mt.majortype, MEDIATYPE_Audio) || !IsEqualGUID(mt.subtype, MEDIASUBTYPE_PCM))
        return false;
    const WAVEFORMATEX* pwfx = FormatOf<WAVEFORMATEX>(mt, FORMAT_WaveFormatEx);
    return pwfx != nullptr && pwfx->wFormatTag == WAVE_FORMAT_PCM && pwfx->wBitsPerSample == 16 &&
           (pwfx->nChannels == 1 || pwfx->nChannels == 2) &&
           (pwfx->nSamplesPerSec == 44100 || pwfx->nSamplesPerSec == 48000) &&
           pwfx->nBlockAlign == pwfx->nChannels * pwfx->wBitsPerSample / 8;
}

bool IsH264VideoType(const AM_MEDIA_TYPE& mt)
{
    if (!IsEqualGUID(mt.majortype, MEDIATYPE_Video) || !IsEqualGUID(mt.subtype, kSubtypeH264))
        return false;
    if (const VIDEOINFOHEADER* pvih = FormatOf<VIDEOINFOHEADER>(mt, FORMAT_VideoInfo))
        return HasPictureSize(pvih->bmiHeader);
    // The sequence header may be empty, so the block may end before the
    // declared array does.
    if (!IsEqualGUID(mt.formattype, FORMAT_MPEG2Video) || !HasPlausibleFormat(mt) || mt.pbFormat == nullptr ||
        mt.cbFormat < offsetof(MPEG2VIDEOINFO, dwSequenceHeader))
        return false;
    const MPEG2VIDEOINFO* pmvi = reinterpret_cast<const MPEG2VIDEOINFO*>(mt.pbFormat);
    return pmvi->cbSequenceHeader <= mt.cbFormat - offsetof(MPEG2VIDEOINFO, dwSequenceHeader) &&
           HasPictureSize(pmvi->hdr.bmiHeader);
}

bool IsAacAudioType(const AM_MEDIA_TYPE& mt)
{
    if (!IsEqualGUID(mt.majortype, MEDIATYPE_Audio) || !IsEqualGUID(mt.subtype, kSubtypeRawAac1))
        return false;
    const WAVEFORMATEX* pwfx = FormatOf<WAVEFORMATEX>(mt, FORMAT_WaveFormatEx);
    return pwfx != nullptr && pwfx->wFormatTag == kWaveFormatRawAac1 && pwfx->nChannels >= 1 &&
           pwfx->nChannels <= 2 && AacRateIndex(pwfx->nSamplesPerSec) >= 0;
}
