#include "lossless/aac_gain.h"

#include "base/libav.h"
#include "lossless/aac_syntax.h"
#include "lossless/lossless_remux.h"
#include "support/media_fixtures.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <cmath>
#include <memory>
#include <numeric>
#include <vector>

namespace sonorix::lossless {
namespace {

using Packet = std::vector<uint8_t>;

// The first audio track of a file: its configuration and packets as the
// demuxer gives them.
struct Track {
    std::vector<uint8_t> extradata;
    AacConfig config;
    std::vector<Packet> packets;
    AVCodecParameters* params = nullptr;
    ~Track() { avcodec_parameters_free(&params); }
};

std::unique_ptr<Track> read_track(const std::filesystem::path& path) {
    auto track = std::make_unique<Track>();
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return nullptr;
    avformat_find_stream_info(fmt, nullptr);
    const int index = av_find_best_stream(fmt, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (index >= 0) {
        const AVCodecParameters* par = fmt->streams[index]->codecpar;
        track->params = avcodec_parameters_alloc();
        avcodec_parameters_copy(track->params, par);
        track->extradata.assign(par->extradata, par->extradata + par->extradata_size);
        AVPacket* pkt = av_packet_alloc();
        while (av_read_frame(fmt, pkt) >= 0) {
            if (pkt->stream_index == index) track->packets.emplace_back(pkt->data, pkt->data + pkt->size);
            av_packet_unref(pkt);
        }
        av_packet_free(&pkt);
    }
    avformat_close_input(&fmt);
    return index >= 0 ? std::move(track) : nullptr;
}

// Every decoded sample, frame by frame and channel by channel (float).
std::vector<float> decode(const Track& track, const std::vector<Packet>& packets) {
    std::vector<float> out;
    const AVCodec* codec = avcodec_find_decoder_by_name("aac");
    AVCodecContext* dec = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(dec, track.params);
    if (avcodec_open2(dec, codec, nullptr) < 0) ADD_FAILURE() << "cannot open the decoder";
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    auto drain = [&] {
        while (avcodec_receive_frame(dec, frame) >= 0) {
            EXPECT_EQ(frame->format, AV_SAMPLE_FMT_FLTP);
            for (int c = 0; c < frame->ch_layout.nb_channels; ++c) {
                const auto* plane = reinterpret_cast<const float*>(frame->extended_data[c]);
                out.insert(out.end(), plane, plane + frame->nb_samples);
            }
        }
    };
    for (const Packet& p : packets) {
        av_new_packet(pkt, static_cast<int>(p.size()));
        std::copy(p.begin(), p.end(), pkt->data);
        EXPECT_GE(avcodec_send_packet(dec, pkt), 0) << "the decoder refused a packet";
        av_packet_unref(pkt);
        drain();
    }
    avcodec_send_packet(dec, nullptr);
    drain();
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&dec);
    return out;
}

GainRoom track_room(const Track& track) {
    GainRoom room;
    std::string why;
    for (const Packet& p : track.packets) EXPECT_TRUE(aac_survey(track.config, p, room, why)) << why;
    return room;
}

// Bits written most significant first, for hand-made configurations and packets.
struct BitWriter {
    std::vector<uint8_t> bytes;
    int used = 8;
    BitWriter& put(uint32_t value, int bits) {
        for (int i = bits - 1; i >= 0; --i) {
            if (used == 8) bytes.push_back(0), used = 0;
            bytes.back() |= static_cast<uint8_t>(((value >> i) & 1u) << (7 - used++));
        }
        return *this;
    }
};

// A raw data block of one single channel element whose only window has
// max_sfb bands of codebook 0, then `tail` elements.
Packet silent_block(int global_gain, int max_sfb, const std::vector<std::pair<uint32_t, int>>& tail = {}) {
    BitWriter w;
    w.put(0, 3).put(0, 4).put(static_cast<uint32_t>(global_gain), 8);                  // SCE, tag, global_gain
    w.put(0, 1).put(0, 2).put(0, 1).put(static_cast<uint32_t>(max_sfb), 6).put(0, 1);  // ics_info: long window
    if (max_sfb) w.put(0, 4).put(static_cast<uint32_t>(max_sfb), 5);                   // one section of codebook 0
    w.put(0, 3);                                                                       // no pulse, TNS, gain control
    for (const auto& [value, bits] : tail) w.put(value, bits);
    w.put(7, 3);  // END
    return w.bytes;
}

class AacGain : public ::testing::Test {
protected:
    std::unique_ptr<Track> make(const std::string& file, std::vector<int> channels, int bit_rate, bool noise,
                                int rate = 44100, std::vector<std::pair<std::string, std::string>> options = {}) {
        test::MediaSpec wanted;
        wanted.duration_seconds = 1.5;
        wanted.sample_rate = rate;
        wanted.audio_channels = std::move(channels);
        wanted.audio_bit_rates = {bit_rate};
        wanted.noise = noise;
        if (noise) wanted.tone_hz = 20;  // bursts of noise: PNS, TNS, short windows
        wanted.audio_encoder_options = std::move(options);
        auto track = read_track(test::make_media(dir_ / file, wanted));
        std::string why;
        if (!track || !aac_config(track->extradata, track->config, why)) ADD_FAILURE() << file << ": " << why;
        return track;
    }

    test::TempDir dir_{"aac-gain"};
};

// Every sample of the edited stream is the source's times 2^(k/4): the gain
// moved in every channel, and every other bit, the walk's way to the next
// channel, stayed as it was.
TEST_F(AacGain, EditedStreamsDecodeToTheScaledSource) {
    struct Case {
        const char* file;
        std::vector<int> channels;
        int bit_rate;
        bool noise;
        int rate;
        std::vector<std::pair<std::string, std::string>> options;
    } cases[] = {
        {"mono.m4a", {1}, 64000, false, 32000, {}},
        {"stereo_noise.m4a", {2}, 96000, true, 44100, {}},
        {"stereo_noise.aac", {2}, 64000, true, 44100, {{"aac_ms", "1"}, {"aac_is", "1"}, {"aac_pns", "1"}}},
        {"stereo_fast.aac", {2}, 128000, false, 22050, {{"aac_coder", "fast"}}},
        {"surround_noise.m4a", {6}, 192000, true, 44100, {{"aac_tns", "1"}}},
        {"surround.aac", {6}, 256000, false, 48000, {}},
    };
    aac::ToolCounts tools;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        auto track = make(c.file, c.channels, c.bit_rate, c.noise, c.rate, c.options);
        ASSERT_TRUE(track);
        std::string why;
        for (const Packet& p : track->packets) ASSERT_TRUE(aac::count_tools(track->config, p, tools, why)) << why;
        const GainRoom room = track_room(*track);
        const std::vector<float> source = decode(*track, track->packets);
        ASSERT_FALSE(source.empty());
        for (int steps : {3, -2}) {
            SCOPED_TRACE(steps);
            ASSERT_TRUE(room.allows(steps)) << room.down << " down, " << room.up << " up";
            std::vector<Packet> edited = track->packets;
            for (Packet& p : edited) ASSERT_TRUE(aac_apply(track->config, p, steps, why)) << why;
            for (size_t i = 0; i < edited.size(); ++i) ASSERT_EQ(edited[i].size(), track->packets[i].size());
            const std::vector<float> result = decode(*track, edited);
            ASSERT_EQ(result.size(), source.size());
            const double gain = std::exp2(steps / 4.0);
            size_t off = 0;
            for (size_t i = 0; i < source.size(); ++i) {
                const double want = source[i] * gain;
                off += std::abs(result[i] - want) > 1e-5 * std::abs(want) + 2e-6;  // float rounding of the decoder
            }
            EXPECT_EQ(off, 0u) << "samples not scaled by 2^(" << steps << "/4)";
        }
    }
    // The streams reach every tool the encoder writes (it writes no pulse data).
    EXPECT_GT(tools.short_windows, 0);
    EXPECT_GT(tools.tns, 0);
    EXPECT_GT(tools.noise_bands, 0);
    EXPECT_GT(tools.intensity_bands, 0);
    EXPECT_GT(tools.ms_bands, 0);
    EXPECT_GT(tools.escapes, 0);
}

// What must be refused leaves the packet as it was; a stream with nothing
// coded keeps its gain and does not narrow the room.
TEST_F(AacGain, EdgesRefuseWithNothingChanged) {
    auto m4a = make("edge.m4a", {2}, 128000, false);
    auto adts = make("edge.aac", {1}, 64000, true);
    ASSERT_TRUE(m4a && adts);
    const Packet& real = m4a->packets[m4a->packets.size() / 2];
    GainRoom room;
    std::string why;
    ASSERT_TRUE(aac_survey(m4a->config, real, room, why)) << why;
    const Packet& frame = adts->packets[adts->packets.size() / 2];
    const AacConfig raw = m4a->config;
    auto cut = [](const Packet& p, size_t size) { return Packet(p.begin(), p.begin() + static_cast<ptrdiff_t>(size)); };
    Packet trailing = silent_block(100, 0);
    trailing.push_back(0);

    struct Case {
        const char* name;
        AacConfig config;
        Packet packet;
        int steps;
        bool applies;
        bool changes;
        const char* why = "";  // part of the reason
    } cases[] = {
        {"a scale factor up to 255", raw, real, room.up, true, true},
        {"a scale factor past 255", raw, real, room.up + 1, false, false, "out of its range"},
        {"a scale factor down to 0", raw, real, -room.down, true, true},
        {"a scale factor below 0", raw, real, -room.down - 1, false, false, "out of its range"},
        {"half a packet", raw, cut(real, real.size() / 2), 1, false, false, "truncated"},
        {"a packet less a byte", raw, cut(real, real.size() - 1), 1, false, false},
        {"an ADTS frame", adts->config, frame, -1, true, true},
        {"half an ADTS frame", adts->config, cut(frame, frame.size() / 2), 1, false, false, "truncated"},
        {"an ADTS frame less a byte", adts->config, cut(frame, frame.size() - 1), 1, false, false, "truncated"},
        {"nothing coded, gain 255", raw, silent_block(255, 0), 3, true, false},
        {"only codebook 0, gain 0", raw, silent_block(0, 12), -3, true, false},
        {"SBR fill data", raw, silent_block(100, 0, {{6, 3}, {1, 4}, {13, 4}, {0, 4}}), 1, false, false, "HE-AAC"},
        {"a packet going on after its end", raw, trailing, 1, false, false, "after its end"},
        {"an empty packet", raw, {}, 1, false, false, "empty"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Packet p = c.packet;
        GainRoom before;
        const bool surveyed = aac_survey(c.config, p, before, why);
        EXPECT_EQ(aac_apply(c.config, p, c.steps, why), c.applies) << why;
        EXPECT_EQ(p != c.packet, c.changes);
        if (!c.applies) {
            EXPECT_NE(why.find(c.why), std::string::npos) << why;
        }
        if (c.applies && !c.changes) {
            EXPECT_TRUE(surveyed);
            EXPECT_EQ(before.up, GainRoom{}.up);  // nothing counted
        }
        if (c.changes) {
            GainRoom after;
            ASSERT_TRUE(aac_survey(c.config, p, after, why)) << why;
            EXPECT_EQ(c.steps > 0 ? after.up : after.down, c.steps > 0 ? before.up - c.steps : before.down + c.steps);
        }
    }
    // A whole stream moved to its limit still decodes: 255 is a scale factor decoders take.
    const GainRoom track = track_room(*m4a);
    std::vector<Packet> loud = m4a->packets;
    for (Packet& p : loud) ASSERT_TRUE(aac_apply(m4a->config, p, track.up, why)) << why;
    EXPECT_EQ(track_room(Track{{}, m4a->config, loud}).up, 0);
    EXPECT_FALSE(decode(*m4a, loud).empty());
}

// AudioSpecificConfig: AAC-LC taken with its fields, everything else refused
// with a reason that names it.
TEST(AacConfig, TakesLowComplexityOnly) {
    using Fields = std::vector<std::pair<uint32_t, int>>;
    const Fields lc_stereo = {{2, 5}, {4, 4}, {2, 4}, {0, 3}};
    auto with = [](Fields head, const Fields& tail) {
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    struct Case {
        const char* name;
        Fields fields;
        const char* why;  // part of the reason; nullptr: taken with the fields below
        int sampling_index = 0, channels = 0;
        bool frame_960 = false;
    } cases[] = {
        {"LC, 44.1 kHz, stereo", lc_stereo, nullptr, 4, 2},
        {"LC, 960 samples a frame", {{2, 5}, {3, 4}, {1, 4}, {4, 3}}, nullptr, 3, 1, true},
        {"LC, an explicit 44100 Hz", {{2, 5}, {15, 4}, {44100, 24}, {6, 4}, {0, 3}}, nullptr, 4, 6},
        {"LC, SBR signalled absent", with(lc_stereo, {{0x2b7, 11}, {5, 5}, {0, 1}}), nullptr, 4, 2},
        {"HE-AAC by object type", {{5, 5}, {6, 4}, {2, 4}, {3, 4}, {2, 5}}, "HE-AAC"},
        {"HE-AAC v2 by object type", {{29, 5}, {6, 4}, {1, 4}, {3, 4}, {2, 5}}, "HE-AAC"},
        {"HE-AAC signalled after LC", with(lc_stereo, {{0x2b7, 11}, {5, 5}, {1, 1}, {3, 4}}), "HE-AAC"},
        {"AAC Main", {{1, 5}, {4, 4}, {2, 4}, {0, 3}}, "AAC Main"},
        {"AAC LTP", {{4, 5}, {4, 4}, {2, 4}, {0, 3}}, "AAC LTP"},
        {"an escaped object type (42)", {{31, 5}, {10, 6}, {4, 4}, {2, 4}}, "type 42"},
        {"channels in a program config element", {{2, 5}, {4, 4}, {0, 4}, {0, 3}}, "program config"},
        {"a reserved frequency index", {{2, 5}, {13, 4}, {2, 4}, {0, 3}}, "reserved"},
        {"cut short", {{2, 5}, {4, 3}}, "cut short"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BitWriter w;
        for (const auto& [value, bits] : c.fields) w.put(value, bits);
        AacConfig config;
        std::string why;
        ASSERT_EQ(aac_config(w.bytes, config, why), c.why == nullptr) << why;
        if (c.why) {
            EXPECT_NE(why.find(c.why), std::string::npos) << why;
            continue;
        }
        EXPECT_FALSE(config.adts);
        EXPECT_EQ(config.object_type, 2);
        EXPECT_EQ(config.sampling_index, c.sampling_index);
        EXPECT_EQ(config.channel_config, c.channels);
        EXPECT_EQ(config.frame_length_960, c.frame_960);
    }
    AacConfig config;
    std::string why;
    ASSERT_TRUE(aac_config({}, config, why));
    EXPECT_TRUE(config.adts);
}

// An encoder's other profiles are refused by their configuration (MP4) or by
// every ADTS header.
TEST_F(AacGain, OtherProfilesOfTheEncoderAreRefused) {
    for (const char* file : {"main.m4a", "main.aac"}) {
        SCOPED_TRACE(file);
        test::MediaSpec wanted;
        wanted.duration_seconds = 0.5;
        wanted.audio_channels = {1};
        wanted.audio_encoder_options = {{"profile", "aac_main"}};
        auto track = read_track(test::make_media(dir_ / file, wanted));
        ASSERT_TRUE(track);
        AacConfig config;
        std::string why;
        if (aac_config(track->extradata, config, why)) {
            Packet p = track->packets.front();
            EXPECT_FALSE(aac_apply(config, p, 1, why));
            EXPECT_EQ(p, track->packets.front());
        }
        EXPECT_NE(why.find("AAC Main"), std::string::npos) << why;
    }
}

// A CRC-protected ADTS frame is changed only when its CRC matches, and
// leaves with a CRC that matches again.
TEST_F(AacGain, ProtectedAdtsFramesKeepAMatchingCrc) {
    auto track = make("crc.aac", {6}, 96000, true);
    ASSERT_TRUE(track);
    // The frame protected: protection_absent 0, two bytes more, the CRC after the header.
    const Packet& plain = track->packets[track->packets.size() / 2];
    Packet frame(plain.begin(), plain.begin() + 7);
    frame.insert(frame.end(), {0, 0});
    frame.insert(frame.end(), plain.begin() + 7, plain.end());
    frame[1] &= 0xfe;
    const size_t length = frame.size();
    frame[3] = static_cast<uint8_t>((frame[3] & 0xfc) | (length >> 11));
    frame[4] = static_cast<uint8_t>(length >> 3);
    frame[5] = static_cast<uint8_t>((frame[5] & 0x1f) | ((length & 7) << 5));

    GainRoom room;
    std::string why;
    EXPECT_FALSE(aac_survey(track->config, frame, room, why));
    EXPECT_NE(why.find("CRC"), std::string::npos) << why;
    int matches = 0;
    for (uint32_t crc = 0; crc < 0x10000 && !matches; ++crc) {
        frame[7] = static_cast<uint8_t>(crc >> 8);
        frame[8] = static_cast<uint8_t>(crc);
        matches += aac_survey(track->config, frame, room, why);
    }
    ASSERT_EQ(matches, 1) << "no CRC value is taken";

    Packet edited = frame;
    ASSERT_TRUE(aac_apply(track->config, edited, 3, why)) << why;
    EXPECT_TRUE(aac_survey(track->config, edited, room, why)) << why;
    EXPECT_NE(Packet(edited.begin() + 7, edited.begin() + 9), Packet(frame.begin() + 7, frame.begin() + 9));
    // The same move as the unprotected frame's, CRC aside.
    Packet moved = plain;
    ASSERT_TRUE(aac_apply(track->config, moved, 3, why)) << why;
    EXPECT_EQ(Packet(edited.begin() + 9, edited.end()), Packet(moved.begin() + 7, moved.end()));

    Packet damaged = frame;
    damaged[8] ^= 1;
    EXPECT_FALSE(aac_apply(track->config, damaged, 3, why));
    EXPECT_EQ(damaged[8], frame[8] ^ 1);
}

// The transcribed books are complete prefix codes of the standard's sizes:
// a codeword dropped, mistyped or given a wrong length breaks one of these.
TEST(AacTables, EveryBookIsACompletePrefixCode) {
    struct Book {
        int number;  // 0: the scale factor book
        size_t size;
    } books[] = {{0, 121}, {1, 81}, {2, 81}, {3, 81},  {4, 81},   {5, 81},
                 {6, 81},  {7, 64}, {8, 64}, {9, 169}, {10, 169}, {11, 289}};
    for (const Book& b : books) {
        SCOPED_TRACE(b.number);
        const auto codes = b.number ? aac::spectral_book(b.number) : aac::scalefactor_book();
        ASSERT_EQ(codes.size(), b.size);
        constexpr int kLongest = 19;
        uint64_t kraft = 0;                           // in units of 2^-19
        std::vector<std::pair<uint32_t, int>> words;  // left-aligned to 19 bits
        for (const auto& c : codes) {
            ASSERT_TRUE(c.length >= 1 && c.length <= kLongest && c.code < (1u << c.length));
            kraft += uint64_t{1} << (kLongest - c.length);
            words.emplace_back(c.code << (kLongest - c.length), c.length);
        }
        EXPECT_EQ(kraft, uint64_t{1} << kLongest);
        std::sort(words.begin(), words.end());
        for (size_t i = 1; i < words.size(); ++i)  // no codeword begins another
            EXPECT_GE(words[i].first, words[i - 1].first + (1u << (kLongest - words[i - 1].second)));
    }
}

namespace fs = std::filesystem;
const std::atomic<bool> kNeverStopped{false};

// Copies the audio stream of source into target with its configuration
// replaced (when config is not empty) and packet `nth` replaced (when
// packet is not empty). False when the libraries refuse.
bool rewrite(const fs::path& source, const fs::path& target, const Packet& config, int nth, const Packet& packet) {
    AVFormatContext* in = nullptr;
    if (avformat_open_input(&in, source.c_str(), nullptr, nullptr) < 0) return false;
    avformat_find_stream_info(in, nullptr);
    const int audio = av_find_best_stream(in, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    AVFormatContext* out = nullptr;
    bool ok = audio >= 0 && avformat_alloc_output_context2(&out, nullptr, nullptr, target.c_str()) >= 0;
    AVStream* stream = ok ? avformat_new_stream(out, nullptr) : nullptr;
    ok = stream && avcodec_parameters_copy(stream->codecpar, in->streams[audio]->codecpar) >= 0;
    if (ok && !config.empty()) {
        av_freep(&stream->codecpar->extradata);
        stream->codecpar->extradata = static_cast<uint8_t*>(av_mallocz(config.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        std::copy(config.begin(), config.end(), stream->codecpar->extradata);
        stream->codecpar->extradata_size = static_cast<int>(config.size());
    }
    if (ok) {
        stream->codecpar->codec_tag = 0;
        stream->time_base = in->streams[audio]->time_base;
        ok = avio_open(&out->pb, target.c_str(), AVIO_FLAG_WRITE) >= 0 && avformat_write_header(out, nullptr) >= 0;
    }
    AVPacket* pkt = av_packet_alloc();
    for (int n = 0; ok && av_read_frame(in, pkt) >= 0; av_packet_unref(pkt)) {
        if (pkt->stream_index != audio) continue;
        if (n++ == nth && !packet.empty()) {
            av_shrink_packet(pkt, 0);
            ok = av_grow_packet(pkt, static_cast<int>(packet.size())) >= 0;
            if (ok) std::copy(packet.begin(), packet.end(), pkt->data);
        }
        pkt->stream_index = 0;
        av_packet_rescale_ts(pkt, in->streams[audio]->time_base, stream->time_base);
        ok = ok && av_interleaved_write_frame(out, pkt) >= 0;
    }
    av_packet_free(&pkt);
    if (out && out->pb) ok = av_write_trailer(out) >= 0 && ok;
    if (out) avio_closep(&out->pb);
    avformat_free_context(out);
    avformat_close_input(&in);
    return ok;
}

// HE-AAC keeps its high band's level in SBR data that no global gain moves:
// every way a stream can signal it is refused, and nothing is left behind.
// The variants are made from an AAC-LC file by rewriting its configuration
// or one of its packets, as no encoder at hand writes HE-AAC.
TEST(HeAac, EveryWayOfSignallingSbrIsRefused) {
    test::TempDir dir("he-aac");
    test::MediaSpec wanted;
    wanted.duration_seconds = 2;
    wanted.sample_rate = 44100;  // frequency index 4
    const fs::path lc = test::make_media(dir / "lc.m4a", wanted);
    ASSERT_EQ(change_gain(lc, dir / "out.m4a", {{3.0, StepRounding::Nearest, {}}}, kNeverStopped).end,
              RemuxEnd::Completed);
    fs::remove(dir / "out.m4a");

    // AudioSpecificConfig: object type, frequency index, channels, then
    // (types 5 and 29) the extension's frequency index and the core's type,
    // then the GASpecificConfig's three flags.
    auto explicit_type = [](uint32_t type) {
        return BitWriter().put(type, 5).put(4, 4).put(2, 4).put(3, 4).put(2, 5).put(0, 3).bytes;
    };
    // AAC-LC, then the sync extension 0x2b7 signalling SBR (type 5, present)
    // with its frequency index.
    const Packet after_lc =
        BitWriter().put(2, 5).put(4, 4).put(2, 4).put(0, 3).put(0x2b7, 11).put(5, 5).put(1, 1).put(3, 4).bytes;
    // A raw data block of one fill element of SBR data (type 13), then END.
    const Packet sbr_fill = BitWriter().put(6, 3).put(1, 4).put(13, 4).put(0, 4).put(7, 3).bytes;
    const struct {
        const char* name;
        Packet config;
        Packet packet;  // in place of the 21st
    } variants[] = {
        {"type5.m4a", explicit_type(5), {}},
        {"type29.m4a", explicit_type(29), {}},
        {"sbr_after_lc.m4a", after_lc, {}},
        {"sbr_fill.m4a", {}, sbr_fill},
    };
    std::vector<std::string> made = {"lc.m4a"};
    for (const auto& v : variants) {
        SCOPED_TRACE(v.name);
        ASSERT_TRUE(rewrite(lc, dir / v.name, v.config, 20, v.packet));
        made.push_back(v.name);
        const RemuxResult r =
            change_gain(dir / v.name, dir / "out.m4a", {{3.0, StepRounding::Nearest, {}}}, kNeverStopped);
        EXPECT_EQ(r.end, RemuxEnd::Refused) << r.text;
        EXPECT_NE(r.text.find("HE-AAC"), std::string::npos) << r.text;
        std::vector<std::string> left;
        for (const auto& entry : fs::directory_iterator(dir.path())) left.push_back(entry.path().filename().string());
        std::sort(left.begin(), left.end());
        std::vector<std::string> expected = made;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(left, expected);
    }
}

}  // namespace
}  // namespace sonorix::lossless
