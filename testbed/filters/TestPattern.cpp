#include "TestPattern.h"

#include <cmath>
#include <cstddef>
#include <cstring>

namespace
{

struct Rect
{
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};

// Seven rows of five pixels for the digits 0 to 9 and the colon (index 10).
constexpr uint8_t kGlyphs[11][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},
    {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00},
};
constexpr int kGlyphColon = 10;
constexpr int kScale = 4;                      // screen pixels per font pixel
constexpr int kCellWidth = 6 * kScale;         // a glyph and its spacing
constexpr uint32_t kBars[] = {0xC0C0C0, 0xC0C000, 0x00C0C0, 0x00C000, 0xC000C0, 0xC00000, 0x0000C0, 0x101010};
constexpr int kBarCount = sizeof(kBars) / sizeof(kBars[0]);

// The image is bottom-up: row y from the top is stored at lHeight - 1 - y.
uint32_t* RowFromTop(uint8_t* pBits, int32_t lWidth, int32_t lHeight, int32_t y)
{
    return reinterpret_cast<uint32_t*>(pBits) + static_cast<size_t>(lHeight - 1 - y) * lWidth;
}

void FillRect(uint8_t* pBits, int32_t lWidth, int32_t lHeight, Rect rc, uint32_t dwColour)
{
    for (int32_t y = rc.top < 0 ? 0 : rc.top; y < rc.bottom && y < lHeight; ++y)
    {
        uint32_t* pRow = RowFromTop(pBits, lWidth, lHeight, y);
        for (int32_t x = rc.left < 0 ? 0 : rc.left; x < rc.right && x < lWidth; ++x)
            pRow[x] = dwColour;
    }
}

void DrawBars(uint8_t* pBits, int32_t lWidth, int32_t lHeight, int64_t llFrame)
{
    const int32_t lBarWidth = lWidth / kBarCount;
    const int32_t lShift = static_cast<int32_t>((llFrame * 4) % lWidth);
    uint32_t* pFirst = RowFromTop(pBits, lWidth, lHeight, 0);
    for (int32_t x = 0; x < lWidth; ++x)
        pFirst[x] = kBars[((x + lShift) % lWidth) / lBarWidth % kBarCount];
    // Every row is the same: copy the first one.
    for (int32_t y = 1; y < lHeight; ++y)
        std::memcpy(RowFromTop(pBits, lWidth, lHeight, y), pFirst, lWidth * sizeof(uint32_t));
}

void DrawGlyph(uint8_t* pBits, int32_t lWidth, int32_t lHeight, int32_t x0, int32_t y0, int nGlyph)
{
    for (int row = 0; row < 7; ++row)
    {
        for (int col = 0; col < 5; ++col)
        {
            if ((kGlyphs[nGlyph][row] >> (4 - col) & 1) == 0)
                continue;
            const Rect rc = {x0 + col * kScale, y0 + row * kScale, x0 + (col + 1) * kScale, y0 + (row + 1) * kScale};
            FillRect(pBits, lWidth, lHeight, rc, 0xFFFFFF);
        }
    }
}

// hh:mm:ss:ff, centred, white on black.
void DrawTimeCode(uint8_t* pBits, int32_t lWidth, int32_t lHeight, int64_t llFrame, int64_t llFramesPerSecond)
{
    const int64_t llSeconds = llFrame / llFramesPerSecond;
    const int rgFields[] = {static_cast<int>(llSeconds / 3600 % 100), static_cast<int>(llSeconds / 60 % 60),
                            static_cast<int>(llSeconds % 60), static_cast<int>(llFrame % llFramesPerSecond)};
    const int32_t lTextWidth = 11 * kCellWidth;
    const int32_t x0 = (lWidth - lTextWidth) / 2;
    const int32_t y0 = (lHeight - 7 * kScale) / 2;
    FillRect(pBits, lWidth, lHeight, {x0 - 8, y0 - 8, x0 + lTextWidth + 8, y0 + 7 * kScale + 8}, 0x000000);
    int32_t x = x0;
    for (int i = 0; i < 4; ++i)
    {
        if (i > 0)
        {
            DrawGlyph(pBits, lWidth, lHeight, x, y0, kGlyphColon);
            x += kCellWidth;
        }
        DrawGlyph(pBits, lWidth, lHeight, x, y0, rgFields[i] / 10);
        DrawGlyph(pBits, lWidth, lHeight, x + kCellWidth, y0, rgFields[i] % 10);
        x += 2 * kCellWidth;
    }
}

} // namespace

void DrawTestPattern(uint8_t* pBits, int32_t lWidth, int32_t lHeight, int64_t llFrame, int64_t llFramesPerSecond)
{
    DrawBars(pBits, lWidth, lHeight, llFrame);
    // A square that crosses the lower band once a second.
    const int32_t lSize = lHeight / 8;
    const int32_t x = static_cast<int32_t>((llFrame % llFramesPerSecond) * (lWidth - lSize) / (llFramesPerSecond - 1));
    const int32_t y = lHeight - 2 * lSize;
    FillRect(pBits, lWidth, lHeight, {x, y, x + lSize, y + lSize}, 0xFFFFFF);
    DrawTimeCode(pBits, lWidth, lHeight, llFrame, llFramesPerSecond);
}

void WriteTone(int16_t* pSamples, uint16_t nChannels, uint32_t dwRate, int64_t llFirstFrame, int32_t cFrames)
{
    const double dPi = 3.14159265358979323846;
    const double dStep = 2.0 * dPi * 1000.0 / dwRate;
    for (int32_t i = 0; i < cFrames; ++i)
    {
        // The phase from the frame number alone, so a seek lands on the same wave.
        const int64_t llFrame = llFirstFrame + i;
        const double dPhase = dStep * static_cast<double>(llFrame % dwRate);
        const int16_t nValue = static_cast<int16_t>(8192.0 * std::sin(dPhase));
        for (uint16_t c = 0; c < nChannels; ++c)
            pSamples[static_cast<size_t>(i) * nChannels + c] = nValue;
    }
}
