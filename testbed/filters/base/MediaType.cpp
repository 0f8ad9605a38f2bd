#include "MediaType.h"

#include <cstring>

void FreeMediaTypeContent(AM_MEDIA_TYPE& mt)
{
    if (mt.pbFormat != nullptr)
        ::CoTaskMemFree(mt.pbFormat);
    mt.pbFormat = nullptr;
    mt.cbFormat = 0;
    if (mt.pUnk != nullptr)
        mt.pUnk->Release();
    mt.pUnk = nullptr;
}

// A type that is not plausible is not copied: its block may be shorter than
// it claims.
HRESULT CopyMediaTypeContent(AM_MEDIA_TYPE& mtTarget, const AM_MEDIA_TYPE& mtSource)
{
    if (!HasPlausibleFormat(mtSource))
    {
        mtTarget = AM_MEDIA_TYPE();
        return VFW_E_TYPE_NOT_ACCEPTED;
    }
    mtTarget = mtSource;
    mtTarget.pbFormat = nullptr;
    mtTarget.cbFormat = 0;
    if (mtSource.cbFormat != 0 && mtSource.pbFormat != nullptr)
    {
        mtTarget.pbFormat = static_cast<BYTE*>(::CoTaskMemAlloc(mtSource.cbFormat));
        if (mtTarget.pbFormat == nullptr)
        {
            mtTarget.pUnk = nullptr;
            return E_OUTOFMEMORY;
        }
        std::memcpy(mtTarget.pbFormat, mtSource.pbFormat, mtSource.cbFormat);
        mtTarget.cbFormat = mtSource.cbFormat;
    }
    if (mtTarget.pUnk != nullptr)
        mtTarget.pUnk->AddRef();
    return S_OK;
}

AM_MEDIA_TYPE* CreateMediaTypeCopy(const AM_MEDIA_TYPE& mtSource)
{
    auto* pmt = static_cast<AM_MEDIA_TYPE*>(::CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    if (pmt == nullptr)
        return nullptr;
    if (FAILED(CopyMediaTypeContent(*pmt, mtSource)))
    {
        ::CoTaskMemFree(pmt);
        return nullptr;
    }
    return pmt;
}

bool MatchesPartialType(const AM_MEDIA_TYPE& mtPattern, const AM_MEDIA_TYPE& mt)
{
    auto matches = [](REFGUID pattern, REFGUID value) {
        return IsEqualGUID(pattern, GUID_NULL) || IsEqualGUID(pattern, value);
    };
    return matches(mtPattern.majortype, mt.majortype) && matches(mtPattern.subtype, mt.subtype) &&
           matches(mtPattern.formattype, mt.formattype);
}

bool IsFullySpecified(const AM_MEDIA_TYPE& mt)
{
    return !IsEqualGUID(mt.majortype, GUID_NULL) && !IsEqualGUID(mt.subtype, GUID_NULL) &&
           !IsEqualGUID(mt.formattype, GUID_NULL);
}

bool IsSameMediaType(const AM_MEDIA_TYPE& mtA, const AM_MEDIA_TYPE& mtB)
{
    if (!IsEqualGUID(mtA.majortype, mtB.majortype) || !IsEqualGUID(mtA.subtype, mtB.subtype) ||
        !IsEqualGUID(mtA.formattype, mtB.formattype) || mtA.cbFormat != mtB.cbFormat)
        return false;
    if (mtA.cbFormat == 0)
        return true;
    if (!HasPlausibleFormat(mtA) || !HasPlausibleFormat(mtB))
        return false;
    return std::memcmp(mtA.pbFormat, mtB.pbFormat, mtA.cbFormat) == 0;
}

bool HasPlausibleFormat(const AM_MEDIA_TYPE& mt)
{
    return mt.cbFormat <= kMaxFormatBytes && (mt.cbFormat == 0 || mt.pbFormat != nullptr);
}

CMediaTypeHolder::CMediaTypeHolder() : m_mt() {}

CMediaTypeHolder::~CMediaTypeHolder()
{
    FreeMediaTypeContent(m_mt);
}

HRESULT CMediaTypeHolder::Set(const AM_MEDIA_TYPE& mt)
{
    if (&mt == &m_mt)
        return S_OK;
    Clear();
    const HRESULT hr = CopyMediaTypeContent(m_mt, mt);
    if (FAILED(hr))
        m_mt = AM_MEDIA_TYPE();
    return hr;
}

HRESULT CMediaTypeHolder::SetFormat(REFGUID formattype, const void* pvFormat, ULONG cb)
{
    BYTE* pb = nullptr;
    if (cb != 0)
    {
        pb = static_cast<BYTE*>(::CoTaskMemAlloc(cb));
        if (pb == nullptr)
            return E_OUTOFMEMORY;
        std::memcpy(pb, pvFormat, cb);
    }
    if (m_mt.pbFormat != nullptr)
        ::CoTaskMemFree(m_mt.pbFormat);
    m_mt.formattype = formattype;
    m_mt.pbFormat = pb;
    m_mt.cbFormat = cb;
    return S_OK;
}

void CMediaTypeHolder::Clear()
{
    FreeMediaTypeContent(m_mt);
    m_mt = AM_MEDIA_TYPE();
}
