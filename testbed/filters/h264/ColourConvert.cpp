#include "ColourConvert.h"

namespace h264
{
namespace
{

const uint8_t* RowFromTop(const BgrxImage& image, int nHeight, int y)
{
    const int nStored = image.bBottomUp ? nHeight - 1 - y : y;
    return image.pBits + static_cast<ptrdiff_t>(nStored) * image.cbStride;
}

uint8_t Luma(const uint8_t* pPixel)
{
    const int b = pPixel[0], g = pPixel[1], r = pPixel[2];
    return static_cast<uint8_t>(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
}

uint8_t ClampChroma(int nValue)
{
    return static_cast<uint8_t>(nValue < 0 ? 0 : nValue > 255 ? 255 : nValue);
}

} // namespace

bool FitsImage(const BgrxImage& image, int nWidth, int nHeight)
{
    if (image.pBits == nullptr || image.cbSize == 0 || nWidth <= 0 || nHeight <= 0)
        return false;
    const uint64_t cbRow = static_cast<uint64_t>(nWidth) * 4;
    if (image.cbStride <= 0 || static_cast<uint64_t>(image.cbStride) < cbRow)
        return false;
    const uint64_t cbNeeded = static_cast<uint64_t>(image.cbStride) * static_cast<uint64_t>(nHeight - 1) + cbRow;
    return cbNeeded <= image.cbSize;
}

void ConvertBgrxToYuv420(const BgrxImage& image, int nWidth, int nHeight, const YuvTarget& target)
{
    for (int y = 0; y < nHeight; y += 2)
    {
        const uint8_t* pTop = RowFromTop(image, nHeight, y);
        const uint8_t* pBottom = RowFromTop(image, nHeight, y + 1);
        uint8_t* pY0 = target.pY + static_cast<ptrdiff_t>(y) * target.cbYStride;
        uint8_t* pY1 = pY0 + target.cbYStride;
        uint8_t* pCb = target.pCb + static_cast<ptrdiff_t>(y / 2) * target.cbChromaStride;
        uint8_t* pCr = target.pCr + static_cast<ptrdiff_t>(y / 2) * target.cbChromaStride;
        for (int x = 0; x < nWidth; x += 2)
        {
            const uint8_t* p[4] = {pTop + x * 4, pTop + x * 4 + 4, pBottom + x * 4, pBottom + x * 4 + 4};
            pY0[x] = Luma(p[0]);
            pY0[x + 1] = Luma(p[1]);
            pY1[x] = Luma(p[2]);
            pY1[x + 1] = Luma(p[3]);
            int b = 0, g = 0, r = 0;
            for (const uint8_t* q : p)
            {
                b += q[0];
                g += q[1];
                r += q[2];
            }
            // The sums are four times the mean: round over 4 * 256.
            pCb[x / 2] = ClampChroma(((-38 * r - 74 * g + 112 * b + 512) >> 10) + 128);
            pCr[x / 2] = ClampChroma(((112 * r - 94 * g - 18 * b + 512) >> 10) + 128);
        }
    }
}

} // namespace h264
