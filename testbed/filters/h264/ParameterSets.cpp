#include "ParameterSets.h"

namespace h264
{
namespace
{

// slice_type values for a picture whose slices are all of one type.
constexpr int kSliceTypeP = 0;
constexpr int kSliceTypeI = 2;

// colour_primaries, transfer_characteristics and matrix_coefficients of
// SMPTE 170M, the BT.601 matrix the conversion uses.
constexpr int kColourBt601 = 6;

// Table A-1: level_idc, MaxMBPS and MaxFS, lowest level first.
struct LevelLimits
{
    int nLevelIdc;
    int64_t llMaxMbPerSecond;
    int nMaxFrameMbs;
};
constexpr LevelLimits kLevels[] = {
    {10, 1485, 99},     {11, 3000, 396},     {12, 6000, 396},     {13, 11880, 396},
    {20, 11880, 396},   {21, 19800, 792},    {22, 20250, 1620},   {30, 40500, 1620},
    {31, 108000, 3600}, {32, 216000, 5120},  {40, 245760, 8192},  {41, 245760, 8192},
    {42, 522240, 8704}, {50, 589824, 22080}, {51, 983040, 36864}, {52, 2073600, 36864},
};

bool Fits(const LevelLimits& level, const StreamLayout& layout)
{
    const int nFrameMbs = layout.nMbWidth * layout.nMbHeight;
    // Neither side may exceed the square root of 8 MaxFS.
    const int64_t llMaxSideSquared = int64_t{8} * level.nMaxFrameMbs;
    return nFrameMbs <= level.nMaxFrameMbs &&
           int64_t{layout.nMbWidth} * layout.nMbWidth <= llMaxSideSquared &&
           int64_t{layout.nMbHeight} * layout.nMbHeight <= llMaxSideSquared &&
           int64_t{nFrameMbs} * layout.nFramesPerSecond <= level.llMaxMbPerSecond;
}

void WriteVui(BitWriter& w, const StreamLayout& layout)
{
    w.WriteFlag(false); // aspect_ratio_info_present_flag
    w.WriteFlag(false); // overscan_info_present_flag
    w.WriteFlag(true);  // video_signal_type_present_flag
    w.WriteBits(5, 3);  // video_format 5: none given
    w.WriteFlag(false); // video_full_range_flag: limited range
    w.WriteFlag(true);  // colour_description_present_flag
    w.WriteBits(kColourBt601, 8);
    w.WriteBits(kColourBt601, 8);
    w.WriteBits(kColourBt601, 8);
    w.WriteFlag(false); // chroma_loc_info_present_flag
    w.WriteFlag(true);  // timing_info_present_flag
    // A frame is two ticks of the clock.
    w.WriteBits(1, 32);                                                // num_units_in_tick
    w.WriteBits(static_cast<uint32_t>(2 * layout.nFramesPerSecond), 32); // time_scale
    w.WriteFlag(true);  // fixed_frame_rate_flag
    w.WriteFlag(false); // nal_hrd_parameters_present_flag
    w.WriteFlag(false); // vcl_hrd_parameters_present_flag
    w.WriteFlag(false); // pic_struct_present_flag
    // Decoders may output each picture as soon as it is decoded.
    w.WriteFlag(true); // bitstream_restriction_flag
    w.WriteFlag(true); // motion_vectors_over_pic_boundaries_flag
    w.WriteUe(0);      // max_bytes_per_pic_denom
    w.WriteUe(0);      // max_bits_per_mb_denom
    w.WriteUe(10);     // log2_max_mv_length_horizontal
    w.WriteUe(10);     // log2_max_mv_length_vertical
    w.WriteUe(0);      // max_num_reorder_frames
    w.WriteUe(1);      // max_dec_frame_buffering
}

} // namespace

int LevelFor(const StreamLayout& layout)
{
    for (const LevelLimits& level : kLevels)
    {
        if (Fits(level, layout))
            return level.nLevelIdc;
    }
    return kLevels[sizeof(kLevels) / sizeof(kLevels[0]) - 1].nLevelIdc;
}

std::vector<uint8_t> MakeSequenceParameterSetRbsp(const StreamLayout& layout)
{
    BitWriter w;
    w.WriteBits(kProfileConstrainedBaseline, 8);
    w.WriteFlag(true);  // constraint_set0_flag: obeys Baseline
    w.WriteFlag(true);  // constraint_set1_flag: obeys Main, so Constrained Baseline
    w.WriteBits(0, 4);  // constraint_set2..5_flag
    w.WriteBits(0, 2);  // reserved_zero_2bits
    w.WriteBits(static_cast<uint32_t>(LevelFor(layout)), 8);
    w.WriteUe(0); // seq_parameter_set_id
    w.WriteUe(0); // log2_max_frame_num_minus4
    w.WriteUe(2); // pic_order_cnt_type: output order is decoding order
    w.WriteUe(1); // max_num_ref_frames
    w.WriteFlag(false); // gaps_in_frame_num_value_allowed_flag
    w.WriteUe(static_cast<uint32_t>(layout.nMbWidth - 1));
    w.WriteUe(static_cast<uint32_t>(layout.nMbHeight - 1));
    w.WriteFlag(true); // frame_mbs_only_flag
    w.WriteFlag(true); // direct_8x8_inference_flag
    // The coded picture is whole macroblocks; cropping leaves the visible
    // picture, in units of two samples for 4:2:0.
    const int nCropRight = (layout.nMbWidth * 16 - layout.nWidth) / 2;
    const int nCropBottom = (layout.nMbHeight * 16 - layout.nHeight) / 2;
    const bool bCrop = nCropRight != 0 || nCropBottom != 0;
    w.WriteFlag(bCrop);
    if (bCrop)
    {
        w.WriteUe(0);
        w.WriteUe(static_cast<uint32_t>(nCropRight));
        w.WriteUe(0);
        w.WriteUe(static_cast<uint32_t>(nCropBottom));
    }
    w.WriteFlag(true); // vui_parameters_present_flag
    WriteVui(w, layout);
    w.WriteTrailingBits();
    return w.Bytes();
}

std::vector<uint8_t> MakePictureParameterSetRbsp(const StreamLayout& layout)
{
    BitWriter w;
    w.WriteUe(0);       // pic_parameter_set_id
    w.WriteUe(0);       // seq_parameter_set_id
    w.WriteFlag(false); // entropy_coding_mode_flag: CAVLC
    w.WriteFlag(false); // bottom_field_pic_order_in_frame_present_flag
    w.WriteUe(0);       // num_slice_groups_minus1
    w.WriteUe(0);       // num_ref_idx_l0_default_active_minus1
    w.WriteUe(0);       // num_ref_idx_l1_default_active_minus1
    w.WriteFlag(false); // weighted_pred_flag
    w.WriteBits(0, 2);  // weighted_bipred_idc
    w.WriteSe(layout.nQp - 26); // pic_init_qp_minus26
    w.WriteSe(0);       // pic_init_qs_minus26
    w.WriteSe(0);       // chroma_qp_index_offset
    w.WriteFlag(true);  // deblocking_filter_control_present_flag
    w.WriteFlag(false); // constrained_intra_pred_flag
    w.WriteFlag(false); // redundant_pic_cnt_present_flag
    w.WriteTrailingBits();
    return w.Bytes();
}

void WriteSliceHeader(BitWriter& w, const SliceHeader& header)
{
    w.WriteUe(0); // first_mb_in_slice
    w.WriteUe(header.bIntra ? kSliceTypeI : kSliceTypeP);
    w.WriteUe(0); // pic_parameter_set_id
    w.WriteBits(static_cast<uint32_t>(header.nFrameNum), 4);
    if (header.bIdr)
        w.WriteUe(static_cast<uint32_t>(header.nIdrPicId));
    if (!header.bIntra)
    {
        w.WriteFlag(false); // num_ref_idx_active_override_flag
        w.WriteFlag(false); // ref_pic_list_modification_flag_l0
    }
    // dec_ref_pic_marking: every picture is a reference picture.
    if (header.bIdr)
    {
        w.WriteFlag(false); // no_output_of_prior_pics_flag
        w.WriteFlag(false); // long_term_reference_flag
    }
    else
    {
        w.WriteFlag(false); // adaptive_ref_pic_marking_mode_flag: sliding window
    }
    w.WriteSe(0); // slice_qp_delta
    // No deblocking: the reconstruction of encoder and decoder stay equal
    // without it, and the picture is mostly flat areas and sharp edges.
    w.WriteUe(1); // disable_deblocking_filter_idc
}

} // namespace h264
