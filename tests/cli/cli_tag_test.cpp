// sonorix-cli tag: ReplayGain tags written into the files, read back by
// TagLib and by an independent reader (python3-mutagen), the audio untouched.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "cli_run.h"
#include "support/media_fixtures.h"
#include "support/stream_packets.h"
#include "support/temp_dir.h"
#include "workflow/replaygain_tags.h"

using namespace sonorix;
namespace fs = std::filesystem;

namespace {

using test::cli;
using Tags = std::map<std::string, std::string>;

// Debian's python3, whose python3-mutagen is installed (a python3 of one's
// own earlier in PATH would not see it).
std::string python() { return fs::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3"; }

bool mutagen_present() { return std::system((python() + " -c 'import mutagen' 2>/dev/null").c_str()) == 0; }

// The ReplayGain and R128 tags as mutagen reads them, by lower-case name.
constexpr const char* kMutagenScript = R"(
import json, sys, mutagen
f = mutagen.File(sys.argv[1])
out = {}
for key in (f.tags.keys() if f.tags else []):
    name = key.split(':')[-1].lower()
    if not name.startswith(('replaygain_', 'r128_')):
        continue
    v = f.tags[key]
    v = v.text[0] if hasattr(v, 'text') else v[0]
    out[name] = bytes(v).decode() if isinstance(v, bytes) else str(v)
print(json.dumps(out))
)";

Tags mutagen_tags(const fs::path& script, const fs::path& file) {
    FILE* p = ::popen((python() + " '" + script.string() + "' '" + file.string() + "'").c_str(), "r");
    std::string text;
    char buffer[4096];
    for (size_t n; p && (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) text.append(buffer, n);
    if (!p || ::pclose(p) != 0) return {{"error", text}};
    return nlohmann::json::parse(text).get<Tags>();
}

// "-3.12 dB" as a number.
double db(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

class CliTagTest : public ::testing::Test {
protected:
    fs::path make(const std::string& name, double peak_db, bool video = false) {
        test::MediaSpec m;
        m.peak_db = peak_db;
        m.duration_seconds = 2;
        m.video = video;
        if (fs::path(name).extension() == ".opus") m.sample_rate = 48000;
        return test::make_media(dir / name, m);
    }
    test::TempDir dir{"sonorix-cli-tag"};
};

TEST_F(CliTagTest, TagsHoldTheMeasuredLoudnessAndTheAudioStays) {
    const struct {
        const char* name;
        double peak_db;
        TagFormat format;
    } cases[] = {
        {"a.mp3", -6, TagFormat::Mp3},   {"b.flac", -15, TagFormat::Flac}, {"c.ogg", -3, TagFormat::OggVorbis},
        {"d.opus", -9, TagFormat::Opus}, {"e.m4a", -12, TagFormat::Mp4},
    };
    const bool mutagen = mutagen_present();
    if (!mutagen) std::printf("[ SKIPPED ] python3-mutagen is missing: the tags are read back by TagLib only\n");
    const fs::path script = dir / "tags.py";
    test::write_file(script, kMutagenScript);
    std::vector<std::string> files;
    std::map<std::string, test::StreamPackets> audio;
    for (const auto& c : cases) {
        files.push_back(make(c.name, c.peak_db).string());
        audio[c.name] = test::count_packets(dir / c.name, AVMEDIA_TYPE_AUDIO);
    }
    // Refused or failing, each unchanged; the others are tagged all the same.
    const fs::path film = make("film.mp4", -6, true);
    const fs::path locked = make("locked.flac", -6);
    fs::permissions(locked, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const std::string film_bytes = test::read_file(film), locked_bytes = test::read_file(locked);

    std::vector<std::string> args = {"tag", "--album", "--json", film.string(), locked.string()};
    args.insert(args.end(), files.begin(), files.end());
    const auto run = cli(args);
    EXPECT_EQ(run.status, 1) << run.err;
    const auto records = test::records(run);
    ASSERT_EQ(records.size(), files.size() + 2) << run.out;
    EXPECT_EQ(records[0]["status"], "failed");
    EXPECT_EQ(records[0]["error"], "a video file takes no ReplayGain tags here");
    EXPECT_EQ(records[1]["status"], "failed");
    EXPECT_EQ(records[1]["error"], "the file is read-only");
    EXPECT_EQ(test::read_file(film), film_bytes);
    EXPECT_EQ(test::read_file(locked), locked_bytes);

    std::string album_gain;
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.name);
        const fs::path file = dir / c.name;
        const auto& record = records[i + 2];
        EXPECT_EQ(record["status"], "tagged") << record;
        const auto measured = test::records(cli({"measure", "--loudness", "--json", file.string()}))[0];
        // Printed to 0.1 LU; the tags carry the exact figure.
        const double loudness = measured["integrated"].get<double>();
        const Tags tags = read_tags(file.string(), c.format);
        if (mutagen) {
            EXPECT_EQ(mutagen_tags(script, file), tags);
        }
        if (c.format == TagFormat::Opus) {
            // Q7.8 to -23 LUFS, on top of the header's output gain.
            ASSERT_EQ(tags.size(), 2u) << testing::PrintToString(tags);
            EXPECT_NEAR(db(tags.at("r128_track_gain")) / 256, -23 - loudness, 0.05);
            EXPECT_NE(tags.at("r128_album_gain"), tags.at("r128_track_gain"));
        } else {
            ASSERT_EQ(tags.size(), 4u) << testing::PrintToString(tags);
            EXPECT_NEAR(db(tags.at("replaygain_track_gain")), -18 - loudness, 0.05);
            EXPECT_NEAR(20 * std::log10(db(tags.at("replaygain_track_peak"))), test::measure_audio(file).peak_db, 0.01);
            EXPECT_NE(tags.at("replaygain_album_gain"), tags.at("replaygain_track_gain"));
            // One album: one gain, and the loudest file's peak (c.ogg's).
            if (album_gain.empty()) album_gain = tags.at("replaygain_album_gain");
            EXPECT_EQ(tags.at("replaygain_album_gain"), album_gain);
            EXPECT_NEAR(20 * std::log10(db(tags.at("replaygain_album_peak"))),
                        test::measure_audio(dir / "c.ogg").peak_db, 0.01);
        }
        const auto after = test::count_packets(file, AVMEDIA_TYPE_AUDIO);
        EXPECT_EQ(after.packets, audio[c.name].packets);
        EXPECT_EQ(after.data_hash, audio[c.name].data_hash);
    }
    EXPECT_NEAR(db(album_gain), records[2]["album_gain_db"].get<double>(), 1e-9);

    std::vector<std::string> remove = {"tag", "--remove", "--json"};
    remove.insert(remove.end(), files.begin(), files.end());
    const auto removed = cli(remove);
    ASSERT_EQ(removed.status, 0) << removed.err;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(read_tags((dir / c.name).string(), c.format), Tags());
        if (mutagen) {
            EXPECT_EQ(mutagen_tags(script, dir / c.name), Tags());
        }
        EXPECT_EQ(test::count_packets(dir / c.name, AVMEDIA_TYPE_AUDIO).data_hash, audio[c.name].data_hash);
    }
    for (const auto& record : test::records(removed)) EXPECT_EQ(record["status"], "removed") << record;
}

// One album per folder; a silent file fails alone (its blocks are none of
// its album's loudness) and a file named twice is tagged once.
TEST_F(CliTagTest, AlbumsPerFolder) {
    fs::create_directories(dir / "x");
    fs::create_directories(dir / "y");
    const struct {
        const char* name;
        double peak_db;
        const char* status;
    } cases[] = {
        {"x/a.flac", -6, "tagged"},
        {"x/b.flac", -12, "tagged"},
        {"y/c.flac", -3, "tagged"},
        {"y/s.flac", -100, "failed"},
    };
    for (const auto& c : cases) make(c.name, c.peak_db);
    const auto run = cli({"tag", "--album-per-folder", "--json", (dir / "x").string(), (dir / "y").string(),
                          (dir / "y/./c.flac").string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("y/./c.flac: the same file as "), std::string::npos) << run.err;
    const auto records = test::records(run);
    ASSERT_EQ(records.size(), std::size(cases)) << run.out;
    std::map<std::string, Tags> tags;
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(records[i]["status"], cases[i].status) << records[i];
        tags[cases[i].name] = read_tags((dir / cases[i].name).string(), TagFormat::Flac);
    }
    EXPECT_EQ(records[3]["error"], "the loudness could not be measured (silence?)");
    EXPECT_EQ(tags["y/s.flac"], Tags());
    EXPECT_EQ(tags["x/a.flac"].at("replaygain_album_gain"), tags["x/b.flac"].at("replaygain_album_gain"));
    EXPECT_EQ(tags["x/a.flac"].at("replaygain_album_peak"), tags["x/b.flac"].at("replaygain_album_peak"));
    EXPECT_NE(tags["x/a.flac"].at("replaygain_album_gain"), tags["y/c.flac"].at("replaygain_album_gain"));
    // c is its album's only sound: the album is c (the pooled blocks are read to 0.1 LU).
    EXPECT_NEAR(db(tags["y/c.flac"].at("replaygain_album_gain")), db(tags["y/c.flac"].at("replaygain_track_gain")),
                0.1);
    EXPECT_EQ(tags["y/c.flac"].at("replaygain_album_peak"), tags["y/c.flac"].at("replaygain_track_peak"));
}

}  // namespace
