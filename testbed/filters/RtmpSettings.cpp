#include "RtmpSettings.h"

#include <atldiag.h>

#include <winsock2.h>
#include <ws2tcpip.h>

namespace
{

// Longer values are refused: an address or a name needs far less, and a
// read never takes more than this.
constexpr DWORD kMaxTextChars = 256;

void TraceFallback(LPCWSTR pszValue, LPCWSTR pszWhy)
{
    ATLTRACE2(ATL::atlTraceGeneral, 1, L"RTMP Server: registry value \"%ls\" %ls; the default stays\n", pszValue,
              pszWhy);
}

// The text of a REG_SZ value. False when it is missing (silently) or
// unusable (with a trace line): another type, too long, empty.
bool ReadText(HKEY hKey, LPCWSTR pszValue, std::wstring& text)
{
    wchar_t sz[kMaxTextChars + 1] = {};
    DWORD cb = sizeof(sz);
    // RRF_RT_REG_SZ refuses other types; RegGetValueW terminates the text.
    const LSTATUS status = ::RegGetValueW(hKey, nullptr, pszValue, RRF_RT_REG_SZ, nullptr, sz, &cb);
    if (status == ERROR_FILE_NOT_FOUND)
        return false;
    if (status == ERROR_MORE_DATA)
    {
        TraceFallback(pszValue, L"is too long");
        return false;
    }
    if (status != ERROR_SUCCESS)
    {
        TraceFallback(pszValue, L"is not a string");
        return false;
    }
    if (sz[0] == L'\0')
    {
        TraceFallback(pszValue, L"is empty");
        return false;
    }
    text = sz;
    return true;
}

bool ReadDword(HKEY hKey, LPCWSTR pszValue, DWORD& dw)
{
    DWORD cb = sizeof(dw);
    const LSTATUS status = ::RegGetValueW(hKey, nullptr, pszValue, RRF_RT_REG_DWORD, nullptr, &dw, &cb);
    if (status == ERROR_FILE_NOT_FOUND)
        return false;
    if (status != ERROR_SUCCESS)
    {
        TraceFallback(pszValue, L"is not a DWORD");
        return false;
    }
    return true;
}

// A name an RTMP client sends back: printable text in UTF-8.
bool ToRtmpName(const std::wstring& text, std::string& name)
{
    for (wchar_t ch : text)
    {
        if (ch < 0x20 || ch == 0x7F)
            return false;
    }
    const int cb = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.c_str(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    if (cb <= 0)
        return false;
    std::string utf8(static_cast<size_t>(cb), '\0');
    if (::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.c_str(), static_cast<int>(text.size()), &utf8[0], cb,
                              nullptr, nullptr) != cb)
        return false;
    name.swap(utf8);
    return true;
}

void ReadName(HKEY hKey, LPCWSTR pszValue, std::string& name)
{
    std::wstring text;
    if (ReadText(hKey, pszValue, text) && !ToRtmpName(text, name))
        TraceFallback(pszValue, L"is not a printable name");
}

void ReadSettingsFrom(HKEY hKey, RtmpServerSettings& settings)
{
    std::wstring address;
    if (ReadText(hKey, L"Address", address))
    {
        if (IsListenAddress(address))
            settings.address = address;
        else
            TraceFallback(L"Address", L"is not a numeric address");
    }
    DWORD dwPort = 0;
    if (ReadDword(hKey, L"Port", dwPort))
    {
        if (dwPort >= 1 && dwPort <= 65535)
            settings.port = static_cast<uint16_t>(dwPort);
        else
            TraceFallback(L"Port", L"is not a port from 1 to 65535");
    }
    ReadName(hKey, L"Application", settings.app);
    ReadName(hKey, L"Stream", settings.stream);
}

// The server's key, opened for reading while it lives; null when missing.
class CSettingsKey
{
public:
    CSettingsKey()
    {
        if (::RegOpenKeyExW(HKEY_CURRENT_USER, kszRtmpSettingsKey, 0, KEY_QUERY_VALUE, &m_hKey) != ERROR_SUCCESS)
            m_hKey = nullptr;
    }
    ~CSettingsKey()
    {
        if (m_hKey != nullptr)
            ::RegCloseKey(m_hKey);
    }
    CSettingsKey(const CSettingsKey&) = delete;
    CSettingsKey& operator=(const CSettingsKey&) = delete;
    HKEY Get() const { return m_hKey; }

private:
    HKEY m_hKey = nullptr;
};

} // namespace

bool IsListenAddress(const std::wstring& address)
{
    IN_ADDR v4 = {};
    IN6_ADDR v6 = {};
    return ::InetPtonW(AF_INET, address.c_str(), &v4) == 1 || ::InetPtonW(AF_INET6, address.c_str(), &v6) == 1;
}

RtmpServerSettings ReadRtmpServerSettings(HKEY hKey)
{
    RtmpServerSettings settings;
    if (hKey != nullptr)
    {
        ReadSettingsFrom(hKey, settings);
        return settings;
    }
    const CSettingsKey key;
    if (key.Get() != nullptr)
        ReadSettingsFrom(key.Get(), settings);
    return settings;
}
