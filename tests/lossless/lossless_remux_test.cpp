#include <sys/resource.h>

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>

#include "lossless/lossless_remux.h"
#include "lossless/opus_gain.h"
#include "support/decoded_audio.h"
#include "support/media_fixtures.h"
#include "support/stream_packets.h"
#include "support/temp_dir.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace sonorix::lossless {

namespace {

namespace fs = std::filesystem;
using test::MediaSpec;

// A valid OpusHead (stereo, 312 samples of pre-skip) with the given gain.
std::array<uint8_t, kOpusHeadSize> head_with(int16_t gain) {
    std::array<uint8_t, kOpusHeadSize> head{'O', 'p', 'u', 's', 'H', 'e', 'a', 'd', 1, 2, 0x38, 0x01, 0x80, 0xBB, 0, 0};
    head[16] = static_cast<uint8_t>(static_cast<uint16_t>(gain) & 0xFF);
    head[17] = static_cast<uint8_t>(static_cast<uint16_t>(gain) >> 8);
    return head;
}

int header_gain(const fs::path& file) {
    AVFormatContext* ic = nullptr;
    int gain = INT32_MIN;
    if (avformat_open_input(&ic, file.c_str(), nullptr, nullptr) < 0) return gain;
    avformat_find_stream_info(ic, nullptr);
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        const AVCodecParameters* par = ic->streams[i]->codecpar;
        std::string why;
        if (par->codec_id == AV_CODEC_ID_OPUS) {
            opus_output_gain({par->extradata, static_cast<size_t>(par->extradata_size)}, gain, why);
            break;
        }
    }
    avformat_close_input(&ic);
    return gain;
}

// Files the folder holds besides the named ones: a leftover temporary file.
std::vector<std::string> leftovers(const fs::path& folder, const std::vector<std::string>& expected) {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (std::find(expected.begin(), expected.end(), name) == expected.end()) found.push_back(name);
    }
    return found;
}

MediaSpec opus_spec(int tracks = 1) {
    MediaSpec wanted;
    wanted.audio_codec = "libopus";
    wanted.sample_rate = 48000;
    wanted.audio_channels.assign(static_cast<size_t>(tracks), 2);
    wanted.peak_db = -12;
    return wanted;
}

const std::atomic<bool> kGoOn{false};

}  // namespace

// The header's gain is added to (never replaced) and never wraps.
TEST(OpusGain, AddsToTheHeaderGainAndRefusesToWrap) {
    struct Case {
        int16_t before;
        int add;
        bool ok;
        int after;
    } cases[] = {
        {0, 896, true, 896},        {-512, 896, true, 384},        {32000, 767, true, 32767},
        {32000, 768, false, 32000}, {-32000, -769, false, -32000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.add);
        auto head = head_with(c.before);
        GainRoom room;
        std::string why;
        ASSERT_TRUE(opus_survey(head, room, why));
        EXPECT_EQ(room.allows(c.add), c.ok);
        EXPECT_EQ(opus_apply(head, c.add, why), c.ok);
        int gain = 0;
        ASSERT_TRUE(opus_output_gain(head, gain, why));
        EXPECT_EQ(gain, c.after);
        EXPECT_EQ(head[18], 0) << "the mapping family is not touched";
    }
    auto other = head_with(0);
    other[0] = 'X';
    std::string why;
    EXPECT_FALSE(opus_apply(other, 1, why));
    EXPECT_FALSE(why.empty());
}

// In every container that carries Opus the target decodes to the source's
// samples times the gain, and a second change adds to the first.
TEST(OpusRemux, DecodesToTheSourceTimesTheGainInEveryContainer) {
    for (const char* ext : {".ogg", ".opus", ".mkv", ".webm", ".mp4"}) {
        SCOPED_TRACE(ext);
        test::TempDir dir("opus-remux");
        const fs::path source = test::make_media(dir / (std::string("a") + ext), opus_spec());
        const fs::path once = dir / (std::string("b") + ext), twice = dir / (std::string("c") + ext);
        RemuxResult r = change_gain(source, once, {{3.5, StepRounding::Nearest, {}}}, kGoOn);
        ASSERT_EQ(r.end, RemuxEnd::Completed) << r.text;
        ASSERT_EQ(r.gains.size(), 1u);
        EXPECT_EQ(r.gains[0].units, 896);
        EXPECT_EQ(header_gain(once), 896);
        r = change_gain(once, twice, {{-1.25, StepRounding::Nearest, {}}}, kGoOn);
        ASSERT_EQ(r.end, RemuxEnd::Completed) << r.text;
        EXPECT_EQ(header_gain(twice), 896 - 320);

        const auto before = test::decoded_samples(source, 0, "opus");
        ASSERT_GT(before.size(), 48000u);
        EXPECT_LT(test::largest_error(before, test::decoded_samples(once, 0, "opus"), std::pow(10, 3.5 / 20)), 1e-5);
        EXPECT_LT(test::largest_error(before, test::decoded_samples(twice, 0, "opus"), std::pow(10, 2.25 / 20)), 1e-5);
        EXPECT_EQ(test::stream_packets(source, AVMEDIA_TYPE_AUDIO), test::stream_packets(twice, AVMEDIA_TYPE_AUDIO));
    }
}

// A film or a song keeps every other stream's packets, its chapters, tags,
// flags and cover, and its audio packets' times; each audio track gets its
// own gain and decodes to the source's samples times that gain.
TEST(Remux, CopiesEveryOtherStreamUnchanged) {
    struct Case {
        const char* name;
        std::vector<std::string> codecs;  // per audio track
        bool video, subtitle, cover, attachment;
    } cases[] = {
        {"film.mkv", {"libopus", "libmp3lame"}, true, true, false, true},
        {"film.mp4", {"libopus", "libopus"}, true, true, true, false},
        {"film.mp4", {"aac", "aac"}, true, true, true, false},
        {"film.avi", {"libmp3lame"}, true, false, false, false},
        {"song.mp3", {"libmp3lame"}, false, false, true, false},
        {"song.m4a", {"aac"}, false, false, true, false},
        {"song.aac", {"aac"}, false, false, false, false},
    };
    const double asked[] = {6.0, -3.0};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + c.codecs[0]);
        test::TempDir dir("remux-film");
        MediaSpec wanted = opus_spec(static_cast<int>(c.codecs.size()));
        wanted.audio_codecs = c.codecs;
        wanted.video = c.video;
        wanted.subtitle = c.subtitle;
        wanted.cover = c.cover;
        wanted.attachment = c.attachment;
        wanted.chapters = c.video ? 3 : 0;
        wanted.tags = {{"title", "A film"}, {"artist", "Someone"}};
        wanted.audio_languages = {"eng", "fra"};
        wanted.audio_dispositions = {AV_DISPOSITION_DEFAULT, 0};
        wanted.duration_seconds = 2;
        const fs::path source = test::make_media(dir / c.name, wanted);
        const fs::path target = dir / (std::string("new_") + c.name);
        const RemuxResult r = change_gain(
            source, target, {{asked[0], StepRounding::Down, {}}, {asked[1], StepRounding::Down, {}}}, kGoOn);
        ASSERT_EQ(r.end, RemuxEnd::Completed) << r.text;

        for (AVMediaType type : {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_SUBTITLE, AVMEDIA_TYPE_ATTACHMENT}) {
            SCOPED_TRACE(av_get_media_type_string(type));
            const auto want = test::stream_packets(source, type);
            EXPECT_EQ(want, test::stream_packets(target, type));
        }
        for (size_t a = 0; a < c.codecs.size(); ++a) {
            SCOPED_TRACE(c.codecs[a]);
            const bool opus = c.codecs[a] == "libopus";
            EXPECT_EQ(r.gains[a].units,
                      opus ? opus_gain_q8(asked[a], StepRounding::Down) : steps_for(asked[a], StepRounding::Down));
            auto before = test::stream_packets(source, AVMEDIA_TYPE_AUDIO, static_cast<int>(a));
            auto after = test::stream_packets(target, AVMEDIA_TYPE_AUDIO, static_cast<int>(a));
            ASSERT_EQ(before.size(), after.size());
            for (size_t k = 0; k < before.size() && !opus; ++k) {
                // Same size, other bits: only the gain fields moved.
                EXPECT_EQ(before[k].data.size(), after[k].data.size());
                before[k].data = after[k].data = {};
            }
            EXPECT_EQ(before, after);
            const auto decoded = test::decoded_samples(source, static_cast<int>(a), opus ? "opus" : "");
            EXPECT_LT(
                test::largest_error(decoded, test::decoded_samples(target, static_cast<int>(a), opus ? "opus" : ""),
                                    std::pow(10, r.gains[a].db / 20)),
                opus ? 1e-5 : 1e-4);
        }

        AVFormatContext *a = nullptr, *b = nullptr;
        ASSERT_EQ(avformat_open_input(&a, source.c_str(), nullptr, nullptr), 0);
        ASSERT_EQ(avformat_open_input(&b, target.c_str(), nullptr, nullptr), 0);
        avformat_find_stream_info(a, nullptr);
        avformat_find_stream_info(b, nullptr);
        ASSERT_EQ(a->nb_streams, b->nb_streams);
        // Where the container holds them (not AVI, not ADTS).
        ASSERT_EQ(b->nb_chapters, a->nb_chapters);
        for (unsigned i = 0; i < a->nb_chapters; ++i) {
            EXPECT_EQ(av_compare_ts(a->chapters[i]->start, a->chapters[i]->time_base, b->chapters[i]->start,
                                    b->chapters[i]->time_base),
                      0);
            EXPECT_STREQ(av_dict_get(b->chapters[i]->metadata, "title", nullptr, 0)->value,
                         av_dict_get(a->chapters[i]->metadata, "title", nullptr, 0)->value);
        }
        const AVDictionaryEntry* title = av_dict_get(a->metadata, "title", nullptr, 0);
        const AVDictionaryEntry* kept_title = av_dict_get(b->metadata, "title", nullptr, 0);
        EXPECT_STREQ(kept_title ? kept_title->value : "", title ? title->value : "");
        int pictures = 0;
        for (unsigned i = 0; i < a->nb_streams; ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(a->streams[i]->disposition, b->streams[i]->disposition);
            const AVDictionaryEntry* lang = av_dict_get(a->streams[i]->metadata, "language", nullptr, 0);
            const AVDictionaryEntry* kept = av_dict_get(b->streams[i]->metadata, "language", nullptr, 0);
            EXPECT_EQ(lang ? std::string(lang->value) : "", kept ? std::string(kept->value) : "");
            const AVCodecParameters *pa = a->streams[i]->codecpar, *pb = b->streams[i]->codecpar;
            if (pa->codec_type == AVMEDIA_TYPE_ATTACHMENT) {
                ASSERT_EQ(pa->extradata_size, pb->extradata_size);
                EXPECT_EQ(std::memcmp(pa->extradata, pb->extradata, static_cast<size_t>(pa->extradata_size)), 0);
            }
            if (a->streams[i]->disposition & AV_DISPOSITION_ATTACHED_PIC) {
                ++pictures;
                const AVPacket &ca = a->streams[i]->attached_pic, &cb = b->streams[i]->attached_pic;
                ASSERT_EQ(ca.size, cb.size);
                EXPECT_EQ(std::memcmp(ca.data, cb.data, static_cast<size_t>(ca.size)), 0);
            }
        }
        EXPECT_EQ(pictures, c.cover ? 1 : 0);
        avformat_close_input(&a);
        avformat_close_input(&b);
    }
}

// Whatever ends a write early leaves the target as it was and no temporary
// file; a refusal writes nothing at all.
TEST(Remux, EndsWithoutATraceWhenStoppedFailedOrRefused) {
    test::TempDir dir("opus-ends");
    MediaSpec wanted = opus_spec();
    wanted.video = true;
    wanted.duration_seconds = 3;
    const fs::path source = test::make_media(dir / "src.mkv", wanted);
    const fs::path loud = dir / "loud.mkv";
    ASSERT_EQ(change_gain(source, loud, {{100.0, StepRounding::Nearest, {}}}, kGoOn).end, RemuxEnd::Completed);
    const fs::path target = dir / "out.mkv";
    test::write_file(target, "the user's file");

    struct Case {
        const char* what;
        fs::path source, target;
        double db;
        RemuxEnd end;
        bool stop_midway = false, small_files = false;
    } cases[] = {
        {"stopped midway", source, target, 3, RemuxEnd::Stopped, true, false},
        {"a write fails", source, target, 3, RemuxEnd::Failed, false, true},
        {"the header's gain would pass +128 dB", loud, target, 30, RemuxEnd::Refused},
        {"another container", source, dir / "out.webm", 3, RemuxEnd::Refused},
        {"a codec without gain fields", test::make_media(dir / "vorbis.ogg", {}), dir / "out.ogg", 3,
         RemuxEnd::Refused},
        {"MP3 global gains past 255", test::make_media(dir / "song.mp3", {}), dir / "out.mp3", 200, RemuxEnd::Refused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::atomic<bool> stop{false};
        rlimit before{};
        if (c.small_files) {
            // The write fails with EFBIG once the file passes 4 KiB.
            ::signal(SIGXFSZ, SIG_IGN);
            ::getrlimit(RLIMIT_FSIZE, &before);
            rlimit small = before;
            small.rlim_cur = 4096;
            ::setrlimit(RLIMIT_FSIZE, &small);
        }
        const RemuxResult r =
            change_gain(c.source, c.target, {{c.db, StepRounding::Nearest, {}}}, stop, [&](double share) {
                if (c.stop_midway && share > 0.2) stop = true;
            });
        if (c.small_files) ::setrlimit(RLIMIT_FSIZE, &before);
        EXPECT_EQ(r.end, c.end) << r.text;
        EXPECT_EQ(r.end == RemuxEnd::Stopped, r.text.empty()) << r.text;
        EXPECT_EQ(test::read_file(target), "the user's file");
        EXPECT_EQ(leftovers(dir.path(), {"src.mkv", "loud.mkv", "out.mkv", "vorbis.ogg", "song.mp3"}),
                  std::vector<std::string>{});
    }
}

// An MP3 file keeps the forms of its tags: an ID3v1 tag at its end and the
// ID3v2 version (the muxer would write neither so by itself).
TEST(Remux, Mp3TagsKeepTheirForms) {
    test::TempDir dir("remux-id3");
    MediaSpec wanted;
    wanted.tags = {{"title", "Song"}};
    const fs::path source = test::make_media(dir / "v23.mp3", wanted);
    std::string bytes = test::read_file(source);
    ASSERT_EQ(bytes.substr(0, 4), std::string("ID3\x04", 4));
    bytes[3] = 3;  // short frames read alike in 2.3 and 2.4
    std::string v1(128, '\0');
    v1.replace(0, 7, "TAGSong");
    test::write_file(source, bytes + v1);
    const fs::path target = dir / "out.mp3";
    ASSERT_EQ(change_gain(source, target, {{3.0, StepRounding::Nearest, {}}}, kGoOn).end, RemuxEnd::Completed);
    const std::string out = test::read_file(target);
    EXPECT_EQ(out.substr(0, 4), std::string("ID3\x03", 4));
    ASSERT_GT(out.size(), 128u);
    EXPECT_EQ(out.substr(out.size() - 128, 7), "TAGSong");
}

// The target through a link: the file behind it is replaced and keeps its
// permissions; the link stays a link.
TEST(Remux, ReplacesTheFileBehindALinkWithItsMode) {
    test::TempDir dir("remux-link");
    const fs::path source = test::make_media(dir / "a.mp3", {});
    const fs::path file = dir / "kept.mp3", link = dir / "link.mp3";
    test::write_file(file, "older");
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_symlink(file, link);
    ASSERT_EQ(change_gain(source, link, {{-3.0, StepRounding::Nearest, {}}}, kGoOn).end, RemuxEnd::Completed);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_NE(test::read_file(file), "older");
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

// The survey alone: each track's codec and room, a refusal naming the track.
TEST(Remux, SurveyGivesEachTracksRoomOrWhyNot) {
    test::TempDir dir("remux-survey");
    MediaSpec wanted = opus_spec(2);
    wanted.audio_codecs = {"libmp3lame", "libopus"};
    const Survey film = survey_file(test::make_media(dir / "film.mkv", wanted), kGoOn);
    ASSERT_EQ(film.refusal, "");
    ASSERT_EQ(film.tracks.size(), 2u);
    EXPECT_EQ(film.tracks[0].codec, GainCodec::Mp3);
    // An MP3 global gain lies in 0..255 and carries the level: room both ways.
    EXPECT_GT(film.tracks[0].room.up, 0);
    EXPECT_LT(film.tracks[0].room.up + film.tracks[0].room.down, 256);
    EXPECT_EQ(film.tracks[1].room.up, 32767);  // a header gain of 0
    wanted.audio_codecs = {"libopus", "libvorbis"};
    const Survey vorbis = survey_file(test::make_media(dir / "vorbis.mkv", wanted), kGoOn);
    EXPECT_EQ(vorbis.refusal.rfind("audio track 2 (vorbis): ", 0), 0u) << vorbis.refusal;
}

// A ceiling's limit lowers a rounded gain to the step below it; the text
// says what was applied and what was asked.
TEST(Remux, PlanRoundsWithinTheLimit) {
    Survey survey;
    survey.tracks = {{0, GainCodec::Mp3, {}, {}}, {1, GainCodec::Opus, {}, {}}};
    std::vector<AppliedGain> gains;
    ASSERT_EQ(plan_gains(survey, {{5.10, StepRounding::Nearest, 5.2}}, gains), "");
    EXPECT_EQ(gains[0].units, 3);  // nearest is 3 steps = 4.52 dB, within 5.2
    EXPECT_EQ(gain_text(gains[0]), "+4.52 dB, asked +5.10 dB");
    ASSERT_EQ(plan_gains(survey, {{5.3, StepRounding::Nearest, 4.6}, {5.3, StepRounding::Nearest, 4.6}}, gains), "");
    EXPECT_EQ(gains[0].units, 3);
    EXPECT_EQ(gains[1].units, 1177);  // 4.6 dB rounded down in 1/256 dB
    survey.tracks[0].room = {2, 2};
    EXPECT_NE(plan_gains(survey, {{-4.0, StepRounding::Nearest, {}}}, gains), "");
    EXPECT_EQ(plan_gains(survey, {{std::nullopt, StepRounding::Nearest, {}}}, gains), "");
    EXPECT_EQ(gain_text(gains[1]), "kept as it is");
}

}  // namespace sonorix::lossless
