// The encoder's quality check, built natively. Three modes:
//
//   encode <stream.h264> <reference.yuv> [frames [width height]]
//       encodes the generator's default stream (its test pattern, 640x360
//       at 25 frames a second, 250 frames unless told) and writes the
//       pictures it was given, converted to 4:2:0 with the encoder's own
//       matrix, as the reference; prints the median encoding time.
//   reference <reference.yuv> [frames [width height]]
//       writes only the reference, for a stream encoded elsewhere (the
//       filter's output in a running graph).
//   measure <stream.h264> <decoded.yuv> <reference.yuv> <width> <height> <fps>
//       compares a decoder's output with the reference frame by frame and
//       prints the luma PSNR (average and worst) and the bit rate; fails
//       when a goal below is missed or the frame counts differ.
#include "ColourConvert.h"
#include "H264Encoder.h"
#include "TestPattern.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace
{

constexpr int kDefaultWidth = 640;
constexpr int kDefaultHeight = 360;
constexpr int kFramesPerSecond = 25;
constexpr int kDefaultFrames = 250;

constexpr double kMinAveragePsnr = 40.0;
constexpr double kMinWorstPsnr = 36.0;
constexpr double kMaxKbitPerSecond = 2000.0;

size_t I420Size(int nWidth, int nHeight)
{
    return static_cast<size_t>(nWidth) * nHeight * 3 / 2;
}

bool WriteAll(std::ofstream& out, const std::vector<uint8_t>& bytes)
{
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

struct Size
{
    int nWidth;
    int nHeight;
};

// The generator's pictures, and the same converted to 4:2:0 (I420).
class PatternFrames
{
public:
    explicit PatternFrames(Size size)
        : m_size(size), m_bgrx(static_cast<size_t>(size.nWidth) * size.nHeight * 4),
          m_yuv(I420Size(size.nWidth, size.nHeight)),
          m_target{m_yuv.data(), size.nWidth, m_yuv.data() + size.nWidth * size.nHeight,
                   m_yuv.data() + size.nWidth * size.nHeight * 5 / 4, size.nWidth / 2},
          m_image{m_bgrx.data(), m_bgrx.size(), size.nWidth * 4, true}
    {
    }

    void Draw(int nFrame)
    {
        DrawTestPattern(m_bgrx.data(), m_size.nWidth, m_size.nHeight, nFrame, kFramesPerSecond);
        h264::ConvertBgrxToYuv420(m_image, m_size.nWidth, m_size.nHeight, m_target);
    }
    const h264::BgrxImage& Image() const { return m_image; }
    const std::vector<uint8_t>& Yuv() const { return m_yuv; }

private:
    Size m_size;
    std::vector<uint8_t> m_bgrx;
    std::vector<uint8_t> m_yuv;
    h264::YuvTarget m_target;
    h264::BgrxImage m_image;
};

int WriteReference(const char* pszReference, int nFrames, Size size)
{
    std::ofstream reference(pszReference, std::ios::binary);
    PatternFrames frames(size);
    for (int i = 0; i < nFrames && reference; ++i)
    {
        frames.Draw(i);
        WriteAll(reference, frames.Yuv());
    }
    if (!reference)
    {
        std::fprintf(stderr, "cannot write %s\n", pszReference);
        return 1;
    }
    return 0;
}

int Encode(const char* pszStream, const char* pszReference, int nFrames, Size size)
{
    h264::EncoderSettings settings;
    settings.nWidth = size.nWidth;
    settings.nHeight = size.nHeight;
    settings.nFramesPerSecond = kFramesPerSecond;
    std::unique_ptr<h264::Encoder> encoder;
    const h264::Status created = h264::Encoder::Create(settings, encoder);
    if (created != h264::Status::Ok)
    {
        std::fprintf(stderr, "encoder: %s\n", h264::StatusText(created));
        return 1;
    }
    std::ofstream stream(pszStream, std::ios::binary);
    std::ofstream reference(pszReference, std::ios::binary);
    if (!stream || !reference)
    {
        std::fprintf(stderr, "cannot write %s or %s\n", pszStream, pszReference);
        return 1;
    }

    PatternFrames frames(size);
    std::vector<double> milliseconds;
    h264::EncodedFrame frame;
    int nKeyFrames = 0;
    for (int i = 0; i < nFrames; ++i)
    {
        frames.Draw(i);
        const auto start = std::chrono::steady_clock::now();
        const h264::Status status = encoder->Encode(frames.Image(), false, frame);
        const auto stop = std::chrono::steady_clock::now();
        if (status != h264::Status::Ok)
        {
            std::fprintf(stderr, "frame %d: %s\n", i, h264::StatusText(status));
            return 1;
        }
        milliseconds.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
        nKeyFrames += frame.bKeyFrame ? 1 : 0;
        if (!WriteAll(stream, frame.bytes) || !WriteAll(reference, frames.Yuv()))
        {
            std::fprintf(stderr, "cannot write frame %d\n", i);
            return 1;
        }
    }
    std::sort(milliseconds.begin(), milliseconds.end());
    std::printf("encoded %d frames of %dx%d (%d key frames), median %.2f ms a frame (native)\n", nFrames,
                size.nWidth, size.nHeight, nKeyFrames, milliseconds[milliseconds.size() / 2]);
    return 0;
}

std::vector<uint8_t> ReadFile(const char* pszPath)
{
    std::ifstream in(pszPath, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

double LumaPsnr(const uint8_t* pA, const uint8_t* pB, size_t cSamples)
{
    uint64_t ullSquares = 0;
    for (size_t i = 0; i < cSamples; ++i)
    {
        const int d = pA[i] - pB[i];
        ullSquares += static_cast<uint64_t>(d * d);
    }
    if (ullSquares == 0)
        return 99.0;
    const double dMse = static_cast<double>(ullSquares) / static_cast<double>(cSamples);
    return 10.0 * std::log10(255.0 * 255.0 / dMse);
}

int Measure(const char* pszStream, const char* pszDecoded, const char* pszReference, int nWidth, int nHeight,
            int nFps)
{
    const std::vector<uint8_t> stream = ReadFile(pszStream);
    const std::vector<uint8_t> decoded = ReadFile(pszDecoded);
    const std::vector<uint8_t> reference = ReadFile(pszReference);
    const size_t cbFrame = I420Size(nWidth, nHeight);
    if (stream.empty() || reference.empty() || reference.size() % cbFrame != 0)
    {
        std::printf("FAIL: no stream, or the reference is not whole %dx%d frames\n", nWidth, nHeight);
        return 1;
    }
    const size_t cFrames = reference.size() / cbFrame;
    if (decoded.size() != reference.size())
    {
        std::printf("FAIL: decoded %zu bytes, %.2f frames, for %zu reference frames\n", decoded.size(),
                    static_cast<double>(decoded.size()) / cbFrame, cFrames);
        return 1;
    }
    double dSum = 0, dWorst = 1e9;
    size_t nWorst = 0;
    for (size_t i = 0; i < cFrames; ++i)
    {
        const double dPsnr =
            LumaPsnr(decoded.data() + i * cbFrame, reference.data() + i * cbFrame, static_cast<size_t>(nWidth) * nHeight);
        dSum += dPsnr;
        if (dPsnr < dWorst)
        {
            dWorst = dPsnr;
            nWorst = i;
        }
    }
    const double dAverage = dSum / static_cast<double>(cFrames);
    const double dSeconds = static_cast<double>(cFrames) / nFps;
    const double dKbps = static_cast<double>(stream.size()) * 8.0 / dSeconds / 1000.0;
    std::printf("frames %zu, luma PSNR average %.2f dB, worst %.2f dB (frame %zu), %.0f kbit/s (%zu bytes)\n",
                cFrames, dAverage, dWorst, nWorst, dKbps, stream.size());
    bool bOk = true;
    if (dAverage < kMinAveragePsnr)
    {
        std::printf("FAIL: average PSNR below %.1f dB\n", kMinAveragePsnr);
        bOk = false;
    }
    if (dWorst < kMinWorstPsnr)
    {
        std::printf("FAIL: worst PSNR below %.1f dB\n", kMinWorstPsnr);
        bOk = false;
    }
    if (dKbps > kMaxKbitPerSecond)
    {
        std::printf("FAIL: bit rate above %.0f kbit/s\n", kMaxKbitPerSecond);
        bOk = false;
    }
    return bOk ? 0 : 1;
}

int Usage()
{
    std::fprintf(stderr, "usage: h264_quality encode <stream.h264> <reference.yuv> [frames [width height]]\n"
                         "       h264_quality reference <reference.yuv> [frames [width height]]\n"
                         "       h264_quality measure <stream.h264> <decoded.yuv> <reference.yuv> <width> <height> "
                         "<fps>\n");
    return 2;
}

// Optional [frames [width height]] from argv[nFirst] on: false when they
// are not whole positive numbers, or the size is odd.
bool ReadFramesAndSize(int argc, char** argv, int nFirst, int& nFrames, Size& size)
{
    nFrames = kDefaultFrames;
    size = {kDefaultWidth, kDefaultHeight};
    if (argc > nFirst)
        nFrames = std::atoi(argv[nFirst]);
    if (argc > nFirst + 1)
        size = {std::atoi(argv[nFirst + 1]), argc > nFirst + 2 ? std::atoi(argv[nFirst + 2]) : 0};
    return argc <= nFirst + 3 && argc != nFirst + 2 && nFrames > 0 && size.nWidth > 0 && size.nHeight > 0 &&
           size.nWidth % 2 == 0 && size.nHeight % 2 == 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    int nFrames = 0;
    Size size = {};
    if (mode == "encode" && argc >= 4 && ReadFramesAndSize(argc, argv, 4, nFrames, size))
        return Encode(argv[2], argv[3], nFrames, size);
    if (mode == "reference" && argc >= 3 && ReadFramesAndSize(argc, argv, 3, nFrames, size))
        return WriteReference(argv[2], nFrames, size);
    if (mode == "measure" && argc == 8)
    {
        const int nWidth = std::atoi(argv[5]), nHeight = std::atoi(argv[6]), nFps = std::atoi(argv[7]);
        if (nWidth <= 0 || nHeight <= 0 || nWidth % 2 != 0 || nHeight % 2 != 0 || nFps <= 0)
            return Usage();
        return Measure(argv[2], argv[3], argv[4], nWidth, nHeight, nFps);
    }
    return Usage();
}
