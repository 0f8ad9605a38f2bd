#include "ComUtil.h"

#include <algorithm>
#include <cstring>

namespace
{
constexpr ULONG kcbChunk = 64 * 1024;
}

grf::Guid ToFileGuid(const GUID& guid)
{
    grf::Guid g;
    g.data1 = guid.Data1;
    g.data2 = guid.Data2;
    g.data3 = guid.Data3;
    std::memcpy(g.data4, guid.Data4, sizeof g.data4);
    return g;
}

GUID FromFileGuid(const grf::Guid& g)
{
    GUID guid = {};
    guid.Data1 = g.data1;
    guid.Data2 = g.data2;
    guid.Data3 = g.data3;
    std::memcpy(guid.Data4, g.data4, sizeof guid.Data4);
    return guid;
}

std::u16string ToFileText(const wchar_t* psz)
{
    static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wide characters");
    std::u16string text;
    for (; psz != nullptr && *psz != 0; ++psz)
        text.push_back(static_cast<char16_t>(*psz));
    return text;
}

std::wstring FromFileText(const std::u16string& text)
{
    return std::wstring(text.begin(), text.end());
}

CMediaTypeHolder::~CMediaTypeHolder()
{
    ::CoTaskMemFree(m_mt.pbFormat);
    if (m_mt.pUnk != nullptr)
        m_mt.pUnk->Release();
}

HRESULT ReadAtMost(IStream* pStream, size_t cbMax, std::vector<uint8_t>& bytes)
{
    bytes.clear();
    while (bytes.size() < cbMax)
    {
        const size_t cbOld = bytes.size();
        const ULONG cbWanted = static_cast<ULONG>(std::min<size_t>(kcbChunk, cbMax - cbOld));
        bytes.resize(cbOld + cbWanted);
        ULONG cbRead = 0;
        const HRESULT hr = pStream->Read(bytes.data() + cbOld, cbWanted, &cbRead);
        if (FAILED(hr))
            return hr;
        bytes.resize(cbOld + cbRead);
        if (cbRead == 0)
            break;
    }
    return S_OK;
}

HRESULT ReadAll(IStream* pStream, size_t cbMax, std::vector<uint8_t>& bytes)
{
    // One byte more than allowed tells a stream too long from one that fits.
    const HRESULT hr = ReadAtMost(pStream, cbMax + 1, bytes);
    if (FAILED(hr))
        return hr;
    return bytes.size() > cbMax ? VFW_E_INVALID_FILE_FORMAT : S_OK; // no graph is that large
}

HRESULT WriteAll(IStream* pStream, const std::vector<uint8_t>& bytes)
{
    if (bytes.size() > ULONG_MAX)
        return E_INVALIDARG;
    ULONG cbWritten = 0;
    const HRESULT hr = pStream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &cbWritten);
    if (FAILED(hr))
        return hr;
    return cbWritten == bytes.size() ? S_OK : STG_E_MEDIUMFULL;
}

HRESULT MemoryStreamOf(const std::vector<uint8_t>& bytes, CComPtr<IStream>& spStream)
{
    spStream.Release();
    HRESULT hr = ::CreateStreamOnHGlobal(nullptr, TRUE, &spStream);
    if (FAILED(hr))
        return hr;
    hr = WriteAll(spStream, bytes);
    if (FAILED(hr))
        return hr;
    const LARGE_INTEGER liStart = {};
    return spStream->Seek(liStart, STREAM_SEEK_SET, nullptr);
}

HRESULT BytesWritten(IStream* pStream, std::vector<uint8_t>& bytes)
{
    const LARGE_INTEGER liZero = {};
    ULARGE_INTEGER uliEnd = {};
    HRESULT hr = pStream->Seek(liZero, STREAM_SEEK_CUR, &uliEnd);
    if (FAILED(hr))
        return hr;
    if (uliEnd.QuadPart > ULONG_MAX)
        return E_OUTOFMEMORY;
    hr = pStream->Seek(liZero, STREAM_SEEK_SET, nullptr);
    if (FAILED(hr))
        return hr;
    bytes.resize(static_cast<size_t>(uliEnd.QuadPart));
    ULONG cbRead = 0;
    hr = pStream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &cbRead);
    if (FAILED(hr))
        return hr;
    return cbRead == bytes.size() ? S_OK : E_UNEXPECTED;
}

bool IsSameObject(IUnknown* pA, IUnknown* pB)
{
    CComPtr<IUnknown> spA;
    CComPtr<IUnknown> spB;
    if (pA == nullptr || pB == nullptr)
        return false;
    pA->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&spA));
    pB->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&spB));
    return spA.p != nullptr && spA.p == spB.p;
}

HRESULT FilterPins(IBaseFilter* pFilter, std::vector<FilterPin>& pins)
{
    pins.clear();
    CComPtr<IEnumPins> spEnum;
    HRESULT hr = pFilter->EnumPins(&spEnum);
    if (FAILED(hr))
        return hr;
    if (!spEnum)
        return E_POINTER;
    for (;;)
    {
        FilterPin pin;
        ULONG cFetched = 0; // a proxy needs the count's address
        hr = spEnum->Next(1, &pin.spPin, &cFetched);
        if (FAILED(hr))
            return hr;
        if (hr != S_OK || !pin.spPin)
            return S_OK;
        if (FAILED(pin.spPin->QueryDirection(&pin.eDirection)))
            continue;
        if (pin.spPin->ConnectedTo(&pin.spPeer) != S_OK)
            pin.spPeer.Release();
        pins.push_back(pin);
    }
}
