// AM_MEDIA_TYPE helpers and CMediaTypeHolder, an AM_MEDIA_TYPE that owns its
// format block.
#pragma once

#include <dshow.h>

void FreeMediaTypeContent(AM_MEDIA_TYPE& mt);
HRESULT CopyMediaTypeContent(AM_MEDIA_TYPE& mtTarget, const AM_MEDIA_TYPE& mtSource);
// A copy in task memory, as IEnumMediaTypes::Next hands it out; null when out
// of memory.
AM_MEDIA_TYPE* CreateMediaTypeCopy(const AM_MEDIA_TYPE& mtSource);

// True when every field that mtPattern specifies (GUID_NULL is a wildcard)
// equals that of mt.
bool MatchesPartialType(const AM_MEDIA_TYPE& mtPattern, const AM_MEDIA_TYPE& mt);
// True when both types are the same, format block included. Either may be
// implausible (see HasPlausibleFormat): only what it holds is read.
bool IsSameMediaType(const AM_MEDIA_TYPE& mtA, const AM_MEDIA_TYPE& mtB);
// True when the major type, subtype and format type are all given.
bool IsFullySpecified(const AM_MEDIA_TYPE& mt);

// The largest format block a pin takes: room for any palette, extra data or
// codec configuration, far below what only a broken caller would claim.
constexpr ULONG kMaxFormatBytes = 64 * 1024;

// False for a type whose format block cannot be what it claims: a size
// without a block, or a size no real format has. Nothing else of the type
// is read before this holds.
bool HasPlausibleFormat(const AM_MEDIA_TYPE& mt);

class CMediaTypeHolder
{
public:
    CMediaTypeHolder();
    ~CMediaTypeHolder();
    CMediaTypeHolder(const CMediaTypeHolder&) = delete;
    CMediaTypeHolder& operator=(const CMediaTypeHolder&) = delete;

    HRESULT Set(const AM_MEDIA_TYPE& mt);
    // Replaces the format block with a copy of cb bytes at pvFormat.
    HRESULT SetFormat(REFGUID formattype, const void* pvFormat, ULONG cb);
    void Clear();

    bool IsEmpty() const { return IsEqualGUID(m_mt.majortype, GUID_NULL) != FALSE; }
    const AM_MEDIA_TYPE& Get() const { return m_mt; }
    AM_MEDIA_TYPE& Edit() { return m_mt; }

private:
    AM_MEDIA_TYPE m_mt;
};

// The format block of mt as T when it is of formattype, large enough and
// plausible.
template <class T>
const T* FormatOf(const AM_MEDIA_TYPE& mt, REFGUID formattype)
{
    if (!IsEqualGUID(mt.formattype, formattype) || !HasPlausibleFormat(mt) || mt.pbFormat == nullptr ||
        mt.cbFormat < sizeof(T))
        return nullptr;
    return reinterpret_cast<const T*>(mt.pbFormat);
}
