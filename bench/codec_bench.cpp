// Times the H.264 encoder on the generator's default stream (10 s, 250
// pictures) under this platform: the median a picture takes, and a key
// picture. The stream must stay real time on two cores.
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
    return dMedian < kGoalMs ? 0 : 1;
}
