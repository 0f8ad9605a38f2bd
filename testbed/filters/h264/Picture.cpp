#include "Picture.h"

#include <cstring>

namespace h264
{

Plane::Plane(int nWidth, int nHeight, int nMargin)
    : m_nWidth(nWidth), m_nHeight(nHeight), m_nMargin(nMargin), m_cbStride(nWidth + 2 * nMargin),
      m_samples(static_cast<size_t>(m_cbStride) * static_cast<size_t>(nHeight + 2 * nMargin), 0)
{
}

void Plane::ExtendEdges()
{
    for (int y = 0; y < m_nHeight; ++y)
    {
        uint8_t* pRow = Row(y);
        std::memset(pRow - m_nMargin, pRow[0], static_cast<size_t>(m_nMargin));
        std::memset(pRow + m_nWidth, pRow[m_nWidth - 1], static_cast<size_t>(m_nMargin));
    }
    const size_t cbFullRow = static_cast<size_t>(m_cbStride);
    for (int y = 1; y <= m_nMargin; ++y)
    {
        std::memcpy(Row(-y) - m_nMargin, Row(0) - m_nMargin, cbFullRow);
        std::memcpy(Row(m_nHeight - 1 + y) - m_nMargin, Row(m_nHeight - 1) - m_nMargin, cbFullRow);
    }
}

void Plane::PadFrom(int nVisibleWidth, int nVisibleHeight)
{
    for (int y = 0; y < nVisibleHeight; ++y)
    {
        uint8_t* pRow = Row(y);
        std::memset(pRow + nVisibleWidth, pRow[nVisibleWidth - 1], static_cast<size_t>(m_nWidth - nVisibleWidth));
    }
    for (int y = nVisibleHeight; y < m_nHeight; ++y)
        std::memcpy(Row(y), Row(nVisibleHeight - 1), static_cast<size_t>(m_nWidth));
}

} // namespace h264
