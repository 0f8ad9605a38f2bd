// Big-endian fields, the byte order of RTMP, AMF0, FLV and H.264 records.
// Readers take a pointer the caller has already checked the length for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace rtmp
{

inline void PutBE(std::vector<uint8_t>& out, uint64_t value, int cb)
{
    for (int i = cb - 1; i >= 0; --i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

inline uint32_t GetBE(const uint8_t* p, int cb)
{
    uint32_t value = 0;
    for (int i = 0; i < cb; ++i)
        value = (value << 8) | p[i];
    return value;
}

// Little-endian: only the message stream id of a chunk header is written so.
inline void PutLE32(std::vector<uint8_t>& out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

inline uint32_t GetLE32(const uint8_t* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

} // namespace rtmp
