#include "ScaleFactorBands.h"

namespace aac
{
namespace
{

// 44.1 and 48 kHz share their bands.
constexpr int kBandOffsets44And48[kLongBands + 1] = {
    0,   4,   8,   12,  16,  20,  24,  28,  32,  36,  40,  48,  56,  64,  72,  80,  88,
    96,  108, 120, 132, 144, 160, 176, 196, 216, 240, 264, 292, 320, 352, 384, 416, 448,
    480, 512, 544, 576, 608, 640, 672, 704, 736, 768, 800, 832, 864, 896, 928, 1024};

} // namespace

const int* LongBandOffsets(int nSampleRate)
{
    return nSampleRate == 44100 || nSampleRate == 48000 ? kBandOffsets44And48 : nullptr;
}

} // namespace aac
