// The encoder's quality check, built natively. Three modes:
//
//   encode <stream.h264> <reference.yuv> [options]
//       encodes the generator's default stream (its test pattern, 640x360
//       at 25 frames a second, 250 frames) and writes the pictures it was
//       given, converted to 4:2:0 (I420) with the encoder's own matrix, as
//       the reference, and the encoder's own reconstruction beside it
//       (<stream>.recon.yuv); prints the median encoding time.
//   reference <reference.yuv> [options]
//       writes only the reference, for a stream encoded elsewhere (the
//       filter's output in a running graph).
//   measure <stream.h264> <decoded.yuv> <reference.yuv> [options]
//       compares a decoder's output (I420) with the reference frame by
//       frame, prints the luma PSNR (average and worst) and the bit rate,
//       and fails when a goal is missed or the frame counts differ. With
//       --exact <recon.yuv> the decoder's output must also be the encoder's
//       reconstruction byte for byte: encoder and decoder agree.
//
// Options: --frames N, --size WxH, --fps N, --qp N, --noise (noise in
// every other block of the pattern), and the goals --min-average dB,
// --min-worst dB, --max-kbps N.
#include "ColourConvert.h"
#include "H264Encoder.h"
#include "TestPattern.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace
{

struct Options
{
    int nFrames = 250;
    int nWidth = 640;
    int nHeight = 360;
    int nFramesPerSecond = 25;
    int nQp = h264::EncoderSettings().nQp;
    bool bNoise = false;
    double dMinAveragePsnr = 40.0;
    double dMinWorstPsnr = 36.0;
    double dMaxKbitPerSecond = 2000.0;
    std::string exactPath;
};

// Reads the options from argv[nFirst] on; false on anything unknown or out
// of range.
bool ReadOptions(int argc, char** argv, int nFirst, Options& options)
{
    for (int i = nFirst; i < argc; ++i)
    {
        const std::string name = argv[i];
        if (name == "--noise")
        {
            options.bNoise = true;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        const char* pszValue = argv[++i];
        if (name == "--frames")
            options.nFrames = std::atoi(pszValue);
        else if (name == "--size")
        {
            if (std::sscanf(pszValue, "%dx%d", &options.nWidth, &options.nHeight) != 2)
                return false;
        }
        else if (name == "--fps")
            options.nFramesPerSecond = std::atoi(pszValue);
        else if (name == "--qp")
            options.nQp = std::atoi(pszValue);
        else if (name == "--min-average")
            options.dMinAveragePsnr = std::atof(pszValue);
        else if (name == "--min-worst")
            options.dMinWorstPsnr = std::atof(pszValue);
        else if (name == "--max-kbps")
            options.dMaxKbitPerSecond = std::atof(pszValue);
        else if (name == "--exact")
            options.exactPath = pszValue;
        else
            return false;
    }
    return options.nFrames > 0 && options.nWidth > 0 && options.nHeight > 0 && options.nWidth % 2 == 0 &&
           options.nHeight % 2 == 0 && options.nFramesPerSecond > 0;
}

size_t I420Size(int nWidth, int nHeight)
{
    return static_cast<size_t>(nWidth) * nHeight * 3 / 2;
}

bool WriteAll(std::ofstream& out, const std::vector<uint8_t>& bytes)
{
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

// The pictures to encode (the generator's, or noise), and the same
// converted to 4:2:0.
class SourceFrames
{
public:
    explicit SourceFrames(const Options& options)
        : m_options(options), m_bgrx(static_cast<size_t>(options.nWidth) * options.nHeight * 4),
          m_yuv(I420Size(options.nWidth, options.nHeight)),
          m_target{m_yuv.data(), options.nWidth, m_yuv.data() + options.nWidth * options.nHeight,
                   m_yuv.data() + options.nWidth * options.nHeight * 5 / 4, options.nWidth / 2},
          m_image{m_bgrx.data(), m_bgrx.size(), options.nWidth * 4, true}
    {
    }

    void Draw(int nFrame)
    {
        DrawTestPattern(m_bgrx.data(), m_options.nWidth, m_options.nHeight, nFrame, m_options.nFramesPerSecond);
        if (m_options.bNoise)
            AddNoise(nFrame);
        h264::ConvertBgrxToYuv420(m_image, m_options.nWidth, m_options.nHeight, m_target);
    }
    const h264::BgrxImage& Image() const { return m_image; }
    const std::vector<uint8_t>& Yuv() const { return m_yuv; }

private:
    // Every other 16x16 block, as on a chessboard, becomes noise with each
    // channel fully on or off: the most a block can hold.
    void AddNoise(int nFrame)
    {
        std::mt19937 random(static_cast<unsigned>(nFrame));
        const size_t cbRow = static_cast<size_t>(m_options.nWidth) * 4;
        for (size_t i = 0; i < m_bgrx.size(); ++i)
        {
            const size_t x = i % cbRow / 4 / 16, y = i / cbRow / 16;
            const uint8_t b = (random() & 1) != 0 ? 255 : 0;
            if ((x + y) % 2 == 0)
                m_bgrx[i] = b;
        }
    }

    const Options& m_options;
    std::vector<uint8_t> m_bgrx;
    std::vector<uint8_t> m_yuv;
    h264::YuvTarget m_target;
    h264::BgrxImage m_image;
};

int WriteReference(const char* pszReference, const Options& options)
{
    std::ofstream reference(pszReference, std::ios::binary);
    SourceFrames frames(options);
    for (int i = 0; i < options.nFrames && reference; ++i)
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

int Encode(const char* pszStream, const char* pszReference, const Options& options)
{
    h264::EncoderSettings settings;
    settings.nWidth = options.nWidth;
    settings.nHeight = options.nHeight;
    settings.nFramesPerSecond = options.nFramesPerSecond;
    settings.nQp = options.nQp;
    std::unique_ptr<h264::Encoder> encoder;
    const h264::Status created = h264::Encoder::Create(settings, encoder);
    if (created != h264::Status::Ok)
    {
        std::fprintf(stderr, "encoder: %s\n", h264::StatusText(created));
        return 1;
    }
    const std::string reconPath = std::string(pszStream).substr(0, std::string(pszStream).rfind('.')) + ".recon.yuv";
    std::ofstream stream(pszStream, std::ios::binary);
    std::ofstream reference(pszReference, std::ios::binary);
    std::ofstream recon(reconPath, std::ios::binary);
    if (!stream || !reference || !recon)
    {
        std::fprintf(stderr, "cannot write %s, %s or %s\n", pszStream, pszReference, reconPath.c_str());
        return 1;
    }

    SourceFrames frames(options);
    std::vector<uint8_t> reconstruction(I420Size(options.nWidth, options.nHeight));
    const int nLumaSize = options.nWidth * options.nHeight;
    const h264::YuvTarget reconTarget = {reconstruction.data(), options.nWidth, reconstruction.data() + nLumaSize,
                                         reconstruction.data() + nLumaSize * 5 / 4, options.nWidth / 2};
    std::vector<double> milliseconds, keyMilliseconds;
    h264::EncodedFrame frame;
    int nKeyFrames = 0;
    for (int i = 0; i < options.nFrames; ++i)
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
        const double dMilliseconds = std::chrono::duration<double, std::milli>(stop - start).count();
        milliseconds.push_back(dMilliseconds);
        if (frame.bKeyFrame)
            keyMilliseconds.push_back(dMilliseconds);
        nKeyFrames += frame.bKeyFrame ? 1 : 0;
        if (!encoder->CopyReconstruction(reconTarget) || !WriteAll(stream, frame.bytes) ||
            !WriteAll(reference, frames.Yuv()) || !WriteAll(recon, reconstruction))
        {
            std::fprintf(stderr, "cannot write frame %d\n", i);
            return 1;
        }
    }
    std::sort(milliseconds.begin(), milliseconds.end());
    std::sort(keyMilliseconds.begin(), keyMilliseconds.end());
    std::printf("encoded %d %s frames of %dx%d at QP %d (%d key frames), median %.2f ms a frame, %.2f ms a key "
                "frame (native)\n",
                options.nFrames, options.bNoise ? "noise" : "pattern", options.nWidth, options.nHeight, options.nQp,
                nKeyFrames, milliseconds[milliseconds.size() / 2], keyMilliseconds[keyMilliseconds.size() / 2]);
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

int Measure(const char* pszStream, const char* pszDecoded, const char* pszReference, const Options& options)
{
    const std::vector<uint8_t> stream = ReadFile(pszStream);
    const std::vector<uint8_t> decoded = ReadFile(pszDecoded);
    const std::vector<uint8_t> reference = ReadFile(pszReference);
    const size_t cbFrame = I420Size(options.nWidth, options.nHeight);
    if (stream.empty() || reference.empty() || reference.size() % cbFrame != 0)
    {
        std::printf("FAIL: no stream, or the reference is not whole %dx%d frames\n", options.nWidth,
                    options.nHeight);
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
        const double dPsnr = LumaPsnr(decoded.data() + i * cbFrame, reference.data() + i * cbFrame,
                                      static_cast<size_t>(options.nWidth) * options.nHeight);
        dSum += dPsnr;
        if (dPsnr < dWorst)
        {
            dWorst = dPsnr;
            nWorst = i;
        }
    }
    const double dAverage = dSum / static_cast<double>(cFrames);
    const double dSeconds = static_cast<double>(cFrames) / options.nFramesPerSecond;
    const double dKbps = static_cast<double>(stream.size()) * 8.0 / dSeconds / 1000.0;
    std::printf("frames %zu, luma PSNR average %.2f dB, worst %.2f dB (frame %zu), %.0f kbit/s (%zu bytes)\n",
                cFrames, dAverage, dWorst, nWorst, dKbps, stream.size());
    bool bOk = true;
    if (!options.exactPath.empty() && ReadFile(options.exactPath.c_str()) != decoded)
    {
        std::printf("FAIL: the decoded pictures are not the encoder's reconstruction %s\n",
                    options.exactPath.c_str());
        bOk = false;
    }
    if (dAverage < options.dMinAveragePsnr)
    {
        std::printf("FAIL: average PSNR below %.1f dB\n", options.dMinAveragePsnr);
        bOk = false;
    }
    if (dWorst < options.dMinWorstPsnr)
    {
        std::printf("FAIL: worst PSNR below %.1f dB\n", options.dMinWorstPsnr);
        bOk = false;
    }
    if (dKbps > options.dMaxKbitPerSecond)
    {
        std::printf("FAIL: bit rate above %.0f kbit/s\n", options.dMaxKbitPerSecond);
        bOk = false;
    }
    return bOk ? 0 : 1;
}

int Usage()
{
    std::fprintf(stderr, "usage: h264_quality encode <stream.h264> <reference.yuv> [options]\n"
                         "       h264_quality reference <reference.yuv> [options]\n"
                         "       h264_quality measure <stream.h264> <decoded.yuv> <reference.yuv> [options]\n"
                         "options: --frames N --size WxH --fps N --qp N --noise\n"
                         "         --min-average dB --min-worst dB --max-kbps N --exact recon.yuv\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    Options options;
    if (mode == "encode" && argc >= 4 && ReadOptions(argc, argv, 4, options))
        return Encode(argv[2], argv[3], options);
    if (mode == "reference" && argc >= 3 && ReadOptions(argc, argv, 3, options))
        return WriteReference(argv[2], options);
    if (mode == "measure" && argc >= 5 && ReadOptions(argc, argv, 5, options))
        return Measure(argv[2], argv[3], argv[4], options);
    return Usage();
}
