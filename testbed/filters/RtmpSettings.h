// The RTMP server's configuration, read from
// HKEY_CURRENT_USER\Software\Velk\RTMP Server each time the filter leaves the
// stopped state. A value that is missing, of the wrong type, too long or
// unusable leaves its default in place (with a trace line for a bad one).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

inline constexpr wchar_t kszRtmpSettingsKey[] = L"Software\\Velk\\RTMP Server";

struct RtmpServerSettings
{
    std::wstring address = L"127.0.0.1"; // a numeric IPv4 or IPv6 address to listen on
    uint16_t port = 1935;
    std::string app = "live";      // UTF-8, as RTMP carries it
    std::string stream = "skerry"; // UTF-8
};

// The settings under hKey (the key above when null); never fails: what
// cannot be read stays at its default.
RtmpServerSettings ReadRtmpServerSettings(HKEY hKey = nullptr);

// True when the text is a numeric address the server can listen on.
bool IsListenAddress(const std::wstring& address);
