// An H.264 video encoder: 32-bit BGRX pictures in, one Annex B access unit
// out per picture, in the Constrained Baseline profile (level 3.0 for 640x360
// at 25 frames a second; the lowest level that fits other sizes and rates).
//
// Every picture is one slice. An IDR picture (Intra16x16 and Intra_4x4
// macroblocks) comes with the sequence and picture parameter sets before
// it, every nKeyFrameInterval pictures and whenever the caller asks for one
// (after a discontinuity); the others are P pictures of skipped,
// motion-compensated 16x16 and intra macroblocks predicted from the
// picture before. The quantiser is fixed; there is no deblocking filter.
// A macroblock over its bit limit goes as I_PCM.
#pragma once

#include "ColourConvert.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace h264
{

enum class Status
{
    Ok,
    InvalidSettings,   // size not even, out of range, or rates out of range
    NullImage,         // no pixels, or an empty buffer
    ImageTooSmall,     // the buffer or the stride cannot hold the picture
};

const char* StatusText(Status status);

struct EncoderSettings
{
    int nWidth = 640;            // even, 16 to 2048
    int nHeight = 360;           // even, 16 to 2048
    int nFramesPerSecond = 25;   // 1 to 120, written into the stream's timing
    int nQp = 26;                // 12 to 51: lower is better and larger
    int nKeyFrameInterval = 25;  // an IDR picture every so many pictures, 1 or more
};

struct EncodedFrame
{
    std::vector<uint8_t> bytes; // the access unit, start codes included
    bool bKeyFrame = false;     // an IDR picture with its parameter sets
};

class Encoder
{
public:
    // Fails with InvalidSettings and leaves encoder empty when the settings
    // are out of range.
    static Status Create(const EncoderSettings& settings, std::unique_ptr<Encoder>& encoder);
    ~Encoder();
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;

    // Encodes the next picture into frame (replacing its bytes). On failure
    // frame is left empty and the encoder's state is unchanged.
    Status Encode(const BgrxImage& image, bool bForceKeyFrame, EncodedFrame& frame);

    // The parameter sets as NAL units without start codes (header byte
    // first), as a media type's sequence header carries them.
    const std::vector<uint8_t>& SequenceParameterSet() const;
    const std::vector<uint8_t>& PictureParameterSet() const;

    const EncoderSettings& Settings() const;

    // The last encoded picture as a decoder reconstructs it (visible size,
    // 4:2:0), for measuring; false before the first picture.
    bool CopyReconstruction(const YuvTarget& target) const;

private:
    struct State;
    explicit Encoder(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};

} // namespace h264
