// From the generator's 32-bit BGRX pictures to 4:2:0 Y'CbCr.
#pragma once

#include <cstddef>
#include <cstdint>

namespace h264
{

// A 32-bit picture: blue, green, red and an unused byte per pixel. Rows
// are cbStride bytes apart; a bottom-up picture stores its top row last,
// as Windows bitmaps do.
struct BgrxImage
{
    const uint8_t* pBits = nullptr;
    size_t cbSize = 0;
    ptrdiff_t cbStride = 0;
    bool bBottomUp = true;
};

// Where converted samples go: a luma plane and two chroma planes of half
// the width and height, each with its own row pitch.
struct YuvTarget
{
    uint8_t* pY;
    ptrdiff_t cbYStride;
    uint8_t* pCb;
    uint8_t* pCr;
    ptrdiff_t cbChromaStride;
};

// Whether image holds nWidth x nHeight pixels within its size.
bool FitsImage(const BgrxImage& image, int nWidth, int nHeight);

// Converts with the ITU-R BT.601 matrix in limited range (Y' 16 to 235,
// Cb and Cr 16 to 240), in 8-bit fixed point:
//   Y' = (( 66 R + 129 G +  25 B + 128) >> 8) + 16
//   Cb = ((-38 R -  74 G + 112 B + 128) >> 8) + 128
//   Cr = ((112 R -  94 G -  18 B + 128) >> 8) + 128
// Chroma is taken at the centre of each 2x2 block of pixels (the four
// pixels' sums). nWidth and nHeight are even; the caller checked the image
// with FitsImage.
void ConvertBgrxToYuv420(const BgrxImage& image, int nWidth, int nHeight, const YuvTarget& target);

} // namespace h264
