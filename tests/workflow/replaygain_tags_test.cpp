// ReplayGain tags: which files take them, their texts, and the writing
// through a copy that leaves the file as it was whenever it fails.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <taglib/fileref.h>
#include <taglib/mpegfile.h>
#include <taglib/id3v2tag.h>
#include <taglib/textidentificationframe.h>

#include <chrono>
#include <clocale>
#include <filesystem>
#include <functional>
#include <map>

#include "base/FFLoad.h"
#include "base/MainThreadQueue.h"
#include "engine/FFDecode.h"
#include "support/media_fixtures.h"
#include "support/temp_dir.h"
#include "workflow/replaygain_tags.h"

using namespace sonorix;
namespace fs = std::filesystem;

namespace {

TEST(ReplayGainTexts, AsTheTagsHoldThem) {
    // A comma locale where one is installed changes none of them.
    const std::string before = std::setlocale(LC_NUMERIC, nullptr);
    std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
    const struct {
        double gain;
        const char* text;
        int r128;  // Q7.8 to -23 LUFS: the same programme 5 dB quieter
    } cases[] = {
        {-3.124, "-3.12 dB", -2080}, {0.004, "+0.00 dB", -1279},   {-0.004, "+0.00 dB", -1281}, {6.5, "+6.50 dB", 384},
        {5.0, "+5.00 dB", 0},        {-200, "-200.00 dB", -32768}, {200, "+200.00 dB", 32767},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(gain_text(c.gain), c.text);
        EXPECT_EQ(r128_gain(c.gain), c.r128) << c.gain;
    }
    EXPECT_EQ(peak_text(0.9876544), "0.987654");
    EXPECT_EQ(peak_text(peak_ratio(0.0)), "1.000000");
    EXPECT_EQ(peak_text(peak_ratio(-6.0)), "0.501187");
    EXPECT_DOUBLE_EQ(replaygain_of(-14.88), -3.12);
    std::setlocale(LC_NUMERIC, before.c_str());
}

class ReplayGainFiles : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        MainThreadQueue::Instance().SetMainThread();
        ASSERT_TRUE(TFFLoader::Instance().Load(kDecoderLibraries));
    }
    fs::path make(const std::string& name, test::MediaSpec m = {}) {
        if (fs::path(name).extension() == ".opus") m.sample_rate = 48000;
        return test::make_media(dir / name, m);
    }
    // No copy is left beside the files.
    void expect_no_copies() {
        for (const auto& e : fs::recursive_directory_iterator(dir.path())) {
            EXPECT_EQ(e.path().filename().string().find(".sonorix-"), std::string::npos) << e.path();
        }
    }
    test::TempDir dir{"sonorix-replaygain"};
};

// What a file really is decides its tags. Writing only the track's leaves
// the album's; removing takes all away, in whatever case another tagger
// spelled them, and nothing else; a file without them is not rewritten.
TEST_F(ReplayGainFiles, EachKindTakesItsTags) {
    const struct {
        const char* name;
        TagFormat format;
        bool video = false, cover = false, two_tracks = false;
    } cases[] = {
        {"a.mp3", TagFormat::Mp3},           {"a.flac", TagFormat::Flac},
        {"a.ogg", TagFormat::OggVorbis},     {"a.opus", TagFormat::Opus},
        {"a.m4a", TagFormat::Mp4},           {"covered.m4a", TagFormat::Mp4, false, true},  // a cover is no video
        {"film.mp4", TagFormat::None, true}, {"film.mkv", TagFormat::None, true},
        {"a.wav", TagFormat::None},          {"two.m4a", TagFormat::None, false, false, true},
    };
    const std::map<std::string, std::string> replaygain = {{"replaygain_album_gain", "-2.00 dB"},
                                                           {"replaygain_album_peak", "0.750000"},
                                                           {"replaygain_track_gain", "-4.00 dB"},
                                                           {"replaygain_track_peak", "0.250000"}};
    const std::map<std::string, std::string> r128 = {{"r128_album_gain", "-1792"}, {"r128_track_gain", "-2304"}};
    TFFDecoder probe;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::MediaSpec m;
        m.video = c.video;
        m.cover = c.cover;
        m.tags = {{"title", "A"}};
        if (c.two_tracks) m.audio_channels = {2, 2};
        // A name that lies changes nothing.
        const fs::path file = dir / (std::string(c.name) + ".mp3");
        fs::rename(make(c.name, m), file);
        ASSERT_TRUE(probe.LoadFile(file.string()));
        std::string reason;
        EXPECT_EQ(tag_format(probe, reason), c.format);
        EXPECT_EQ(reason.empty(), c.format != TagFormat::None) << reason;
        probe.CloseFile();
        if (c.format == TagFormat::None) continue;

        const GainTags album{-1.0, 0.5, -2.0, 0.75}, track{-4.0, 0.25, std::nullopt, std::nullopt};
        ASSERT_EQ(write_tags(file.string(), c.format, &album, false), "");
        ASSERT_EQ(write_tags(file.string(), c.format, &track, false), "");
        EXPECT_EQ(read_tags(file.string(), c.format), c.format == TagFormat::Opus ? r128 : replaygain);
        if (c.format == TagFormat::Mp3) {
            TagLib::MPEG::File other(file.c_str());
            other.ID3v2Tag()->addFrame(
                new TagLib::ID3v2::UserTextIdentificationFrame("ReplayGain_Track_Gain", TagLib::StringList("-1 dB")));
            ASSERT_TRUE(other.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripNone));
        }
        ASSERT_EQ(write_tags(file.string(), c.format, nullptr, false), "");
        EXPECT_TRUE(read_tags(file.string(), c.format).empty());
        // The other tags stay (read under the file's own extension).
        const fs::path own = dir / (std::string("own-") + c.name);
        fs::create_symlink(file, own);
        const TagLib::FileRef ref(own.c_str());
        ASSERT_NE(ref.tag(), nullptr);
        EXPECT_EQ(ref.tag()->title(), "A");
        const fs::file_time_type old_time = fs::last_write_time(file) - std::chrono::hours(1);
        fs::last_write_time(file, old_time);
        ASSERT_EQ(write_tags(file.string(), c.format, nullptr, false), "");
        EXPECT_EQ(fs::last_write_time(file), old_time);
    }
}

// Each way the writing can be kept off leaves the file as it was and no copy
// behind; a written file keeps its permissions, its links and, asked, its time.
TEST_F(ReplayGainFiles, WritingThroughACopy) {
    const GainTags tags{-3.12, 0.5, std::nullopt, std::nullopt};
    const struct {
        const char* what;
        std::function<fs::path(const fs::path& file)> prepare;  // the name to tag
        const char* failure;                                    // empty: written
        bool keep_time = false;
    } cases[] = {
        {"read-only file",
         [](const fs::path& f) {
             fs::permissions(f, fs::perms::owner_read | fs::perms::group_read);
             return f;
         },
         "the file is read-only"},
        {"read-only folder",
         [](const fs::path& f) {
             fs::permissions(f.parent_path(), fs::perms::owner_read | fs::perms::owner_exec);
             return f;
         },
         "is read-only"},
        {"hard link",
         [](const fs::path& f) {
             fs::create_hard_link(f, f.string() + ".2");
             return f;
         },
         "hard links"},
        {"no file", [](const fs::path& f) { return f.string() + ".none"; }, "cannot find the file"},
        {"own permissions",
         [](const fs::path& f) {
             fs::permissions(f, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
             return f;
         },
         ""},
        {"through a link",
         [](const fs::path& f) {
             fs::create_symlink(f.filename(), f.string() + ".link");
             return f.string() + ".link";
         },
         ""},
        {"kept time", [](const fs::path& f) { return f; }, "", true},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path folder = dir / std::to_string(n++);
        fs::create_directories(folder);
        const fs::path file = make(folder.filename().string() + "/a.flac");
        // An old time, so a rewrite shows.
        const fs::file_time_type old_time = fs::last_write_time(file) - std::chrono::hours(48);
        fs::last_write_time(file, old_time);
        const fs::path name = c.prepare(file);
        const std::string before = test::read_file(file);
        const fs::perms perms = fs::status(file).permissions();
        const std::string failure = write_tags(name.string(), TagFormat::Flac, &tags, c.keep_time);
        fs::permissions(folder, fs::perms::owner_all);
        if (*c.failure) {
            EXPECT_NE(failure.find(c.failure), std::string::npos) << failure;
            EXPECT_EQ(test::read_file(file), before);
        } else {
            EXPECT_EQ(failure, "");
            EXPECT_EQ(read_tags(file.string(), TagFormat::Flac).at("replaygain_track_gain"), "-3.12 dB");
            EXPECT_EQ(fs::status(file).permissions(), perms);
            EXPECT_EQ(fs::is_symlink(name), name != file);
            EXPECT_EQ(fs::last_write_time(file) == old_time, c.keep_time);
        }
        expect_no_copies();
    }
}

}  // namespace
