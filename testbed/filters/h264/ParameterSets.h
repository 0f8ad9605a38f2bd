// The sequence and picture parameter sets and the slice header this
// encoder writes (clauses 7.3.2.1, 7.3.2.2, 7.3.3 and Annex E).
#pragma once

#include "BitWriter.h"

#include <cstdint>
#include <vector>

namespace h264
{

// What the parameter sets describe.
struct StreamLayout
{
    int nWidth = 0;           // visible size
    int nHeight = 0;
    int nMbWidth = 0;         // coded size in macroblocks
    int nMbHeight = 0;
    int nFramesPerSecond = 25;
    int nQp = 26;
};

// frame_num counts pictures modulo 2^4 (log2_max_frame_num_minus4 = 0).
constexpr int kFrameNumModulus = 16;

constexpr int kProfileConstrainedBaseline = 66;

// level_idc of the lowest level whose frame size and macroblock rate
// (Table A-1) take the stream: 3.0 for 640x368 at 25 frames a second
// (23000 macroblocks a second of its 40500, 920 of its 1620 a frame).
int LevelFor(const StreamLayout& layout);

std::vector<uint8_t> MakeSequenceParameterSetRbsp(const StreamLayout& layout);
std::vector<uint8_t> MakePictureParameterSetRbsp(const StreamLayout& layout);

struct SliceHeader
{
    bool bIdr = false;
    bool bIntra = false; // I slice, else P slice
    int nFrameNum = 0;
    int nIdrPicId = 0;
};

void WriteSliceHeader(BitWriter& writer, const SliceHeader& header);

} // namespace h264
