#include "lossless/mp3_gain.h"

#include "base/libav.h"
#include "support/child_process.h"
#include "support/media_fixtures.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <set>
#include <vector>

namespace sonorix::lossless {
namespace {

using Bytes = std::vector<uint8_t>;
using Edit = std::function<void(std::span<uint8_t> packet, size_t index)>;

// Reads the file's audio packets, hands each to `edit`, then decodes it
// with "mp3float": every sample of every channel, frame by frame. False
// when the file cannot be read or the decoder refuses a packet (with CRC
// checks on: a wrong check word).
bool decode(const std::filesystem::path& path, int err_detect, const Edit& edit, std::vector<float>& samples) {
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return false;
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> fmt(
        raw, [](AVFormatContext* f) { avformat_close_input(&f); });
    std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> dec(
        avcodec_alloc_context3(avcodec_find_decoder_by_name("mp3float")),
        [](AVCodecContext* c) { avcodec_free_context(&c); });
    std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(), [](AVPacket* p) { av_packet_free(&p); });
    std::unique_ptr<AVFrame, void (*)(AVFrame*)> frame(av_frame_alloc(), [](AVFrame* f) { av_frame_free(&f); });
    dec->err_recognition = err_detect;
    dec->pkt_timebase = fmt->streams[0]->time_base;
    if (avcodec_open2(dec.get(), nullptr, nullptr) < 0) return false;
    for (size_t index = 0;; ++index) {
        const bool more = av_read_frame(fmt.get(), packet.get()) >= 0;
        if (more) {
            if (av_packet_make_writable(packet.get()) < 0) return false;
            edit({packet->data, static_cast<size_t>(packet->size)}, index);
        }
        const int sent = avcodec_send_packet(dec.get(), more ? packet.get() : nullptr);
        av_packet_unref(packet.get());
        if (sent < 0) return false;
        while (avcodec_receive_frame(dec.get(), frame.get()) >= 0) {
            for (int ch = 0; ch < frame->ch_layout.nb_channels; ++ch) {
                const auto* data = reinterpret_cast<const float*>(frame->extended_data[ch]);
                samples.insert(samples.end(), data, data + frame->nb_samples);
            }
        }
        if (!more) return true;
    }
}

struct Mp3Case {
    const char* name;
    int sample_rate;  // 44.1 kHz: MPEG-1, 22.05: MPEG-2, 11.025: MPEG-2.5
    int channels;
    bool vbr;
    bool crc;  // the lame encoder with -p, from a WAV file; else libmp3lame
    // Mid and side: both channels carry the same tone, so the side channel
    // is silent and its gain would go unchecked; the rest codes plain stereo.
    bool joint = false;
};

std::filesystem::path make_mp3(const test::TempDir& dir, const Mp3Case& c) {
    test::MediaSpec wanted;
    wanted.sample_rate = c.sample_rate;
    wanted.audio_channels = {c.channels};
    const int kbps = c.sample_rate > 24000 ? 128 : c.sample_rate > 12000 ? 64 : 32;
    const auto mp3 = dir / (std::string(c.name) + ".mp3");
    if (!c.crc) {
        wanted.audio_bit_rates = {kbps * 1000};
        if (c.vbr)
            wanted.audio_encoder_options = {{"flags", "+qscale"}, {"global_quality", std::to_string(4 * FF_QP2LAMBDA)}};
        if (!c.joint) wanted.audio_encoder_options.emplace_back("joint_stereo", "0");
        return test::make_media(mp3, wanted);
    }
    const auto wav = test::make_media(dir / (std::string(c.name) + ".wav"), wanted);
    std::vector<std::string> args = {"--quiet", "-p", "--resample", std::to_string(c.sample_rate / 1000.0)};
    if (c.channels == 2 && !c.joint) args.insert(args.end(), {"-m", "s"});
    if (c.vbr)
        args.insert(args.end(), {"-V", "4"});
    else
        args.insert(args.end(), {"-b", std::to_string(kbps)});
    args.insert(args.end(), {wav.string(), mp3.string()});
    EXPECT_EQ(test::wait_program(test::start_program("/usr/bin/lame", args, dir / "lame.err")), 0)
        << test::read_file(dir / "lame.err");
    return mp3;
}

// A move of k steps scales every decoded sample by exactly 2^(k/4): the
// gain enters the dequantisation and nothing after it is nonlinear.
TEST(Mp3Gain, EditedStreamsDecodeToTheSourceTimesTheStepGain) {
    const Mp3Case cases[] = {
        {"mpeg1_mono_cbr", 44100, 1, false, false},   {"mpeg1_joint_vbr", 44100, 2, true, false, true},
        {"mpeg1_stereo_vbr", 44100, 2, true, false},  {"mpeg2_stereo_cbr", 22050, 2, false, false},
        {"mpeg2_mono_vbr", 22050, 1, true, false},    {"mpeg25_stereo_cbr", 11025, 2, false, false},
        {"mpeg25_mono_vbr", 11025, 1, true, false},   {"mpeg1_stereo_crc", 44100, 2, false, true},
        {"mpeg2_mono_crc_vbr", 22050, 1, true, true}, {"mpeg25_stereo_crc", 11025, 2, false, true},
    };
    test::TempDir dir("mp3gain");
    for (const Mp3Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto path = make_mp3(dir, c);
        const int err_detect = c.crc ? AV_EF_CRCCHECK | AV_EF_EXPLODE : 0;
        GainRoom room;
        std::set<int> bit_rates, formats;
        std::vector<float> source;
        ASSERT_TRUE(decode(
            path, err_detect,
            [&](std::span<uint8_t> p, size_t) {
                std::string why;
                EXPECT_TRUE(mp3_survey(p, room, why)) << why;
                bit_rates.insert(p[2] >> 4);
                formats.insert(p[1] << 8 | (p[2] & 0x0c));  // version, layer, protection_bit; sampling_frequency
            },
            source));
        const int version = c.sample_rate == 44100 ? 3 : c.sample_rate == 22050 ? 2 : 0;
        ASSERT_EQ(formats, std::set<int>{(0xe2 | version << 3 | !c.crc) << 8});  // the rate's first index
        ASSERT_EQ(bit_rates.size() > 1, c.vbr);
        ASSERT_TRUE(room.allows(3) && room.allows(-2));

        for (const int steps : {3, -2}) {
            SCOPED_TRACE(steps);
            std::vector<float> out;
            const auto apply = [steps](std::span<uint8_t> p, size_t) {
                std::string why;
                EXPECT_TRUE(mp3_apply(p, steps, why)) << why;
            };
            ASSERT_TRUE(decode(path, err_detect, apply, out));
            ASSERT_EQ(out.size(), source.size());
            const double gain = std::pow(2.0, steps / 4.0);
            float peak = 0;
            size_t wrong = 0;  // the absolute 1e-5 (-100 dBFS) is the synthesis' float rounding (seen: 2.6e-6)
            for (size_t i = 0; i < out.size(); ++i) {
                const double expected = source[i] * gain;
                wrong += std::abs(out[i] - expected) > 1e-5 * std::abs(expected) + 1e-5;
                peak = std::max(peak, std::abs(source[i]));
            }
            EXPECT_EQ(wrong, 0u);
            EXPECT_GT(peak, 0.25f);  // the tone was there to scale
            if (c.crc) {             // the check bites: one frame moved under its old check word is refused
                const auto stale = [&](std::span<uint8_t> p, size_t index) {
                    const Bytes old_crc(p.begin() + 4, p.begin() + 6);
                    apply(p, index);
                    if (index == 20) std::copy(old_crc.begin(), old_crc.end(), p.begin() + 4);
                };
                EXPECT_FALSE(decode(path, err_detect, stale, out));
            }
        }
    }
}

Bytes joined(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Refused moves and packets leave every byte as it was; a granule that codes
// nothing, and the Info header frame, neither limit the move nor move.
TEST(Mp3Gain, RefusalsChangeNothingAndUncodedGranulesKeepTheirGain) {
    test::TempDir dir("mp3gain");
    const auto path = make_mp3(dir, {"edges", 44100, 2, false, true});
    Bytes frame;  // inside the tone: every granule coded
    size_t packet_bytes = 0;
    std::vector<float> samples;
    ASSERT_TRUE(decode(
        path, 0,
        [&](std::span<uint8_t> p, size_t index) {
            if (index == 20) frame.assign(p.begin(), p.end());
            packet_bytes += p.size();
        },
        samples));
    const std::string file = test::read_file(path);
    const Bytes info(file.begin(), file.end() - static_cast<long>(packet_bytes));  // the frame the demuxer skips
    ASSERT_NE(std::string(info.begin(), info.end()).find("Info"), std::string::npos);
    GainRoom room;
    std::string why;
    ASSERT_TRUE(mp3_survey(frame, room, why)) << why;

    // MPEG-1 stereo side information after the 4 header and 2 CRC bytes: 20
    // bits of main_data_begin, private_bits and scfsi, then 59 bits for each
    // granule and channel, global_gain 21 bits in. The last one codes nothing.
    const size_t last_block = 48 + 20 + 3 * 59;
    Bytes uncoded = frame;
    write_bits(uncoded, last_block, 12, 0);  // part2_3_length
    write_bits(uncoded, last_block + 21, 8, 255);
    Bytes at_255 = frame, layer_2 = frame, free_format = frame;
    ASSERT_TRUE(mp3_apply(at_255, room.up, why)) << why;
    layer_2[1] = static_cast<uint8_t>((layer_2[1] & ~0x06) | 0x04);
    free_format[2] &= 0x0f;  // bitrate_index 0

    const struct {
        const char* name;
        Bytes packet;
        int steps;
        bool accepted, changed;
    } cases[] = {
        {"up to 255", frame, room.up, true, true},
        {"past 255", frame, room.up + 1, false, false},
        {"second frame at 255", joined(frame, at_255), 1, false, false},
        {"down to 0", frame, -room.down, true, true},
        {"below 0", frame, -room.down - 1, false, false},
        {"two frames", joined(frame, frame), 3, true, true},
        {"uncoded granule at 255", uncoded, 3, true, true},
        {"Info header frame", info, 300, true, false},
        {"layer II", layer_2, 1, false, false},
        {"free format", free_format, 1, false, false},
        {"side info cut", Bytes(frame.begin(), frame.begin() + 30), 1, false, false},
        {"bytes after the frame", joined(frame, {0, 0, 0}), 1, false, false},
        {"empty", {}, 1, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        GainRoom before, after;
        const bool surveyed = mp3_survey(c.packet, before, why);
        Bytes packet = c.packet;
        why.clear();
        ASSERT_EQ(mp3_apply(packet, c.steps, why), c.accepted) << why;
        EXPECT_EQ(packet != c.packet, c.changed);
        EXPECT_EQ(why.empty(), c.accepted);
        if (!c.changed) continue;
        // The highest and lowest coded gains of every frame moved by steps.
        ASSERT_TRUE(surveyed && mp3_survey(packet, after, why)) << why;
        EXPECT_EQ(after.up, before.up - c.steps);
        EXPECT_EQ(after.down, before.down + c.steps);
    }
    ASSERT_TRUE(mp3_apply(uncoded, 3, why));
    BitReader gain(uncoded);
    gain.seek(last_block + 21);
    EXPECT_EQ(gain.read(8), 255u);
}

}  // namespace
}  // namespace sonorix::lossless
