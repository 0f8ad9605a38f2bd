// Scale factor bands of long blocks: the spectral lines that share a scale
// factor and a codebook.
#pragma once

namespace aac
{

// Bands of a long block at 44.1 and 48 kHz.
constexpr int kLongBands = 49;

// The first line of each band, and one past the last line of the last
// band (kLongBands + 1 values), for a sample rate the encoder takes;
// nullptr for any other.
const int* LongBandOffsets(int nSampleRate);

} // namespace aac
