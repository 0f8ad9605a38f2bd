// libFuzzer target: the H.264 encoder on pictures of any size, stride,
// layout and content, over a few pictures so that P pictures are made too.
// A picture the encoder takes must give an access unit that starts with a
// start code; one it refuses must leave nothing behind.
#include "ColourConvert.h"
#include "H264Encoder.h"

#include <cstdlib>
#include <memory>
#include <vector>

namespace
{

// The first bytes of the input choose the picture; the rest fill it.
struct FuzzedPicture
{
    h264::EncoderSettings settings;
    ptrdiff_t cbStride;
    size_t cbSize;
    bool bBottomUp;
    bool bForceKeyFrame;
    int nFrames;
};

constexpr size_t kHeaderBytes = 8;

FuzzedPicture Choose(const uint8_t* p)
{
    FuzzedPicture picture;
    // Mostly small pictures, now and then an odd or too small size.
    picture.settings.nWidth = 8 + p[0] % 120;
    picture.settings.nHeight = 8 + p[1] % 120;
    picture.settings.nQp = 10 + p[2] % 44;
    picture.settings.nKeyFrameInterval = p[3] % 4;
    const ptrdiff_t cbRow = static_cast<ptrdiff_t>(picture.settings.nWidth) * 4;
    picture.cbStride = cbRow + (static_cast<int>(p[4] % 24) - 4) * 4 + (p[4] & 1);
    // The size the picture needs, or up to two bytes less.
    const ptrdiff_t cbNeeded =
        picture.cbStride > 0 ? picture.cbStride * (picture.settings.nHeight - 1) + cbRow : cbRow;
    picture.cbSize = static_cast<size_t>(cbNeeded - p[5] % 3);
    picture.bBottomUp = (p[6] & 1) != 0;
    picture.bForceKeyFrame = (p[6] & 2) != 0;
    picture.nFrames = 1 + p[7] % 3;
    return picture;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cbData)
{
    if (cbData <= kHeaderBytes)
        return 0;
    const FuzzedPicture picture = Choose(pData);
    std::unique_ptr<h264::Encoder> encoder;
    if (h264::Encoder::Create(picture.settings, encoder) != h264::Status::Ok)
    {
        if (encoder)
            std::abort();
        return 0;
    }
    // Exactly the chosen size on the heap, so that reading past it shows.
    std::vector<uint8_t> bits(picture.cbSize);
    for (size_t i = 0; i < bits.size(); ++i)
        bits[i] = pData[kHeaderBytes + (i + i / 7) % (cbData - kHeaderBytes)];
    const h264::BgrxImage image = {bits.data(), bits.size(), picture.cbStride, picture.bBottomUp};
    const bool bFits = h264::FitsImage(image, picture.settings.nWidth, picture.settings.nHeight);
    h264::EncodedFrame frame;
    for (int i = 0; i < picture.nFrames; ++i)
    {
        const h264::Status status = encoder->Encode(image, picture.bForceKeyFrame && i == 1, frame);
        if ((status == h264::Status::Ok) != bFits)
            std::abort();
        if (status != h264::Status::Ok)
        {
            if (!frame.bytes.empty() || frame.bKeyFrame)
                std::abort();
            continue;
        }
        if (frame.bytes.size() < 5 || frame.bytes[0] != 0 || frame.bytes[1] != 0 || frame.bytes[2] != 0 ||
            frame.bytes[3] != 1)
            std::abort();
        if (i == 0 && !frame.bKeyFrame)
            std::abort();
    }
    return 0;
}
