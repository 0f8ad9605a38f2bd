// The media types the four filters exchange.
#pragma once

#include "base/MediaType.h"

#include <dshow.h>

// Subtypes that mingw-w64's uuids.h lacks: the FOURCC 'H264' and the wave
// format tag of raw AAC (WAVE_FORMAT_RAW_AAC1, 0x00FF) in the usual base GUID.
inline constexpr GUID kSubtypeH264 = {0x34363248, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
inline constexpr GUID kSubtypeRawAac1 = {0x000000ff, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
inline constexpr WORD kWaveFormatRawAac1 = 0x00FF;
inline constexpr DWORD kFourccH264 = 0x34363248; // 'H264'

// The generator's video: 640x360 RGB32 at 25 frames a second.
inline constexpr LONG kVideoWidth = 640;
inline constexpr LONG kVideoHeight = 360;
inline constexpr LONGLONG kVideoFramesPerSecond = 25;
// The generator's audio: 48 kHz stereo 16-bit PCM, 1024 frames a buffer
// (one AAC frame each).
inline constexpr DWORD kAudioRate = 48000;
inline constexpr WORD kAudioChannels = 2;
inline constexpr LONGLONG kAudioFramesPerBuffer = 1024;

inline constexpr REFERENCE_TIME kUnitsPerSecond = 10000000;

HRESULT MakeRgb32VideoType(CMediaTypeHolder& mt);
HRESULT MakePcmAudioType(CMediaTypeHolder& mt);
// The encoded types for a given raw type. H.264 comes in two forms: with an
// MPEG2VIDEOINFO whose sequence header holds the SPS and PPS (with start
// codes), where a DirectShow H.264 decoder looks for them before the first
// sample, and with a plain VIDEOINFOHEADER, as graphs saved before took it.
HRESULT MakeH264SequenceType(const VIDEOINFOHEADER& vihIn, const BYTE* pbSps, size_t cbSps, const BYTE* pbPps,
                             size_t cbPps, CMediaTypeHolder& mt);
HRESULT MakeH264VideoType(const VIDEOINFOHEADER& vihIn, CMediaTypeHolder& mt);
HRESULT MakeAacAudioType(const WAVEFORMATEX& wfxIn, CMediaTypeHolder& mt);
// The two bytes of an AAC-LC AudioSpecificConfig; false for a rate AAC does
// not know or channels it cannot configure.
bool MakeAudioSpecificConfig(DWORD dwRate, WORD nChannels, BYTE (&rgbConfig)[2]);

// The checks each input makes.
bool IsRawVideoType(const AM_MEDIA_TYPE& mt);
// 16-bit PCM, mono or stereo, at 44.1 or 48 kHz: what the AAC Encoder takes.
bool IsPcmAudioType(const AM_MEDIA_TYPE& mt);
// Either form of H.264; a sequence header must fit its format block.
bool IsH264VideoType(const AM_MEDIA_TYPE& mt);
bool IsAacAudioType(const AM_MEDIA_TYPE& mt);
