#include "Mdct.h"

#include <cmath>

namespace aac
{
namespace
{

constexpr double kPi = 3.14159265358979323846;
constexpr int kHalf = kFrameLength / 2;    // the complex FFT's length
constexpr int kQuarter = kFrameLength / 2; // samples in each quarter of a window

} // namespace

Mdct::Mdct()
    : m_window(kWindowLength), m_preTwiddle(kHalf), m_postTwiddle(kHalf), m_fftTwiddle(kHalf / 2),
      m_bitReversed(kHalf), m_folded(kFrameLength), m_work(kHalf)
{
    for (int n = 0; n < kWindowLength; ++n)
        m_window[n] = std::sin(kPi / kWindowLength * (n + 0.5));
    // The analysis transform sums with a factor of 2, which the post-twiddle carries.
    for (int n = 0; n < kHalf; ++n)
    {
        m_preTwiddle[n] = std::polar(1.0, -kPi * n / kFrameLength);
        m_postTwiddle[n] = std::polar(2.0, -kPi * (n + 0.25) / kFrameLength);
    }
    for (int n = 0; n < kHalf / 2; ++n)
        m_fftTwiddle[n] = std::polar(1.0, -2.0 * kPi * n / kHalf);
    int nBits = 0;
    while ((1 << nBits) < kHalf)
        ++nBits;
    for (int n = 0; n < kHalf; ++n)
    {
        int nReversed = 0;
        for (int b = 0; b < nBits; ++b)
            nReversed |= ((n >> b) & 1) << (nBits - 1 - b);
        m_bitReversed[n] = nReversed;
    }
}

// The MDCT of the windowed quarters (a, b, c, d) is the DCT-IV of
// (-c reversed - d, a - b reversed); that DCT-IV is one complex FFT of half
// its length between two twiddles.
void Mdct::Transform(const double* pSamples, double* pLines)
{
    const double* w = m_window.data();
    for (int n = 0; n < kQuarter; ++n)
    {
        // -c_R - d
        const int nc = 3 * kQuarter - 1 - n; // c reversed
        const int nd = 3 * kQuarter + n;
        m_folded[n] = -w[nc] * pSamples[nc] - w[nd] * pSamples[nd];
        // a - b_R
        const int na = n;
        const int nb = 2 * kQuarter - 1 - n; // b reversed
        m_folded[kQuarter + n] = w[na] * pSamples[na] - w[nb] * pSamples[nb];
    }
    for (int n = 0; n < kHalf; ++n)
        m_work[m_bitReversed[n]] =
            std::complex<double>(m_folded[2 * n], m_folded[kFrameLength - 1 - 2 * n]) * m_preTwiddle[n];
    Fft(m_work);
    for (int k = 0; k < kHalf; ++k)
    {
        const std::complex<double> c = m_work[k] * m_postTwiddle[k];
        pLines[2 * k] = c.real();
        pLines[kFrameLength - 1 - 2 * k] = -c.imag();
    }
}

// In place, radix 2, on values already in bit-reversed order.
void Mdct::Fft(std::vector<std::complex<double>>& values) const
{
    for (int nSpan = 1; nSpan < kHalf; nSpan *= 2)
    {
        const int nStep = kHalf / (2 * nSpan);
        for (int nStart = 0; nStart < kHalf; nStart += 2 * nSpan)
        {
            for (int j = 0; j < nSpan; ++j)
            {
                const std::complex<double> t = values[nStart + j + nSpan] * m_fftTwiddle[j * nStep];
                values[nStart + j + nSpan] = values[nStart + j] - t;
                values[nStart + j] += t;
            }
        }
    }
}

} // namespace aac
