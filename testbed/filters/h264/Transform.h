// The 4x4 integer transform, the DC Hadamard transforms, and quantisation.
// The inverse side is the standard's decoding process (clause 8.5.12):
// encoder and decoder must reconstruct the very same samples. The forward
// side is the encoder's own choice and only needs to invert it closely.
// Blocks are 16 values in raster order (row * 4 + column).
#pragma once

#include <cstdint>

namespace h264
{

// Forward core transform of a residual block, in place.
void ForwardTransform4x4(int32_t block[16]);
// Inverse transform of scaled coefficients, in place; the result still
// carries the factor 64 that (x + 32) >> 6 removes.
void InverseTransform4x4(int32_t block[16]);
// The 4x4 Hadamard transform of the Intra16x16 luma DC values, in place;
// the same matrix serves both directions.
void Hadamard4x4(int32_t block[16]);
// The 2x2 Hadamard transform of the chroma DC values, in place.
void Hadamard2x2(int32_t block[4]);

// Quantises one coefficient. bIntra picks the rounding (a third for intra,
// a sixth for inter: small inter residuals go to zero). The result is
// clamped to what a CAVLC level can carry in this profile.
int32_t Quantise(int32_t nCoeff, int nQp, int nClass, bool bIntra);
// Quantises a DC value of the Intra16x16 or chroma DC transform, which the
// Hadamard step scaled up: one more bit of shift.
int32_t QuantiseDc(int32_t nCoeff, int nQp, bool bIntra);

// The class of a raster position for the scale tables: 0 both indices
// even, 1 both odd, 2 otherwise.
int ScaleClass(int nRasterIndex);
// Scaled coefficient d of level c at a raster position (clause 8.5.12.1).
int32_t Dequantise(int32_t nLevel, int nQp, int nRasterIndex);
// Luma DC after the inverse Hadamard (clause 8.5.10).
int32_t DequantiseLumaDc(int32_t nValue, int nQp);
// Chroma DC after the inverse Hadamard (clause 8.5.11.2).
int32_t DequantiseChromaDc(int32_t nValue, int nQp);

// Quantises a residual's coefficients in raster order into levels in scan
// order, skipping the DC when bSkipDc (it goes through a DC transform).
// Returns the count of non-zero levels.
int QuantiseBlock(const int32_t coeffs[16], int nQp, bool bIntra, bool bSkipDc, int32_t levels[16]);
// Scaled coefficients in raster order from levels in scan order; when
// bSkipDc the DC (scaled already) is nDc.
void DequantiseBlock(const int32_t levels[16], int nQp, bool bSkipDc, int32_t nDc, int32_t coeffs[16]);

} // namespace h264
