// Volume conversions keep every track and what goes with it: further audio
// tracks (all with the same gain), subtitles, attachments, chapters, tags,
// covers and the tracks' flags; the audio keeps its codec and precision
// where the container stays. Built as both pages build them (the option
// text of conversion_options over the engine's probe), run by the engine.
#include <gtest/gtest.h>

#include <chrono>
#include <map>

#include "engine/FFEncode.h"
#include "base/FFLoad.h"
#include "base/MainThreadQueue.h"
#include "base/libav.h"
#include "workflow/conversion_options.h"
#include "support/drain.h"
#include "support/media_fixtures.h"
#include "support/temp_dir.h"

using namespace sonorix;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// What a file holds besides its samples.
struct Stream {
    AVMediaType type;
    std::string codec;
    int disposition;
    std::string language;
    int bits;              // audio: bits per raw sample, else 0
    std::string contents;  // attachments: their bytes
    bool operator==(const Stream&) const = default;
};
struct Contents {
    std::vector<Stream> streams;
    std::vector<std::string> chapters;  // titles
    std::map<std::string, std::string> tags;
};

Contents contents_of(const fs::path& path) {
    AVFormatContext* ctx = nullptr;
    Contents c;
    if (avformat_open_input(&ctx, path.c_str(), nullptr, nullptr) < 0) return c;
    if (avformat_find_stream_info(ctx, nullptr) >= 0) {
        for (unsigned i = 0; i < ctx->nb_streams; ++i) {
            const AVStream* st = ctx->streams[i];
            const AVCodecParameters* par = st->codecpar;
            const AVDictionaryEntry* lang = av_dict_get(st->metadata, "language", nullptr, 0);
            const int bits = par->codec_type != AVMEDIA_TYPE_AUDIO ? 0
                             : par->bits_per_raw_sample            ? par->bits_per_raw_sample
                                                                   : av_get_bits_per_sample(par->codec_id);
            c.streams.push_back({par->codec_type, avcodec_get_name(par->codec_id), st->disposition,
                                 lang ? lang->value : "", bits,
                                 par->codec_type == AVMEDIA_TYPE_ATTACHMENT && par->extradata
                                     ? std::string(reinterpret_cast<const char*>(par->extradata),
                                                   static_cast<size_t>(par->extradata_size))
                                     : ""});
        }
        for (unsigned i = 0; i < ctx->nb_chapters; ++i) {
            const AVDictionaryEntry* title = av_dict_get(ctx->chapters[i]->metadata, "title", nullptr, 0);
            c.chapters.push_back(title ? title->value : "");
        }
        for (const AVDictionaryEntry* e = nullptr; (e = av_dict_get(ctx->metadata, "", e, AV_DICT_IGNORE_SUFFIX));) {
            c.tags[e->key] = e->value;
        }
    }
    avformat_close_input(&ctx);
    return c;
}

int count(const Contents& c, AVMediaType type) {
    return static_cast<int>(
        std::count_if(c.streams.begin(), c.streams.end(), [&](const Stream& s) { return s.type == type; }));
}

class TracksKeptTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        MainThreadQueue::Instance().SetMainThread();
        ASSERT_TRUE(TFFLoader::Instance().Load(kEncoderLibraries));
        dir_ = new test::TempDir("sonorix-tracks");
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    void TearDown() override { encoder_.Stop(true); }

    // Converts as the pages do; returns the option text.
    std::string convert(const fs::path& source, const fs::path& target, const std::string& audio_filters) {
        EXPECT_TRUE(encoder_.Decoder().LoadFile(source.string())) << encoder_.Decoder().LastErrorMessage();
        const std::string options =
            conversion_options(source.string(), target.string(), encoder_.Decoder(), audio_filters);
        encoder_.ClearTasks();
        const int task = encoder_.AddTask(source.string());
        EXPECT_GE(task, 0) << encoder_.LastErrorMessage();
        TOutputOptions out;
        ResetOutputOptions(out);
        out.Options = options;
        EXPECT_GE(encoder_.SetOutput(task, target.string(), &out), 0) << encoder_.LastErrorMessage() << options;
        bool ended = false;
        encoder_.OnTerminate = [&](TObject*, const TTerminateInfo& info) {
            EXPECT_FALSE(info.Failed) << info.ErrorText << " with" << options;
            ended |= info.TaskIndex < 0;
        };
        encoder_.StartTask(1);
        EXPECT_TRUE(test::drain_until([&] { return ended; }, 60s)) << options;
        return options;
    }

    static inline test::TempDir* dir_ = nullptr;
    TFFEncoder encoder_;
};

test::MediaSpec film() {
    test::MediaSpec m;
    m.video = true;
    m.audio_channels = {2, 2};
    m.audio_codec = "flac";  // lossless, so both gains compare exactly
    m.audio_dispositions = {0, AV_DISPOSITION_DEFAULT};
    m.audio_languages = {"eng", "ger"};
    m.subtitle = true;
    m.subtitle_streams = 2;
    m.attachment = true;
    m.peak_db = -12;
    return m;
}

// Same container, both modes: every stream with its flags, the tags, the
// chapters; the two audio tracks changed by one gain.
TEST_F(TracksKeptTest, EveryStreamAndItsFlagsSurviveVolumeChangeAndNormalize) {
    test::MediaSpec mp4;
    mp4.video = true;
    mp4.audio_channels = {2, 2};
    mp4.chapters = 3;
    mp4.peak_db = -12;
    test::MediaSpec mp3;
    mp3.tags = {{"title", "Song"}, {"artist", "Band"}};
    mp3.cover = true;
    mp3.peak_db = -12;
    test::MediaSpec flac;
    flac.cover = true;
    flac.peak_db = -12;
    const struct {
        const char* name;
        test::MediaSpec media;
        double lossy_tolerance;
    } rows[] = {{"film.mkv", film(), 0.05}, {"film.mp4", mp4, 0.3}, {"song.mp3", mp3, 0.3}, {"song.flac", flac, 0.05}};
    for (const auto& row : rows) {
        const fs::path source = test::make_media(*dir_ / row.name, row.media);
        const Contents before = contents_of(source);
        const double peak = test::measure_audio(source).peak_db;
        for (const bool normalize : {false, true}) {
            const fs::path target = *dir_ / ((normalize ? "normalized_" : "changed_") + std::string(row.name));
            const std::string filter = normalize ? normalize_filter(real_text(-peak)) : volume_change_filter(200);
            const std::string options = convert(source, target, filter);
            const std::string what = std::string(row.name) + options;
            const Contents after = contents_of(target);
            ASSERT_EQ(after.streams.size(), before.streams.size()) << what;
            for (size_t i = 0; i < before.streams.size(); ++i) {
                EXPECT_EQ(after.streams[i], before.streams[i]) << what << " #" << i;
            }
            EXPECT_EQ(after.chapters, before.chapters) << what;
            for (const auto& [key, value] : before.tags) {
                if (key == "encoder") continue;  // the writer's own
                EXPECT_EQ(after.tags.count(key) ? after.tags.at(key) : "", value) << what << " " << key;
            }
            const double gain = normalize ? -peak : 6.02;
            for (int a = 0; a < count(before, AVMEDIA_TYPE_AUDIO); ++a) {
                EXPECT_NEAR(test::measure_audio(target, a).peak_db - test::measure_audio(source, a).peak_db, gain,
                            row.lossy_tolerance)
                    << what << " audio " << a;
            }
        }
    }
}

// Samples keep their codec and precision where the container stays.
TEST_F(TracksKeptTest, HighPrecisionAudioStaysAsPrecise) {
    test::MediaSpec deep;
    deep.bits = 24;
    test::MediaSpec floating;
    floating.audio_codec = "pcm_f32le";
    test::MediaSpec vorbis;
    vorbis.audio_codec = "libvorbis";
    test::MediaSpec pcm_film;
    pcm_film.video = true;
    pcm_film.audio_codec = "pcm_s16le";
    const struct {
        const char* name;
        test::MediaSpec media;
        const char* codec;
        int bits;
        double tolerance;
    } rows[] = {{"deep.wav", deep, "pcm_s24le", 24, 0.05},
                {"deep.flac", deep, "flac", 24, 0.05},
                {"float.wav", floating, "pcm_f32le", 32, 0.05},
                {"plain.flac", {}, "flac", 16, 0.05},
                // WebM keeps no bit rate: the rate read from the packets.
                {"vorbis.webm", vorbis, "vorbis", 0, 1.0},
                {"pcm.avi", pcm_film, "pcm_s16le", 16, 0.05}};
    for (const auto& row : rows) {
        const fs::path source = test::make_media(*dir_ / row.name, row.media);
        const fs::path target = *dir_ / (std::string("loud_") + row.name);
        const std::string options = convert(source, target, volume_change_filter(150));
        const Contents after = contents_of(target);
        ASSERT_EQ(count(after, AVMEDIA_TYPE_AUDIO), 1) << row.name << options;
        const Stream& audio = *std::find_if(after.streams.begin(), after.streams.end(),
                                            [](const Stream& s) { return s.type == AVMEDIA_TYPE_AUDIO; });
        EXPECT_EQ(audio.codec, row.codec) << row.name << options;
        EXPECT_EQ(audio.bits, row.bits) << row.name << options;
        EXPECT_NEAR(test::measure_audio(target).peak_db - test::measure_audio(source).peak_db, 3.52, row.tolerance)
            << row.name;
    }
}

// When the container changes, what the target cannot hold is left out and
// the job still completes; 3GP targets get an encoder that exists here.
TEST_F(TracksKeptTest, ANewContainerTakesWhatItCanHold) {
    const fs::path mkv = test::make_media(*dir_ / "source.mkv", film());
    test::MediaSpec movie;
    movie.video = true;
    const fs::path mp4 = test::make_media(*dir_ / "movie.mp4", movie);
    test::MediaSpec album;
    album.cover = true;
    const fs::path mp3 = test::make_media(*dir_ / "album.mp3", album);
    const struct {
        fs::path source;
        const char* target;
        int video, audio, subtitles, attachments;
    } rows[] = {
        {mkv, "film.webm", 1, 2, 2, 0},  // text subtitles become the target's own
        {mkv, "film.mp4", 1, 2, 2, 0},   {mkv, "film.avi", 1, 2, 0, 0},
        {mkv, "film.wav", 0, 1, 0, 0},   {mp4, "phone.3gp", 1, 1, 0, 0},
        {mp3, "album.flac", 1, 1, 0, 0},  // the cover
        {mp3, "album.m4a", 0, 1, 0, 0},   // would become a moving picture
        {mp3, "album.ogg", 0, 1, 0, 0},  {mp3, "album.wav", 0, 1, 0, 0},
        {mp3, "album.mka", 0, 1, 0, 0},  // its own video codec is a moving-picture one too
    };
    for (const auto& row : rows) {
        const fs::path target = *dir_ / row.target;
        const std::string options = convert(row.source, target, volume_change_filter(100));
        const Contents after = contents_of(target);
        const std::string what = row.target + options;
        EXPECT_EQ(count(after, AVMEDIA_TYPE_VIDEO), row.video) << what;
        EXPECT_EQ(count(after, AVMEDIA_TYPE_AUDIO), row.audio) << what;
        EXPECT_EQ(count(after, AVMEDIA_TYPE_SUBTITLE), row.subtitles) << what;
        EXPECT_EQ(count(after, AVMEDIA_TYPE_ATTACHMENT), row.attachments) << what;
        EXPECT_GT(test::measure_audio(target).duration_seconds, 0.9) << what;
    }
    EXPECT_EQ(test::measure_audio(*dir_ / "phone.3gp").sample_rate, 8000);
    EXPECT_EQ(test::measure_audio(*dir_ / "phone.3gp").channels, 1);
}

// A track's bit rate: the one its container states, else its packets' bytes
// over its length.
std::vector<double> track_rates(const fs::path& path) {
    std::vector<double> rates;
    AVFormatContext* ctx = nullptr;
    if (avformat_open_input(&ctx, path.c_str(), nullptr, nullptr) < 0) return rates;
    avformat_find_stream_info(ctx, nullptr);
    std::vector<int64_t> bytes(ctx->nb_streams), first(ctx->nb_streams, INT64_MAX), end(ctx->nb_streams, 0);
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(ctx, pkt) >= 0) {
        const auto i = static_cast<size_t>(pkt->stream_index);
        bytes[i] += pkt->size;
        first[i] = std::min(first[i], pkt->pts);
        end[i] = std::max(end[i], pkt->pts + pkt->duration);
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        const AVStream* st = ctx->streams[i];
        if (st->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) continue;
        rates.push_back(st->codecpar->bit_rate > 0
                            ? static_cast<double>(st->codecpar->bit_rate)
                            : static_cast<double>(bytes[i]) * 8 /
                                  (static_cast<double>(end[i] - first[i]) * av_q2d(st->time_base)));
    }
    avformat_close_input(&ctx);
    return rates;
}

// Each lossy track keeps its own rate, also where the container states none
// (Opus in WebM and MKV); a WAV file named .mp3 is written as an MP3.
TEST_F(TracksKeptTest, EachTrackKeepsItsOwnBitRate) {
    test::MediaSpec vorbis;
    vorbis.audio_bit_rates = {192000};
    vorbis.duration_seconds = 3;
    test::MediaSpec opus;
    opus.audio_codec = "libopus";
    opus.sample_rate = 48000;
    opus.audio_bit_rates = {192000};
    opus.duration_seconds = 3;
    test::MediaSpec two = opus;
    two.audio_channels = {2, 6};
    two.audio_bit_rates = {256000, 96000};
    const struct {
        const char* source;
        test::MediaSpec media;
        const char* target;
        const char* codec;
    } rows[] = {{"vorbis.ogg", vorbis, "vorbis.ogg", "vorbis"},
                {"opus.webm", opus, "opus.webm", "opus"},
                {"two.mkv", two, "two.mkv", "opus"},
                {"wave.wav", {}, "wave.mp3", "mp3"}};
    for (const auto& row : rows) {
        fs::path source = test::make_media(*dir_ / row.source, row.media);
        if (source.extension() != fs::path(row.target).extension()) {
            fs::rename(source, *dir_ / ("named_" + std::string(row.target)));
            source = *dir_ / ("named_" + std::string(row.target));
        }
        const fs::path target = *dir_ / (std::string("rate_") + row.target);
        const std::string options = convert(source, target, volume_change_filter(100));
        const std::vector<double> before = track_rates(source), after = track_rates(target);
        ASSERT_EQ(after.size(), before.size()) << row.target << options;
        EXPECT_EQ(contents_of(target).streams[0].codec, row.codec) << row.target << options;
        if (std::string(row.codec) == "mp3") continue;  // from PCM: no rate to keep
        for (size_t i = 0; i < before.size(); ++i) {
            EXPECT_NEAR(after[i] / before[i], 1.0, 0.25) << row.target << options << " track " << i;
        }
    }
}

// The rule over the stream facts: all streams only when the automatic
// choice would lose one; the source's codec, per track where they differ.
TEST(TrackRules, MapAndCodecChoices) {
    auto facts = [](std::vector<StreamFacts> streams, std::string own = "vorbis", bool amr = true) {
        SourceFacts f;
        f.streams = std::move(streams);
        f.container_audio_codec = std::move(own);
        f.amr_nb_encoder = amr;
        return f;
    };
    auto audio = [](const char* codec, const char* encoder, int channels, int stored = -1, int packets = -1,
                    const char* format = "") {
        return StreamFacts{'a', codec, encoder, format, stored, false, packets, channels};
    };
    const StreamFacts video{'v', "h264", "libx264", "", -1, false};
    const StreamFacts cover{'v', "png", "png", "", -1, true};
    const StreamFacts flac24 = audio("flac", "flac", 2, -1, -1, "s32");
    const StreamFacts ac3 = audio("ac3", "ac3", 6, 448000);
    const StreamFacts vorbis = audio("vorbis", "libvorbis", 2);
    const StreamFacts dts = audio("dts", "", 6);
    const StreamFacts subs{'s', "subrip", "srt", "", -1, false};
    const StreamFacts amr = audio("amr_nb", "", 1, 12200);
    SourceFacts wav_named_mp3 = facts({audio("pcm_s16le", "pcm_s16le", 2, 1411200)}, "pcm_s16le");
    wav_named_mp3.container_names = {"wav"};
    const struct {
        const char* source;
        const char* target;
        SourceFacts facts;
        const char* expected;
    } rows[] = {
        // A rate nobody states: read from the packets, else 64 kbit/s a channel.
        {"a.mkv", "b.mkv", facts({video, vorbis}), " -y -c:v copy -b:a 128000"},
        {"a.ogg", "b.ogg", facts({audio("vorbis", "libvorbis", 2, -1, 200000)}), " -y -c:v copy -b:a 200000"},
        {"a.mkv", "b.mkv",
         facts({video, audio("opus", "libopus", 2, -1, 96000), audio("opus", "libopus", 6, -1, 320000)}),
         " -y -c:v copy -b:a:0 96000 -b:a:1 320000 -map 0 -c:a libopus"},
        {"a.mkv", "b.mkv", facts({video, flac24, ac3, subs}),
         " -y -c:v copy -q:a:0 0 -b:a:1 448000 -map 0 -c:s copy -c:a:0 flac -c:a:1 ac3 -sample_fmt:a:0 s32"},
        {"a.mkv", "b.MKV", facts({video, dts, vorbis}), " -y -c:v copy -b:a:0 384000 -b:a:1 128000 -map 0"},
        {"a.flac", "b.flac", facts({flac24, cover}, "flac"), " -y -c:v copy -q:a 0 -map 0 -sample_fmt:a s32"},
        {"a.mkv", "b.mka", facts({video, flac24, subs}), " -y -q:v 0 -b:a 128000 -map 0"},
        // A new container: MP3 at its best quality, Vorbis at the source's rate.
        {"a.mp4", "b.webm", facts({video, audio("aac", "aac", 2, 160000)}),
         " -y -f webm -c:v libvpx -c:a libvorbis -q:v 0 -b:a 160000"},
        {"a.wav", "b.mp3", facts({audio("pcm_s16le", "pcm_s16le", 2, 1411200)}), " -y -q:v 0 -q:a 0"},
        {"a.mp3", "b.wav", facts({audio("mp3", "libmp3lame", 2, 128000)}), " -y -q:v 0 -q:a 0 -rf64 auto"},
        {"a.wav", "b.wav", facts({audio("pcm_s16le", "pcm_s16le", 2, 1411200)}, "pcm_s16le"),
         " -y -c:v copy -b:a 1411200 -rf64 auto"},
        // The probe, not the name, says what the container is.
        {"a.mp3", "b.mp3", wav_named_mp3, " -y -q:v 0 -q:a 0"},
        {"a.3gp", "b.3gp", facts({video, amr}, "amr_nb", false), " -y -c:v copy -b:a 12200 -c:a aac"},
        {"a.3gp", "b.3gp", facts({video, amr}, "amr_nb", true), " -y -c:v copy -b:a 12200"},
        {"a.mp4", "b.mp4", facts({video, {'u', "none", "", "", -1, false}, vorbis}, "aac"),
         " -y -c:v copy -b:a 128000 -map 0:0 -map 0:2 -c:a libvorbis"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(conversion_options(row.source, row.target, row.facts, {-1, 2000000}, ""), row.expected)
            << row.source << " " << row.target;
    }
}

}  // namespace
