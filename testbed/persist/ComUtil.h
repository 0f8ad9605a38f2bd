// Small owners and conversions shared by the loader and the describer.
#pragma once

#include <atlbase.h>

#include <dshow.h>

#include "GraphFile.h"

#include <string>
#include <vector>

grf::Guid ToFileGuid(const GUID& guid);
GUID FromFileGuid(const grf::Guid& guid);

// wchar_t is UTF-16 on Windows; the graph file keeps its text as char16_t.
std::u16string ToFileText(const wchar_t* psz);
std::wstring FromFileText(const std::u16string& text);

// One pin of a filter: its direction and the pin it is connected to.
struct FilterPin
{
    CComPtr<IPin> spPin;
    PIN_DIRECTION eDirection = PINDIR_INPUT;
    CComPtr<IPin> spPeer; // null when the pin is free
};

// The pins of a filter in enumeration order; pins that cannot tell their
// direction are left out.
HRESULT FilterPins(IBaseFilter* pFilter, std::vector<FilterPin>& pins);

// Owns a string the callee allocated with CoTaskMemAlloc.
class CCoTaskString
{
public:
    CCoTaskString() = default;
    ~CCoTaskString() { ::CoTaskMemFree(m_psz); }
    CCoTaskString(const CCoTaskString&) = delete;
    CCoTaskString& operator=(const CCoTaskString&) = delete;

    LPWSTR* operator&() { return &m_psz; }
    LPCWSTR Get() const { return m_psz; }

private:
    LPWSTR m_psz = nullptr;
};

// Owns what a callee filled into a media type: its format block and object.
class CMediaTypeHolder
{
public:
    CMediaTypeHolder() = default;
    ~CMediaTypeHolder();
    CMediaTypeHolder(const CMediaTypeHolder&) = delete;
    CMediaTypeHolder& operator=(const CMediaTypeHolder&) = delete;

    AM_MEDIA_TYPE* operator&() { return &m_mt; }
    const AM_MEDIA_TYPE& Get() const { return m_mt; }

private:
    AM_MEDIA_TYPE m_mt = {};
};

// Reads the rest of a stream, but no more than cbMax bytes.
HRESULT ReadAtMost(IStream* pStream, size_t cbMax, std::vector<uint8_t>& bytes);
// Reads the rest of a stream; streams longer than cbMax are refused.
HRESULT ReadAll(IStream* pStream, size_t cbMax, std::vector<uint8_t>& bytes);
HRESULT WriteAll(IStream* pStream, const std::vector<uint8_t>& bytes);
// A memory stream holding the bytes, positioned at its start.
HRESULT MemoryStreamOf(const std::vector<uint8_t>& bytes, CComPtr<IStream>& spStream);
// What a stream holds from its start to its current position.
HRESULT BytesWritten(IStream* pStream, std::vector<uint8_t>& bytes);

// True when both pointers reach one COM object.
bool IsSameObject(IUnknown* pA, IUnknown* pB);
