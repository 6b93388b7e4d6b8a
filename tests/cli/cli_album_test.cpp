// sonorix-cli's album mode, --skip-within, folders and measure --csv.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <map>

#include "cli_run.h"
#include "support/media_fixtures.h"
#include "support/temp_dir.h"

using namespace sonorix;
namespace fs = std::filesystem;

namespace {

using test::cli;

class CliAlbumTest : public ::testing::Test {
protected:
    fs::path make(const std::string& name, double peak_db, double seconds = 1.0, double tone_hz = 441.0) {
        test::MediaSpec m;
        m.peak_db = peak_db;
        m.duration_seconds = seconds;
        m.tone_hz = tone_hz;
        fs::create_directories((dir / name).parent_path());
        return test::make_media(dir / name, m);
    }
    double peak(const std::string& name) { return test::measure_audio(dir / name).peak_db; }
    test::TempDir dir{"sonorix-cli-album"};
};

// One gain per group: the level differences between files stay as they were
// (lossless targets), and the group's loudest track reaches its limit.
TEST_F(CliAlbumTest, AlbumGainsKeepTheDifferencesBetweenFiles) {
    const struct {
        std::vector<std::string> args;
        // Each group's files, and the peak the group's loudest file gets.
        std::vector<std::vector<std::string>> groups;
        double top_db;
    } cases[] = {
        {{"normalize", "--album"}, {{"in/x/a.wav", "in/x/b.flac", "in/y/c.wav"}}, -0.01},
        {{"normalize", "--album-per-folder"}, {{"in/x/a.wav", "in/x/b.flac"}, {"in/y/c.wav"}}, -0.01},
        // The ceiling holds the whole list down: c's true peak reaches it.
        {{"loudness", "--album", "--target", "-5", "--ceiling", "-2"},
         {{"in/x/a.wav", "in/x/b.flac", "in/y/c.wav"}},
         -2.0},
    };
    const std::map<std::string, double> source = {{"in/x/a.wav", -6}, {"in/x/b.flac", -15}, {"in/y/c.wav", -9}};
    for (const auto& [name, db] : source) make(name, db);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        fs::remove_all(dir / "out");
        fs::create_directories(dir / "out");
        std::vector<std::string> args = c.args;
        for (const char* f : {"in/x/a.wav", "in/x/b.flac", "in/y/c.wav"}) args.push_back((dir / f).string());
        args.insert(args.end(), {"-o", (dir / "out").string(), "--json"});
        const auto r = cli(args);
        ASSERT_EQ(r.status, 0) << r.err;
        for (const auto& record : test::records(r)) EXPECT_TRUE(record.contains("album")) << record;
        for (const auto& group : c.groups) {
            double top = -100;
            auto out_of = [](const std::string& name) { return "out/" + fs::path(name).filename().string(); };
            for (const auto& name : group) {
                const std::string out = out_of(name);
                EXPECT_NEAR(peak(out) - peak(out_of(group[0])), source.at(name) - source.at(group[0]), 0.05) << name;
                top = std::max(top, peak(out));
            }
            EXPECT_NEAR(top, c.top_db, 0.1);
        }
    }
}

// The album's loudness pools the files' gated blocks: it is the loudness of
// the files played one after the other (sox joins them, an independent tool).
TEST_F(CliAlbumTest, AlbumLoudnessIsTheLoudnessOfTheFilesJoined) {
    make("a.wav", -6, 10, 441);
    make("b.wav", -16, 8, 1000);
    fs::create_directories(dir / "out");
    const std::string joined = (dir / "joined.wav").string();
    ASSERT_EQ(
        std::system(
            ("sox '" + (dir / "a.wav").string() + "' '" + (dir / "b.wav").string() + "' '" + joined + "'").c_str()),
        0);
    const auto whole = cli({"measure", "--loudness", "--json", joined});
    ASSERT_EQ(whole.status, 0) << whole.err;
    const double expected = test::records(whole)[0]["integrated"];
    const auto album = cli({"loudness", "--album", "--target", "-23", "--dry-run", "--json", "-o",
                            (dir / "out").string(), (dir / "a.wav").string(), (dir / "b.wav").string()});
    ASSERT_EQ(album.status, 0) << album.err;
    for (const auto& record : test::records(album)) {
        EXPECT_NEAR(record["album_loudness"].get<double>(), expected, 0.1) << record;
        EXPECT_NEAR(record["gain_db"].get<double>(), -23 - record["album_loudness"].get<double>(), 0.01);
    }
}

// Folders give their media files only, sorted by path in bytes; -r enters
// sub-folders; files already right are skipped with their figure and are no
// failure.
TEST_F(CliAlbumTest, FoldersAndSkipRules) {
    make("lib/b.wav", -6);
    make("lib/Z.WAV", -0.05);
    make("lib/a.flac", -9);
    make("lib/sub/c.wav", -3);
    test::write_file(dir / "lib/notes.txt", "x");
    test::write_file(dir / "lib/x.wa", "x");
    fs::create_directories(dir / "empty/inner");
    fs::create_directories(dir / "out");
    const std::string lib = (dir / "lib").string(), out = (dir / "out").string();
    const struct {
        std::vector<std::string> args;
        int status;
        std::vector<std::string> files;     // the records' order
        std::vector<std::string> statuses;  // list runs: each record's status
        std::string said;
    } cases[] = {
        {{"measure", "--json", lib}, 0, {"lib/Z.WAV", "lib/a.flac", "lib/b.wav"}, {}, ""},
        {{"measure", "--json", "-r", lib}, 0, {"lib/Z.WAV", "lib/a.flac", "lib/b.wav", "lib/sub/c.wav"}, {}, ""},
        {{"measure", "--json", (dir / "empty").string()}, 1, {}, {}, "no media files"},
        {{"normalize", "--dry-run", "--json", "-o", out, "--skip-within", "0.1", lib},
         0,
         {"lib/Z.WAV", "lib/a.flac", "lib/b.wav"},
         {"skipped", "planned", "planned"},
         "is within 0.10 dB"},
        // Within 3.5 dB: c (3 dB) is left, b (6 dB) is not.
        {{"normalize", "--dry-run", "--json", "-r", "-o", out, "--skip-within", "3.5", lib},
         0,
         {"lib/Z.WAV", "lib/a.flac", "lib/b.wav", "lib/sub/c.wav"},
         {"skipped", "planned", "planned", "skipped"},
         "dB is within 3.50 dB"},
        {{"loudness", "--target", "-16", "--dry-run", "-o", out, "--skip-within", "-1", lib},
         2,
         {},
         {},
         "--skip-within"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args.back());
        const auto r = cli(c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
        if (c.files.empty()) continue;
        const auto records = test::records(r);
        ASSERT_EQ(records.size(), c.files.size()) << r.out;
        for (size_t i = 0; i < c.files.size(); ++i) {
            EXPECT_EQ(records[i].value("file", records[i].value("source", "")), (dir / c.files[i]).string());
            if (!c.statuses.empty()) {
                EXPECT_EQ(records[i]["status"], c.statuses[i]);
            }
        }
    }
}

// A minimal RFC 4180 reader: CRLF rows, quoted fields with doubled quotes.
std::vector<std::vector<std::string>> parse_csv(const std::string& text) {
    std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"')
                rows.back().back() += text[++i];
            else if (c == '"')
                quoted = false;
            else
                rows.back().back() += c;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            rows.back().emplace_back();
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            ++i;
            rows.emplace_back(1);
        } else {
            rows.back().back() += c;
        }
    }
    if (rows.back().size() == 1 && rows.back()[0].empty()) rows.pop_back();
    return rows;
}

// measure --csv: one row per track, awkward names quoted, the figures of
// measure --json, with "." in any locale.
TEST_F(CliAlbumTest, CsvReadsBackAsTheJsonFigures) {
    test::MediaSpec m;
    m.audio_channels = {2, 1};
    m.audio_peaks_db = {-6, -12};
    const fs::path film = test::make_media(dir / "a, \"film\".mkv", m);
    const fs::path song = make("song.wav", -3);
    // A comma locale where one is installed: the figures keep their ".".
    const std::string before = std::setlocale(LC_NUMERIC, nullptr);
    std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
    const auto csv = cli({"measure", "--csv", film.string(), song.string()});
    std::setlocale(LC_NUMERIC, before.c_str());
    const auto json = cli({"measure", "--loudness", "--json", film.string(), song.string()});
    ASSERT_EQ(csv.status, 0) << csv.err;
    const auto rows = parse_csv(csv.out);
    ASSERT_EQ(rows.size(), 4u) << csv.out;
    EXPECT_EQ(rows[0], (std::vector<std::string>{"file", "track", "main", "max_volume", "mean_volume", "integrated",
                                                 "range", "true_peak"}));
    size_t row = 1;
    for (const auto& record : test::records(json)) {
        for (const auto& track : record["tracks"]) {
            ASSERT_EQ(rows[row].size(), 8u);
            EXPECT_EQ(rows[row][0], record["file"]);
            EXPECT_EQ(rows[row][1], std::to_string(track["index"].get<int>()));
            EXPECT_EQ(rows[row][2], track["main"].get<bool>() ? "true" : "false");
            const char* keys[] = {"max_volume", "mean_volume", "integrated", "range", "true_peak"};
            for (size_t k = 0; k < 5; ++k)
                EXPECT_NEAR(std::stod(rows[row][3 + k]), track[keys[k]].get<double>(), 0.001);
            ++row;
        }
    }
    EXPECT_NEAR(std::stod(rows[2][3]), -12, 0.1);
}

}  // namespace
