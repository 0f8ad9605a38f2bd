// The MDCT of AAC's long blocks: 2048 samples under the sine window into
// 1024 spectral lines, X[k] = 2 * sum w[n] x[n] cos(2 pi / N (n + n0) (k + 1/2)),
// so that the standard's inverse transform (2/N before the sum) and
// overlap-add give the samples back.
#pragma once

#include <complex>
#include <vector>

namespace aac
{

constexpr int kFrameLength = 1024;               // spectral lines, and new samples a block
constexpr int kWindowLength = 2 * kFrameLength;  // samples a transform reads

class Mdct
{
public:
    Mdct();

    // pSamples: kWindowLength samples, the previous block's then this one's,
    // not yet windowed. pLines: kFrameLength lines out.
    void Transform(const double* pSamples, double* pLines);

    // The sine window, kWindowLength values.
    const std::vector<double>& Window() const { return m_window; }

private:
    void Fft(std::vector<std::complex<double>>& values) const;

    std::vector<double> m_window;
    std::vector<std::complex<double>> m_preTwiddle;  // kFrameLength / 2
    std::vector<std::complex<double>> m_postTwiddle; // kFrameLength / 2
    std::vector<std::complex<double>> m_fftTwiddle;  // kFrameLength / 4
    std::vector<int> m_bitReversed;                  // kFrameLength / 2
    std::vector<double> m_folded;                    // kFrameLength
    std::vector<std::complex<double>> m_work;        // kFrameLength / 2
};

} // namespace aac
