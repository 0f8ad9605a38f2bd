#include "BitWriter.h"

namespace h264
{

void BitWriter::WriteBits(uint32_t uValue, int nCount)
{
    for (int i = nCount - 1; i >= 0; --i)
    {
        m_uPending = (m_uPending << 1) | ((uValue >> i) & 1);
        if (++m_nPending == 8)
        {
            m_bytes.push_back(static_cast<uint8_t>(m_uPending));
            m_uPending = 0;
            m_nPending = 0;
        }
    }
}

void BitWriter::WriteUe(uint32_t uValue)
{
    // codeNum + 1 in binary, after as many zeros as it has bits less one.
    const uint64_t ullCode = static_cast<uint64_t>(uValue) + 1;
    int nBits = 0;
    while ((ullCode >> nBits) > 1)
        ++nBits;
    WriteBits(0, nBits);
    WriteBits(static_cast<uint32_t>(ullCode >> 32), nBits >= 32 ? 1 : 0);
    WriteBits(static_cast<uint32_t>(ullCode), nBits >= 32 ? 32 : nBits + 1);
}

void BitWriter::WriteSe(int32_t nValue)
{
    const int64_t llValue = nValue;
    WriteUe(static_cast<uint32_t>(llValue > 0 ? 2 * llValue - 1 : -2 * llValue));
}

void BitWriter::WriteTrailingBits()
{
    WriteBits(1, 1);
    while (m_nPending != 0)
        WriteBits(0, 1);
}

void BitWriter::Rewind(size_t nBitCount)
{
    if (nBitCount >= BitCount())
        return;
    const size_t nWholeBytes = nBitCount / 8;
    const int nRest = static_cast<int>(nBitCount % 8);
    if (nWholeBytes < m_bytes.size())
    {
        // The bits to keep past the last whole byte went out in the next one.
        m_uPending = nRest == 0 ? 0 : static_cast<uint32_t>(m_bytes[nWholeBytes] >> (8 - nRest));
        m_bytes.resize(nWholeBytes);
    }
    else
    {
        m_uPending >>= m_nPending - nRest;
    }
    m_nPending = nRest;
}

void BitWriter::Clear()
{
    m_bytes.clear();
    m_uPending = 0;
    m_nPending = 0;
}

int UeBitCount(uint32_t uValue)
{
    const uint64_t ullCode = static_cast<uint64_t>(uValue) + 1;
    int nBits = 0;
    while ((ullCode >> nBits) > 1)
        ++nBits;
    return 2 * nBits + 1;
}

int SeBitCount(int32_t nValue)
{
    const int64_t llValue = nValue;
    return UeBitCount(static_cast<uint32_t>(llValue > 0 ? 2 * llValue - 1 : -2 * llValue));
}

std::vector<uint8_t> MakeNalUnit(NalType type, int nRefIdc, const std::vector<uint8_t>& rbsp)
{
    std::vector<uint8_t> nal;
    nal.reserve(rbsp.size() + rbsp.size() / 64 + 2);
    nal.push_back(static_cast<uint8_t>((nRefIdc & 3) << 5 | static_cast<uint8_t>(type)));
    int nZeros = 0;
    for (uint8_t b : rbsp)
    {
        if (nZeros == 2 && b <= 3)
        {
            nal.push_back(3);
            nZeros = 0;
        }
        nal.push_back(b);
        nZeros = b == 0 ? nZeros + 1 : 0;
    }
    return nal;
}

void AppendAnnexB(const std::vector<uint8_t>& nalUnit, std::vector<uint8_t>& stream)
{
    static constexpr uint8_t kStartCode[] = {0, 0, 0, 1};
    stream.insert(stream.end(), kStartCode, kStartCode + sizeof(kStartCode));
    stream.insert(stream.end(), nalUnit.begin(), nalUnit.end());
}

} // namespace h264
