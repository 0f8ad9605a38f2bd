// The bits of an AAC access unit, most significant first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace aac
{

class BitWriter
{
public:
    // The low nCount bits of uValue; nCount from 0 to 32.
    void WriteBits(uint32_t uValue, int nCount);
    void WriteFlag(bool bValue) { WriteBits(bValue ? 1 : 0, 1); }
    // Zeros up to the next byte boundary.
    void AlignToByte();

    size_t BitCount() const { return m_bytes.size() * 8 + static_cast<size_t>(m_nPending); }
    // The whole bytes written so far; after AlignToByte, everything.
    const std::vector<uint8_t>& Bytes() const { return m_bytes; }
    void Clear();

private:
    std::vector<uint8_t> m_bytes;
    uint32_t m_uPending = 0; // bits not yet a whole byte, right-aligned
    int m_nPending = 0;
};

} // namespace aac
