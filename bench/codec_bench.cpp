// Times the encoders on the generator's default stream (10 s) under this
// platform: the H.264 encoder's median picture (250 of them) and key
// picture, and the AAC encoder's median access unit of the 48 kHz stereo
// tone, fed as the generator feeds it, 1024 frames at a time. The stream
// must stay real time on two cores.
#include "AacEncoder.h"
#include "Median.h"
#include "H264Encoder.h"
#include "TestPattern.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

namespace
{

constexpr int kWidth = 640;
constexpr int kHeight = 360;
constexpr int kFramesPerSecond = 25;
constexpr int kFrames = 10 * kFramesPerSecond;
constexpr double kGoalMs = 8.0;
constexpr int kAudioRate = 48000;
constexpr int kAudioChannels = 2;
constexpr double kAudioGoalMs = 1.0;

// The median time of an access unit, and the stream's bit rate; false when
// the encoder cannot be made.
bool TimeAacEncoder(double& dMedianMs, double& dKbps)
{
    std::unique_ptr<aac::Encoder> encoder;
    aac::EncoderSettings settings;
    settings.nSampleRate = kAudioRate;
    settings.nChannels = kAudioChannels;
    if (aac::Encoder::Create(settings, encoder) != aac::Status::Ok)
        return false;
    std::vector<int16_t> samples(static_cast<size_t>(aac::kFrameLength) * kAudioChannels);
    std::vector<aac::AccessUnit> units;
    std::vector<double> times;
    size_t cbTotal = 0;
    for (int64_t llFrame = 0; llFrame < 10 * kAudioRate; llFrame += aac::kFrameLength)
    {
        WriteTone(samples.data(), kAudioChannels, kAudioRate, llFrame, aac::kFrameLength);
        units.clear();
        const auto start = std::chrono::steady_clock::now();
        encoder->Encode(samples.data(), aac::kFrameLength, units);
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        for (const aac::AccessUnit& unit : units)
            cbTotal += unit.bytes.size();
    }
    dMedianMs = Median(times);
    dKbps = static_cast<double>(cbTotal) * 8 / (static_cast<double>(times.size()) * aac::kFrameLength / kAudioRate) /
            1000;
    return true;
}

} // namespace

int main()
{
    std::unique_ptr<h264::Encoder> encoder;
    if (h264::Encoder::Create(h264::EncoderSettings(), encoder) != h264::Status::Ok)
    {
        std::printf("H.264 encoder: cannot be made\n");
        return 1;
    }
    const size_t cbStride = static_cast<size_t>(kWidth) * 4;
    std::vector<uint8_t> bits(cbStride * kHeight);
    std::vector<double> frames, keyFrames;
    size_t cbTotal = 0;
    h264::EncodedFrame frame;
    for (int i = 0; i < kFrames; ++i)
    {
        DrawTestPattern(bits.data(), kWidth, kHeight, i, kFramesPerSecond);
        const auto start = std::chrono::steady_clock::now();
        if (encoder->Encode(h264::BgrxImage{bits.data(), bits.size(), cbStride, true}, false, frame) !=
            h264::Status::Ok)
        {
            std::printf("H.264 encoder: picture %d failed\n", i);
            return 1;
        }
        const double dMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        (frame.bKeyFrame ? keyFrames : frames).push_back(dMs);
        cbTotal += frame.bytes.size();
    }
    const double dMedian = Median(frames);
    std::printf("Skerry encoder benchmark: %d pictures of the default stream\n", kFrames);
    std::printf("%-40s %10.2f ms   goal < %.0f ms    %s\n", "H.264 picture, median", dMedian, kGoalMs,
                dMedian < kGoalMs ? "met" : "MISSED");
    std::printf("%-40s %10.2f ms\n", "H.264 key picture, median", Median(keyFrames));
    std::printf("%-40s %10.0f kbit/s\n", "H.264 stream", static_cast<double>(cbTotal) * 8 / 10 / 1000);

    double dAacMedian = 0.0;
    double dAacKbps = 0.0;
    if (!TimeAacEncoder(dAacMedian, dAacKbps))
    {
        std::printf("AAC encoder: cannot be made\n");
        return 1;
    }
    std::printf("%-40s %10.3f ms   goal < %.0f ms    %s\n", "AAC access unit, 48 kHz stereo, median", dAacMedian,
                kAudioGoalMs, dAacMedian < kAudioGoalMs ? "met" : "MISSED");
    std::printf("%-40s %10.1f kbit/s\n", "AAC stream", dAacKbps);
    return dMedian < kGoalMs && dAacMedian < kAudioGoalMs ? 0 : 1;
}
