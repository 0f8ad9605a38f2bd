// The maker's media filters: class identifiers, names in a filter graph and
// custom interfaces. Shared by every program that creates or implements them.
#pragma once

#include <objbase.h>
#include <oleauto.h>
#include <strmif.h>

// Filters, created with CoCreateInstance(..., CLSCTX_INPROC_SERVER, IID_IBaseFilter).
inline constexpr CLSID CLSID_VelkVideoGenerator = {0x2c667015, 0x3cb8, 0x46e4, {0xa3, 0xed, 0xca, 0x3c, 0x1f, 0x48, 0xf4, 0xaa}};
inline constexpr CLSID CLSID_VelkH264Encoder = {0x4be3702a, 0x35a0, 0x4552, {0xa0, 0xe7, 0x00, 0x53, 0x3e, 0x7a, 0x96, 0xb3}};
inline constexpr CLSID CLSID_VelkAACEncoder = {0x0962085a, 0xfe4d, 0x480f, {0xa5, 0xc2, 0x57, 0xcb, 0x37, 0x2f, 0x25, 0xfe}};
inline constexpr CLSID CLSID_VelkRtmpServer = {0x8e9aa374, 0x5269, 0x4c1d, {0xb1, 0x8d, 0x81, 0x6b, 0x20, 0x57, 0xce, 0x0d}};

// Names under which the filters go into a graph.
#define VELK_NAME_VIDEO_GENERATOR L"Video Generator"
#define VELK_NAME_H264_ENCODER L"H264 Encoder"
#define VELK_NAME_AAC_ENCODER L"AAC Encoder"
#define VELK_NAME_RTMP_SERVER L"RTMP Server"

inline constexpr IID IID_IVelkVideoGenerator = {0xea39a21b, 0xbfca, 0x4a11, {0x8c, 0x10, 0x04, 0x8d, 0x4f, 0x6a, 0x55, 0xaf}};
inline constexpr IID IID_IVelkRtmpServer = {0x984b9cce, 0xd661, 0x41c0, {0xbc, 0x8f, 0x0e, 0x4e, 0xc1, 0x58, 0xf5, 0x1d}};
inline constexpr IID IID_IVelkVersion = {0x68c46363, 0xed5b, 0x4046, {0x83, 0x77, 0x65, 0xb0, 0x75, 0x1d, 0xc7, 0x8a}};
inline constexpr IID IID_IVelkGeneratorStatistics = {0x88b37dab, 0xeca7, 0x4e57, {0xb0, 0x61, 0x03, 0x97, 0xe4, 0x06, 0xbe, 0xdd}};
inline constexpr IID IID_IVelkRtmpServerStatistics = {0x8706bb70, 0xfa74, 0x461a, {0xb6, 0xc3, 0xff, 0x07, 0xa1, 0x8b, 0xfe, 0x27}};
inline constexpr IID IID_IVelkRtmpServerClientStatistics = {0xeae783d5, 0xc28d, 0x4830, {0x9d, 0x78, 0xfe, 0xa1, 0x34, 0xb8, 0x34, 0x63}};

// Modes of the video generator, set while it is stopped. Every mode streams
// the same test pattern (640x360 RGB32 at 25 frames a second, with scrolling
// colour bars, a moving square and the time code) on the first output pin and
// a 1 kHz tone (48 kHz stereo 16-bit PCM, 1024 frames a buffer) on the
// second; the modes differ in length. Until SetMode is called the generator
// streams the default test stream.
enum VelkGeneratorMode : LONG
{
    VelkModeDefaultStream = 1, // the default test stream: 10 seconds
    VelkModeShortStream = 2,   // the same stream, 2 seconds long
};

// Streams of the video generator, in pin order.
enum VelkGeneratorStream : LONG
{
    VelkStreamVideo = 0,
    VelkStreamAudio = 1,
};

// What one input of the RTMP server has presented since the filter last left
// the stopped state. Times are stream times of the current segment, in 100 ns
// units; rtSegmentStart is the media position at which that segment began, so
// rtSegmentStart + rtLast is the media position the input has reached.
struct VelkInputStatistics
{
    LONGLONG cReceived;            // samples that arrived, presented or not (flushed, stopped)
    LONGLONG cSamples;             // samples presented
    LONGLONG cbData;               // payload bytes of those samples
    REFERENCE_TIME rtFirst;        // start time of the first sample presented
    REFERENCE_TIME rtLast;         // stop time of the last sample presented
    REFERENCE_TIME rtSegmentStart; // start position of the latest segment
    LONG cDiscontinuities;         // samples marked as discontinuities
    LONG cGaps;                    // samples whose start is not the stop of the one before, unmarked
    LONG cSegments;                // new segments announced
    LONG cFlushes;                 // flushes begun
    LONG cEndOfStream;             // ends of stream presented
};

// What the RTMP server's clients did since the filter last left the stopped
// state.
struct VelkClientStatistics
{
    LONG cClients;           // connections open now
    LONG cClientsServed;     // connections whose play of the stream was accepted
    LONGLONG cbSent;         // bytes sent to all clients
    LONGLONG cFramesDropped; // frames left out for clients that could not keep up
};

// Build type and platform reported by IVelkVersion.
enum VelkBuildType : LONG
{
    VelkBuildDebug = 0,
    VelkBuildRelease = 1,
};
enum VelkBuildOS : LONG
{
    VelkBuild32 = 0,
    VelkBuild64 = 1,
};

// On the video generator.
MIDL_INTERFACE("EA39A21B-BFCA-4A11-8C10-048D4F6A55AF")
IVelkVideoGenerator : public IUnknown
{
public:
    // One of VelkGeneratorMode; VFW_E_NOT_STOPPED unless stopped,
    // E_INVALIDARG for an unknown mode.
    virtual HRESULT STDMETHODCALLTYPE SetMode(LONG lMode) = 0;
};

// On the video generator: what its streams delivered. A separate interface,
// so that IVelkVideoGenerator keeps its one method.
MIDL_INTERFACE("88B37DAB-ECA7-4E57-B061-0397E406BEDD")
IVelkGeneratorStatistics : public IUnknown
{
public:
    // Samples that one stream (VelkGeneratorStream) has delivered since the
    // filter last left the stopped state; E_INVALIDARG for another stream.
    virtual HRESULT STDMETHODCALLTYPE GetDeliveredSamples(LONG eStream, LONGLONG* pcSamples) = 0;
};

// On the RTMP server: identifies the filter as the server.
MIDL_INTERFACE("984B9CCE-D661-41C0-BC8F-0E4EC158F51D")
IVelkRtmpServer : public IUnknown
{
};

// On the RTMP server: what its inputs presented. Input 0 takes the H.264
// video, input 1 the AAC audio. A separate interface, so that objects that
// only identify themselves as the server keep doing so.
MIDL_INTERFACE("8706BB70-FA74-461A-B6C3-FF07A18BFE27")
IVelkRtmpServerStatistics : public IUnknown
{
public:
    virtual HRESULT STDMETHODCALLTYPE GetInputCount(LONG* pcInputs) = 0;
    // E_INVALIDARG for an input that does not exist.
    virtual HRESULT STDMETHODCALLTYPE GetInputStatistics(LONG nInput, VelkInputStatistics* pStatistics) = 0;
};

// On the RTMP server: what its inputs presented and what its clients did.
// A new interface, so that IVelkRtmpServerStatistics stays as it was.
MIDL_INTERFACE("EAE783D5-C28D-4830-9D78-FEA134B83463")
IVelkRtmpServerClientStatistics : public IVelkRtmpServerStatistics
{
public:
    virtual HRESULT STDMETHODCALLTYPE GetClientStatistics(VelkClientStatistics* pStatistics) = 0;
};

// On the RTMP server: the build of the filter. Strings are allocated with
// SysAllocString and freed by the caller.
MIDL_INTERFACE("68C46363-ED5B-4046-8377-65B0751DC78A")
IVelkVersion : public IUnknown
{
public:
    virtual HRESULT STDMETHODCALLTYPE GetType(LONG* peType) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetOS(LONG* peOS) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetName(BSTR* pbstrName) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNumber(BSTR* pbstrNumber) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDateTime(BSTR* pbstrDateTime) = 0;
};

#ifdef __CRT_UUID_DECL
__CRT_UUID_DECL(IVelkVideoGenerator, 0xea39a21b, 0xbfca, 0x4a11, 0x8c, 0x10, 0x04, 0x8d, 0x4f, 0x6a, 0x55, 0xaf)
__CRT_UUID_DECL(IVelkRtmpServer, 0x984b9cce, 0xd661, 0x41c0, 0xbc, 0x8f, 0x0e, 0x4e, 0xc1, 0x58, 0xf5, 0x1d)
__CRT_UUID_DECL(IVelkVersion, 0x68c46363, 0xed5b, 0x4046, 0x83, 0x77, 0x65, 0xb0, 0x75, 0x1d, 0xc7, 0x8a)
__CRT_UUID_DECL(IVelkGeneratorStatistics, 0x88b37dab, 0xeca7, 0x4e57, 0xb0, 0x61, 0x03, 0x97, 0xe4, 0x06, 0xbe, 0xdd)
__CRT_UUID_DECL(IVelkRtmpServerStatistics, 0x8706bb70, 0xfa74, 0x461a, 0xb6, 0xc3, 0xff, 0x07, 0xa1, 0x8b, 0xfe, 0x27)
__CRT_UUID_DECL(IVelkRtmpServerClientStatistics, 0xeae783d5, 0xc28d, 0x4830, 0x9d, 0x78, 0xfe, 0xa1, 0x34, 0xb8, 0x34, 0x63)
#endif
