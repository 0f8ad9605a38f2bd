// The maker's media filters: class identifiers, names in a filter graph and
// custom interfaces. Shared by every program that creates or implements them.
#pragma once

#include <objbase.h>
#include <oleauto.h>

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

// Modes of the video generator.
enum VelkGeneratorMode : LONG
{
    VelkModeDefaultStream = 1, // the default test stream
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
    virtual HRESULT STDMETHODCALLTYPE SetMode(LONG lMode) = 0;
};

// On the RTMP server: identifies the filter as the server.
MIDL_INTERFACE("984B9CCE-D661-41C0-BC8F-0E4EC158F51D")
IVelkRtmpServer : public IUnknown
{
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
#endif
