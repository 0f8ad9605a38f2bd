#include "BitWriter.h"

namespace aac
{

void BitWriter::WriteBits(uint32_t uValue, int nCount)
{
    for (int i = nCount - 1; i >= 0; --i)
    {
        m_uPending = (m_uPending << 1) | ((uValue >> i) & 1u);
        if (++m_nPending == 8)
        {
            m_bytes.push_back(static_cast<uint8_t>(m_uPending));
            m_uPending = 0;
            m_nPending = 0;
        }
    }
}

void BitWriter::AlignToByte()
{
    if (m_nPending != 0)
        WriteBits(0, 8 - m_nPending);
}

void BitWriter::Clear()
{
    m_bytes.clear();
    m_uPending = 0;
    m_nPending = 0;
}

} // namespace aac
