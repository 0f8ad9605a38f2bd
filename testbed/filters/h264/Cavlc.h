// residual_block_cavlc: one block of levels as coeff_token, the signs of
// the trailing ones, the other levels, total_zeros and the runs (clause 9.2).
#pragma once

#include "BitWriter.h"

#include <cstdint>

namespace h264
{

// nC of a 2x2 chroma DC block.
constexpr int kChromaDcNc = -1;

// Writes nCount levels (in scan order; 4, 15 or 16 of them) with the
// coeff_token table nC picks. Returns TotalCoeff, which neighbouring
// blocks use for their nC.
int WriteResidualBlock(BitWriter& writer, const int32_t* pLevels, int nCount, int nC);

// nC from the TotalCoeff of the blocks to the left and above; -1 for a
// block that is not available.
int PredictNc(int nLeft, int nAbove);

} // namespace h264
