#include "H264Encoder.h"

#include "BitWriter.h"
#include "FrameCoder.h"
#include "ParameterSets.h"
#include "Picture.h"

#include <cstring>
#include <utility>

namespace h264
{
namespace
{

constexpr int kMinSize = 16;
constexpr int kMaxSize = 2048;
constexpr int kMinQp = 12; // below it, levels could outgrow what CAVLC carries here
constexpr int kMaxQp = 51;
// nal_ref_idc of every NAL unit: all pictures are reference pictures.
constexpr int kRefIdc = 3;

bool AreValid(const EncoderSettings& s)
{
    const auto inRange = [](int n, int nMin, int nMax) { return n >= nMin && n <= nMax; };
    return inRange(s.nWidth, kMinSize, kMaxSize) && inRange(s.nHeight, kMinSize, kMaxSize) && s.nWidth % 2 == 0 &&
           s.nHeight % 2 == 0 && inRange(s.nFramesPerSecond, 1, 120) && inRange(s.nQp, kMinQp, kMaxQp) &&
           s.nKeyFrameInterval >= 1;
}

StreamLayout LayoutOf(const EncoderSettings& s)
{
    StreamLayout layout;
    layout.nWidth = s.nWidth;
    layout.nHeight = s.nHeight;
    layout.nMbWidth = (s.nWidth + 15) / 16;
    layout.nMbHeight = (s.nHeight + 15) / 16;
    layout.nFramesPerSecond = s.nFramesPerSecond;
    layout.nQp = s.nQp;
    return layout;
}

} // namespace

struct Encoder::State
{
    explicit State(const EncoderSettings& s)
        : settings(s), layout(LayoutOf(s)),
          sps(MakeNalUnit(NalType::Sps, kRefIdc, MakeSequenceParameterSetRbsp(layout))),
          pps(MakeNalUnit(NalType::Pps, kRefIdc, MakePictureParameterSetRbsp(layout))),
          source(layout.nMbWidth * 16, layout.nMbHeight * 16, 0),
          recon(layout.nMbWidth * 16, layout.nMbHeight * 16, kLumaMargin),
          ref(layout.nMbWidth * 16, layout.nMbHeight * 16, kLumaMargin),
          coder(layout.nMbWidth, layout.nMbHeight, s.nQp)
    {
    }

    void LoadSource(const BgrxImage& image);
    void EncodePicture(bool bIdr, EncodedFrame& frame);

    EncoderSettings settings;
    StreamLayout layout;
    std::vector<uint8_t> sps;
    std::vector<uint8_t> pps;
    Picture source;
    Picture recon;
    Picture ref;
    FrameCoder coder;
    BitWriter writer;
    int nPicturesSinceIdr = 0;
    int nFrameNum = 0;
    int nIdrPicId = 0;
    bool bHaveReference = false;
};

void Encoder::State::LoadSource(const BgrxImage& image)
{
    const YuvTarget target = {source.y.Row(0), source.y.Stride(), source.cb.Row(0), source.cr.Row(0),
                              source.cb.Stride()};
    ConvertBgrxToYuv420(image, settings.nWidth, settings.nHeight, target);
    source.y.PadFrom(settings.nWidth, settings.nHeight);
    source.cb.PadFrom(settings.nWidth / 2, settings.nHeight / 2);
    source.cr.PadFrom(settings.nWidth / 2, settings.nHeight / 2);
}

void Encoder::State::EncodePicture(bool bIdr, EncodedFrame& frame)
{
    if (bIdr)
    {
        nFrameNum = 0;
        nPicturesSinceIdr = 0;
    }
    SliceHeader header;
    header.bIdr = bIdr;
    header.bIntra = bIdr;
    header.nFrameNum = nFrameNum;
    header.nIdrPicId = nIdrPicId;

    writer.Clear();
    WriteSliceHeader(writer, header);
    if (bIdr)
        coder.CodeIntraFrame(source, recon, writer);
    else
        coder.CodeInterFrame(source, ref, recon, writer);
    writer.WriteTrailingBits();

    frame.bytes.clear();
    if (bIdr)
    {
        AppendAnnexB(sps, frame.bytes);
        AppendAnnexB(pps, frame.bytes);
    }
    AppendAnnexB(MakeNalUnit(bIdr ? NalType::IdrSlice : NalType::Slice, kRefIdc, writer.Bytes()), frame.bytes);
    frame.bKeyFrame = bIdr;

    // The reconstruction is what the next picture refers to.
    recon.ExtendEdges();
    std::swap(recon, ref);
    bHaveReference = true;
    nFrameNum = (nFrameNum + 1) % kFrameNumModulus;
    ++nPicturesSinceIdr;
    if (bIdr)
        nIdrPicId = (nIdrPicId + 1) % 65536;
}

const char* StatusText(Status status)
{
    switch (status)
    {
    case Status::Ok:
        return "ok";
    case Status::InvalidSettings:
        return "the encoder settings are out of range";
    case Status::NullImage:
        return "the picture has no pixels";
    case Status::ImageTooSmall:
        return "the picture's buffer or stride is too small for its size";
    }
    return "unknown status";
}

Status Encoder::Create(const EncoderSettings& settings, std::unique_ptr<Encoder>& encoder)
{
    encoder.reset();
    if (!AreValid(settings))
        return Status::InvalidSettings;
    encoder.reset(new Encoder(std::make_unique<State>(settings)));
    return Status::Ok;
}

Encoder::Encoder(std::unique_ptr<State> state) : m_state(std::move(state))
{
}

Encoder::~Encoder() = default;

Status Encoder::Encode(const BgrxImage& image, bool bForceKeyFrame, EncodedFrame& frame)
{
    frame.bytes.clear();
    frame.bKeyFrame = false;
    if (image.pBits == nullptr || image.cbSize == 0)
        return Status::NullImage;
    if (!FitsImage(image, m_state->settings.nWidth, m_state->settings.nHeight))
        return Status::ImageTooSmall;
    m_state->LoadSource(image);
    const bool bIdr = bForceKeyFrame || !m_state->bHaveReference ||
                      m_state->nPicturesSinceIdr >= m_state->settings.nKeyFrameInterval;
    m_state->EncodePicture(bIdr, frame);
    return Status::Ok;
}

const std::vector<uint8_t>& Encoder::SequenceParameterSet() const
{
    return m_state->sps;
}

const std::vector<uint8_t>& Encoder::PictureParameterSet() const
{
    return m_state->pps;
}

bool Encoder::CopyReconstruction(const YuvTarget& target) const
{
    if (!m_state->bHaveReference)
        return false;
    const Picture& picture = m_state->ref; // the last reconstruction became the reference
    const int nWidth = m_state->settings.nWidth, nHeight = m_state->settings.nHeight;
    const auto copy = [](const Plane& plane, uint8_t* pOut, ptrdiff_t cbStride, int nPlaneWidth, int nPlaneHeight) {
        for (int y = 0; y < nPlaneHeight; ++y)
            std::memcpy(pOut + y * cbStride, plane.Row(y), static_cast<size_t>(nPlaneWidth));
    };
    copy(picture.y, target.pY, target.cbYStride, nWidth, nHeight);
    copy(picture.cb, target.pCb, target.cbChromaStride, nWidth / 2, nHeight / 2);
    copy(picture.cr, target.pCr, target.cbChromaStride, nWidth / 2, nHeight / 2);
    return true;
}

const EncoderSettings& Encoder::Settings() const
{
    return m_state->settings;
}

} // namespace h264
