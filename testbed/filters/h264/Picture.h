// 8-bit sample planes with a margin of repeated edge samples around them:
// motion vectors may point past the picture's edges, where a decoder reads
// the nearest edge sample.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace h264
{

class Plane
{
public:
    Plane() = default;
    Plane(int nWidth, int nHeight, int nMargin);

    int Width() const { return m_nWidth; }
    int Height() const { return m_nHeight; }
    int Margin() const { return m_nMargin; }
    ptrdiff_t Stride() const { return m_cbStride; }
    // Row y (from -Margin to Height + Margin - 1), at column 0.
    uint8_t* Row(int y) { return m_samples.data() + Offset(y); }
    const uint8_t* Row(int y) const { return m_samples.data() + Offset(y); }
    // Copies the outermost samples into the margin.
    void ExtendEdges();
    // Repeats the last column and row of the visible picture (its top-left
    // nVisibleWidth x nVisibleHeight samples) over the rest of the plane,
    // whose coded size is whole macroblocks.
    void PadFrom(int nVisibleWidth, int nVisibleHeight);

private:
    size_t Offset(int y) const
    {
        return static_cast<size_t>((y + m_nMargin) * m_cbStride + m_nMargin);
    }

    int m_nWidth = 0;
    int m_nHeight = 0;
    int m_nMargin = 0;
    ptrdiff_t m_cbStride = 0;
    std::vector<uint8_t> m_samples;
};

// A 4:2:0 picture.
struct Picture
{
    Picture() = default;
    Picture(int nWidth, int nHeight, int nLumaMargin)
        : y(nWidth, nHeight, nLumaMargin), cb(nWidth / 2, nHeight / 2, nLumaMargin / 2),
          cr(nWidth / 2, nHeight / 2, nLumaMargin / 2)
    {
    }

    void ExtendEdges()
    {
        y.ExtendEdges();
        cb.ExtendEdges();
        cr.ExtendEdges();
    }

    Plane y;
    Plane cb;
    Plane cr;
};

} // namespace h264
