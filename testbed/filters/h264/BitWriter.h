// Bits of an H.264 RBSP, most significant first, with the Exp-Golomb codes
// the syntax uses, and the NAL unit framing of Annex B.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace h264
{

class BitWriter
{
public:
    // The low nCount bits of uValue; nCount from 0 to 32.
    void WriteBits(uint32_t uValue, int nCount);
    void WriteFlag(bool bValue) { WriteBits(bValue ? 1 : 0, 1); }
    // ue(v): unsigned Exp-Golomb.
    void WriteUe(uint32_t uValue);
    // se(v): signed Exp-Golomb, k > 0 as 2k - 1, k <= 0 as -2k.
    void WriteSe(int32_t nValue);
    // rbsp_trailing_bits: a one, then zeros to the byte boundary.
    void WriteTrailingBits();

    // Drops what was written after the first nBitCount bits.
    void Rewind(size_t nBitCount);

    size_t BitCount() const { return m_bytes.size() * 8 + static_cast<size_t>(m_nPending); }
    bool IsByteAligned() const { return m_nPending == 0; }
    // The whole bytes written so far; call after WriteTrailingBits.
    const std::vector<uint8_t>& Bytes() const { return m_bytes; }
    void Clear();

private:
    std::vector<uint8_t> m_bytes;
    uint32_t m_uPending = 0; // bits not yet a whole byte, right-aligned
    int m_nPending = 0;
};

// The number of bits of ue(v) for uValue; encoders weigh choices by it.
int UeBitCount(uint32_t uValue);
int SeBitCount(int32_t nValue);

enum class NalType : uint8_t
{
    Slice = 1,
    IdrSlice = 5,
    Sps = 7,
    Pps = 8,
};

// The NAL unit of an RBSP: its header byte, then the payload with an
// emulation prevention byte wherever two zero bytes would be followed by a
// byte of 3 or less (a decoder would read a start code there).
std::vector<uint8_t> MakeNalUnit(NalType type, int nRefIdc, const std::vector<uint8_t>& rbsp);

// Appends a four-byte start code and the NAL unit.
void AppendAnnexB(const std::vector<uint8_t>& nalUnit, std::vector<uint8_t>& stream);

} // namespace h264
