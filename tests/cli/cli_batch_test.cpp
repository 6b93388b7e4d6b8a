// sonorix-cli change, normalize and average: the command line, what a dry
// run and --json print, skipped files, a failing normalizer, and a stop by
// signal.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <thread>

#include "cli/cli.h"
#include "cli_run.h"
#include "base/libav.h"
#include "support/media_fixtures.h"
#include "support/temp_dir.h"

using namespace sonorix;
namespace fs = std::filesystem;

namespace {

using test::cli;
using test::CliRun;

class CliBatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::MediaSpec m;
        m.duration_seconds = 1.0;
        m.peak_db = -6.0;
        fs::create_directories(dir / "in");
        fs::create_directories(dir / "out");
        test::make_media(dir / "in" / "a.wav", m);
        m.peak_db = -3.0;
        test::make_media(dir / "in" / "b.flac", m);
    }
    std::string in(const char* name) { return (dir / "in" / name).string(); }
    std::string out_dir() { return (dir / "out").string(); }
    test::TempDir dir{"sonorix-cli-batch"};
};

// Every verb's wrong command lines: status 2, a message that names what is
// wrong, and nothing written.
TEST_F(CliBatchTest, UsageErrors) {
    const std::string o = out_dir(), a = in("a.wav");
    const struct {
        std::vector<std::string> args;
        const char* said;
    } rows[] = {
        {{}, "Usage: sonorix-cli"},
        {{"bogus", a}, "unknown command \"bogus\""},
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"info"}, "FILE is required"},
        {{"info", a, "--json"}, "unknown option '--json'"},
        {{"measure"}, "FILE is required"},
        {{"measure", "--jobs", "0", a}, "--jobs: needs a number of at least 1"},
        {{"measure", "--jobs", "2x", a}, "--jobs: needs a number of at least 1"},
        {{"measure", "--json=1", a}, "sonorix-cli measure: --json takes no value"},
        {{"measure", a, "--jobs"}, "--jobs"},
        {{"measure", "--percent", "5", a}, "unknown option '--percent'"},
        {{"convert", a}, "expected IN OUT"},
        {{"convert", a, o + "/x.wav", "--output-options"}, "--output-options"},
        {{"convert", a, o + "/x.wav", "-o", o}, "unknown option '-o'"},
        {{"change", "-o", o, a}, "--percent is required"},
        {{"change", "--percent", "1001", "-o", o, a}, "--percent: needs a number from 0 to 1000"},
        {{"change", "--percent", "5x", "-o", o, a}, "--percent: needs a number from 0 to 1000"},
        {{"change", "--percent=50", "--output=" + o, "--target", "-16", a}, "unknown option '--target'"},
        {{"normalize", a}, "--output is required"},
        {{"normalize", "-o", (dir / "missing").string(), a}, "does not exist"},
        {{"normalize", "-o", o}, "FILE is required"},
        {{"normalize", "-o", o, "--prefix", "../up", a}, "--prefix: takes at most 20"},
        {{"normalize", "-o", o, "--percent", "100", a}, "unknown option '--percent'"},
        {{"normalize", "-o", o, "--jobs", "0", a}, "--jobs"},
        {{"normalize", "-o", o, "--bogus=1", a}, "unknown option '--bogus'"},
        {{"normalize", "--target", "-16", "-o", o, a}, "unknown option '--target'"},
        {{"average", a}, "--output is required"},
        {{"average", "-o", o, "--ceiling", "-1", a}, "unknown option '--ceiling'"},
        {{"loudness", "-o", o, a}, "--target is required"},
        {{"loudness", "--target", "-41", "-o", o, a}, "--target: needs a loudness from -40 to -5 LUFS"},
        {{"loudness", "--target", "-16", "--ceiling", "1", "-o", o, a}, "--ceiling: needs a true peak from -9 to 0"},
    };
    for (const auto& [args, said] : rows) {
        const CliRun r = cli(args);
        const std::string line = args.empty() ? "" : args[0];
        EXPECT_EQ(r.status, 2) << line << " " << r.err;
        EXPECT_NE(r.err.find(said), std::string::npos) << line << ": " << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
    EXPECT_TRUE(fs::is_empty(dir / "out"));
}

// --help of the program and of each verb prints that usage on stdout, exit 0.
TEST_F(CliBatchTest, HelpOfEveryVerb) {
    for (const char* verb : {"info", "measure", "convert", "change", "normalize", "average", "loudness"}) {
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{verb, "--help"}, {verb, "--jobs", "2", "-h"}}) {
            const CliRun r = cli(args);
            EXPECT_EQ(r.status, 0) << verb << r.err;
            EXPECT_NE(r.out.find(std::string("Usage: sonorix-cli ") + verb + " [OPTIONS] FILE..."), std::string::npos)
                << r.out;
        }
    }
    const CliRun loud = cli({"loudness", "--help"});
    for (const char* option :
         {"--target LUFS", "--ceiling dBTP", "-o,--output DIR", "--prefix P", "--jobs N", "--dry-run", "--json"}) {
        EXPECT_NE(loud.out.find(option), std::string::npos) << option;
    }
    for (const char* help : {"--help", "help"}) {
        const CliRun r = cli({help});
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.out.find("normalize"), std::string::npos) << r.out;
    }
    EXPECT_EQ(cli({"--version"}).out.rfind("sonorix-cli ", 0), 0u);
}

TEST_F(CliBatchTest, DryRunPrintsTargetsAndOptionsAndWritesNothing) {
    const CliRun r = cli({"normalize", "--dry-run", "-o", out_dir(), "--prefix", "loud_", in("a.wav"), in("b.flac")});
    // "--prefix=" is an empty prefix: the file after it stays a file.
    const CliRun empty = cli({"normalize", "--dry-run", "--output=" + out_dir(), "--prefix=", in("a.wav")});
    EXPECT_EQ(empty.out.rfind(in("a.wav") + " -> " + out_dir() + "/a.wav: ", 0), 0u) << empty.err;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, in("a.wav") + " -> " + out_dir() +
                         "/loud_a.wav: -y -c:v copy -b:a 1411200 -rf64 auto -af volume=5.99dB\n" +
                         // A 16-bit FLAC stays 16-bit.
                         in("b.flac") + " -> " + out_dir() +
                         "/loud_b.flac: -y -c:v copy -q:a 0 -sample_fmt:a s16 -af volume=2.99dB\n");
    EXPECT_TRUE(fs::is_empty(dir / "out"));
}

TEST_F(CliBatchTest, JsonRecordsEveryFileAndASkippedOneFailsTheRun) {
    test::write_file(dir / "in" / "bad.mp3", "not media");
    const CliRun r = cli({"change", "--percent", "50", "--json", "-o", out_dir(), in("a.wav"), in("bad.mp3")});
    EXPECT_EQ(r.status, 1);
    const nlohmann::json records = test::records(r);
    ASSERT_EQ(records.size(), 2u) << r.out;
    EXPECT_EQ(records[0], (nlohmann::json{{"source", in("a.wav")},
                                          {"target", out_dir() + "/a.wav"},
                                          {"gain_db", -6.02},
                                          {"status", "completed"},
                                          {"error", nullptr}}));
    EXPECT_EQ(records[1]["target"], nullptr);
    EXPECT_EQ(records[1]["status"], "skipped");
    EXPECT_EQ(records[1]["error"].get<std::string>().rfind("File load error: ", 0), 0u);
    EXPECT_NE(r.err.find(in("bad.mp3") + ": skipped: File load error: "), std::string::npos) << r.err;
    EXPECT_NEAR(test::measure_audio(dir / "out" / "a.wav").peak_db, -12.02, 0.05);
    EXPECT_EQ(cli({"change", "--percent", "100", "--overwrite", "-o", out_dir(), in("a.wav")}).status, 0);
}

// Rows that cannot be written fail alone, files already in the folder are
// kept unless --overwrite, and names that are no UTF-8 still make JSON.
TEST_F(CliBatchTest, ARowFailsAloneAndExistingFilesAreKeptUnasked) {
    const fs::path out = dir / "out";
    const std::string latin1 = in("caf\xe9.wav");
    fs::copy_file(in("a.wav"), latin1);
    const struct {
        const char* name;
        std::vector<std::string> flags;
        std::function<void()> prepare;  // in the empty output folder
        int status;
        std::vector<std::string> said;     // on stderr
        std::vector<std::string> written;  // the audio targets afterwards
    } rows[] = {
        {"a folder as target",
         {"--overwrite"},
         [&] { fs::create_directory(out / "a.wav"); },
         1,
         {in("a.wav") + ": failed: ", "the target is a folder", "1 converted, 0 skipped, 1 failed."},
         {"b.flac"}},
        {"a read-only target",
         {"--overwrite"},
         [&] {
             test::write_file(out / "b.flac", "mine");
             fs::permissions(out / "b.flac", fs::perms::owner_read);
         },
         1,
         {in("b.flac") + ": failed: ", "read-only"},
         {"a.wav"}},
        {"a user's file refused",
         {},
         [&] { test::write_file(out / "a.wav", "mine"); },
         1,
         {"1 target(s) exist already", out.string() + "/a.wav (from " + in("a.wav") + ")"},
         {}},
        {"a user's file replaced when asked",
         {"--overwrite"},
         [&] { test::write_file(out / "a.wav", "mine"); },
         0,
         {"2 converted, 0 skipped, 0 failed."},
         {"a.wav", "b.flac"}},
        {"every row failing",
         {"--overwrite"},
         [&] {
             fs::create_directory(out / "a.wav");
             fs::create_directory(out / "b.flac");
         },
         1,
         {in("a.wav") + ": failed: ", in("b.flac") + ": failed: ", "0 converted, 0 skipped, 2 failed."},
         {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(out);
        fs::create_directories(out);
        row.prepare();
        std::vector<std::string> args = {"change", "--percent", "50", "--json", "-o", out_dir()};
        args.insert(args.end(), row.flags.begin(), row.flags.end());
        args.insert(args.end(), {in("a.wav"), in("b.flac")});
        const CliRun r = cli(args);
        EXPECT_EQ(r.status, row.status) << r.err;
        for (const std::string& text : row.said) EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
        // A run that starts prints a record of every row, failed ones too.
        if (!row.flags.empty()) {
            EXPECT_EQ(test::records(r).size(), 2u) << r.out;
        }
        for (const std::string& name : row.written) {
            EXPECT_NEAR(test::measure_audio(out / name).peak_db - test::measure_audio(in(name.c_str())).peak_db, -6.02,
                        0.1)
                << name;
        }
        if (row.status == 1 && row.written.empty() && row.flags.empty()) {
            EXPECT_EQ(test::read_file(out / "a.wav"), "mine");  // refused before anything ran
            EXPECT_TRUE(r.out.empty());
        }
    }
    fs::remove_all(out);
    fs::create_directories(out);
    const CliRun named = cli({"change", "--percent", "50", "--json", "-o", out_dir(), latin1});
    EXPECT_EQ(named.status, 0) << named.err;
    const nlohmann::json record = test::records(named).at(0);
    EXPECT_EQ(record["source_bytes"], dir.path().string() + "/in/caf\\xe9.wav");
    EXPECT_EQ(record["status"], "completed");
    EXPECT_TRUE(fs::exists(out / "caf\xe9.wav"));
}

// 2000 rows under an open-file limit of 256: every row converts, since only
// the running tasks hold files.
TEST_F(CliBatchTest, ALongListConvertsUnderALowOpenFileLimit) {
    test::MediaSpec m;
    m.duration_seconds = 0.05;
    fs::create_directories(dir / "many");
    test::make_media(dir / "many" / "0.wav", m);
    for (int i = 1; i < 2000; ++i) fs::copy_file(dir / "many" / "0.wav", dir / "many" / (std::to_string(i) + ".wav"));
    const std::string command = "ulimit -n 256 && cd '" + (dir / "many").string() +
                                "' && '" SONORIX_CLI "' change --percent 50 -o '" + out_dir() +
                                "' *.wav >/dev/null 2>'" + (dir / "err.txt").string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << test::read_file(dir / "err.txt");
    size_t written = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir / "out")) ++written;
    EXPECT_EQ(written, 2000u);
    EXPECT_NE(test::read_file(dir / "err.txt").find("2000 converted, 0 skipped, 0 failed."), std::string::npos);
}

// The three phases without the window; a normalizer that fails makes the
// run fail, converts nothing, and leaves no intermediate file.
TEST_F(CliBatchTest, AverageRunsItsPhasesAndAFailingNormalizerFailsTheRun) {
    const fs::path tmp = dir / "tmp";
    fs::create_directories(tmp);
    ::setenv("TMPDIR", tmp.c_str(), 1);
    ::setenv("SONORIX_NORMALIZER", SONORIX_NORMALIZE, 1);
    const CliRun dry = cli({"average", "--dry-run", "-o", out_dir(), in("a.wav")});
    EXPECT_EQ(dry.out, in("a.wav") + " -> " + out_dir() +
                           "/a.wav: -y -map 1:a:0 -map_metadata:s:0 0:s:0 -c:v copy -b:a 1411200 -rf64 auto\n");
    const CliRun r = cli({"average", "--json", "-o", out_dir(), in("a.wav"), in("b.flac")});
    EXPECT_EQ(r.status, 0) << r.err;
    for (const auto& record : test::records(r)) {
        EXPECT_EQ(record["status"], "completed");
        EXPECT_TRUE(record["gain_db"].is_number()) << record;  // the normalizer named both
    }
    EXPECT_NEAR(test::measure_audio(dir / "out" / "a.wav").rms_db, test::measure_audio(dir / "out" / "b.flac").rms_db,
                0.5);
    EXPECT_TRUE(fs::is_empty(tmp));
    // A 24-bit source keeps its precision through the intermediate file.
    test::MediaSpec deep;
    deep.audio_codec = "pcm_s24le";
    test::make_media(dir / "in" / "deep.wav", deep);
    const fs::path kept = dir / "kept";
    fs::create_directories(kept);
    EXPECT_EQ(cli({"average", "-o", kept.string(), in("deep.wav"), in("a.wav")}).status, 0);
    EXPECT_NE(cli({"info", (kept / "deep.wav").string()}).out.find("pcm_s24le"), std::string::npos);

    const fs::path failing = dir / "failing.sh";
    test::write_file(failing, "#!/bin/sh\necho 'cannot read' >&2\nexit 3\n");
    fs::permissions(failing, fs::perms::owner_all);
    ::setenv("SONORIX_NORMALIZER", failing.c_str(), 1);
    const fs::path none = dir / "none";
    fs::create_directories(none);
    const CliRun bad = cli({"average", "-o", none.string(), in("a.wav")});
    ::unsetenv("SONORIX_NORMALIZER");
    ::unsetenv("TMPDIR");
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(
        bad.err.find("The normalizer " + failing.string() + " exited with status 3.\n\nIts last output:\ncannot read"),
        std::string::npos)
        << bad.err;
    EXPECT_TRUE(fs::is_empty(none));
    EXPECT_TRUE(fs::is_empty(tmp));
}

// Each stream as the muxer stored it: type, flags, language, title, and the
// audio's channels and tags; in file order.
struct StreamSeen {
    AVMediaType type;
    int disposition;
    std::string language, title, artist;
    int channels;
    bool operator==(const StreamSeen&) const = default;
};
std::vector<StreamSeen> streams_of(const fs::path& file) {
    std::vector<StreamSeen> seen;
    AVFormatContext* ctx = nullptr;
    if (avformat_open_input(&ctx, file.c_str(), nullptr, nullptr) < 0) return seen;
    auto tag = [](const AVStream* st, const char* key) {
        const AVDictionaryEntry* e = av_dict_get(st->metadata, key, nullptr, 0);
        return std::string(e ? e->value : "");
    };
    auto title = [&](const AVStream* st) {
        const std::string t = tag(st, "title");
        return t.empty() ? tag(st, "handler_name") : t;  // the MP4 family's name of a track
    };
    if (avformat_find_stream_info(ctx, nullptr) >= 0) {
        for (unsigned i = 0; i < ctx->nb_streams; ++i) {
            const AVStream* st = ctx->streams[i];
            seen.push_back({st->codecpar->codec_type, st->disposition, tag(st, "language"), title(st),
                            tag(st, "artist"), st->codecpar->ch_layout.nb_channels});
        }
    }
    avformat_close_input(&ctx);
    return seen;
}

// Films with a loud stereo and a quiet 5.1 track, either first, an Ogg with
// its comments, a float WAV above full scale: every audio track keeps its
// place, flags, language and title and reaches the level of a one-track
// file of its kind; the float one is brought down, not clipped.
TEST_F(CliBatchTest, AverageKeepsEveryTrackInItsPlaceAtItsOwnLevel) {
    const fs::path tmp = dir / "tmp";
    fs::create_directories(tmp);
    ::setenv("TMPDIR", tmp.c_str(), 1);
    ::setenv("SONORIX_NORMALIZER", SONORIX_NORMALIZE, 1);
    struct Film {
        const char* name;
        std::vector<int> channels;
        std::vector<double> peaks;
    };
    const std::vector<Film> films = {{"stereo-first.mkv", {2, 6}, {-1, -20}},
                                     {"surround-first.mkv", {6, 2}, {-20, -1}},
                                     {"stereo-first.mp4", {2, 6}, {-1, -20}},
                                     {"surround-first.mp4", {6, 2}, {-20, -1}}};
    std::vector<std::string> args = {"average", "-o", out_dir()};
    for (const Film& f : films) {
        test::MediaSpec m;
        m.video = true;
        m.audio_channels = f.channels;
        m.audio_peaks_db = f.peaks;
        m.audio_dispositions = {0, AV_DISPOSITION_DEFAULT};
        m.audio_languages = {"eng", "ger"};
        m.audio_titles = {"First", "Second"};
        args.push_back(test::make_media(dir / "in" / f.name, m).string());
    }
    // One-track files of each kind at a middle level: the level each track must reach.
    for (const char* ref : {"ref2.mkv", "ref6.mkv", "ref2.mp4", "ref6.mp4", "ref2.wav"}) {
        test::MediaSpec m;
        m.peak_db = -10;
        m.audio_channels = {std::string(ref).find('6') != std::string::npos ? 6 : 2};
        args.push_back(test::make_media(dir / "in" / ref, m).string());
    }
    test::MediaSpec ogg;
    ogg.tags = {{"title", "Song"}, {"artist", "Band"}};
    args.push_back(test::make_media(dir / "in" / "song.ogg", ogg).string());
    test::MediaSpec hot;
    hot.audio_codec = "pcm_f32le";
    hot.peak_db = 3;
    args.push_back(test::make_media(dir / "in" / "hot.wav", hot).string());

    const CliRun r = cli(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_empty(tmp));
    auto rms = [&](const char* name, int track = 0) { return test::measure_audio(dir / "out" / name, track).rms_db; };
    for (const Film& f : films) {
        const std::vector<StreamSeen> source = streams_of(dir / "in" / f.name),
                                      target = streams_of(dir / "out" / f.name);
        EXPECT_EQ(target, source) << f.name;
        ASSERT_EQ(source.size(), 3u);
        EXPECT_EQ(source[1].title, "First") << f.name;
        const std::string kind = fs::path(f.name).extension().string();
        for (int k = 0; k < 2; ++k) {
            const std::string ref = (f.channels[k] == 2 ? "ref2" : "ref6") + kind;
            EXPECT_NEAR(rms(f.name, k), rms(ref.c_str()), 0.5) << f.name << " track " << k;
        }
    }
    const std::vector<StreamSeen> song = streams_of(dir / "out" / "song.ogg");
    ASSERT_EQ(song.size(), 1u);
    EXPECT_EQ(song[0].title + "/" + song[0].artist, "Song/Band");
    // A clipped tone loses its crest: a sine's peak is 3 dB above its mean.
    const test::MeasuredAudio cooled = test::measure_audio(dir / "out" / "hot.wav");
    EXPECT_GT(cooled.peak_db - cooled.rms_db, 2.9);
    EXPECT_NEAR(cooled.rms_db, rms("ref2.wav"), 0.5);
    EXPECT_LT(cooled.peak_db, 0);
    ::unsetenv("SONORIX_NORMALIZER");
    ::unsetenv("TMPDIR");
}

// The first two cases of EBU Tech 3341 read as their known loudness; a run
// brings files to the target with one gain, a ceiling below reach keeps
// the true peak and says how far the file stays below; a lossy target whose
// decoded peak passes full scale is converted once more, a lossless one not.
TEST_F(CliBatchTest, LoudnessMeasuresTheReferenceTonesAndKeepsThePeaksSafe) {
    test::MediaSpec m;
    m.duration_seconds = 10;
    m.tone_hz = 1000;
    m.peak_db = -23;
    test::make_media(dir / "in" / "case1.wav", m);
    m.peak_db = -33;
    test::make_media(dir / "in" / "case2.wav", m);
    const CliRun measured = cli({"measure", "--loudness", in("case1.wav"), in("case2.wav")});
    EXPECT_NE(measured.out.find("integrated: -23.0 LUFS  range: 0.0 LU  true_peak: -23.0 dBTP"), std::string::npos)
        << measured.out;
    EXPECT_NE(measured.out.find("integrated: -33.0 LUFS"), std::string::npos) << measured.out;

    const CliRun run = cli({"loudness", "--target", "-16", "-o", out_dir(), in("case1.wav"), in("b.flac")});
    EXPECT_EQ(run.status, 0) << run.err;
    const CliRun after = cli({"measure", "--loudness", (dir / "out" / "case1.wav").string()});
    EXPECT_NE(after.out.find("integrated: -16.0 LUFS"), std::string::npos) << after.out;

    const fs::path low = dir / "low";
    fs::create_directories(low);
    const CliRun limited =
        cli({"loudness", "--json", "--target", "-5", "--ceiling", "-6", "-o", low.string(), in("case1.wav")});
    const nlohmann::json limited_record = test::records(limited).at(0);
    // The exact true peak, not one rounded to 0.1 dB: within its rounding.
    EXPECT_NEAR(limited_record["gain_db"].get<double>(), 17.0, 0.05) << limited.out;
    EXPECT_NEAR(limited_record["below_target_db"].get<double>(), 1.0, 0.05) << limited.out;
    EXPECT_NEAR(test::measure_audio(low / "case1.wav").peak_db, -6.0, 0.1);

    m.duration_seconds = 3;
    m.tone_hz = 441;
    m.peak_db = -0.5;
    test::make_media(dir / "in" / "loud.mp3", m);
    const fs::path full = dir / "full";
    fs::create_directories(full);
    const CliRun twice = cli({"normalize", "--json", "-o", full.string(), in("loud.mp3"), in("b.flac")});
    const nlohmann::json records = test::records(twice);
    ASSERT_EQ(records.size(), 2u) << twice.out;
    // The MP3 may take a second pass; the FLAC never does.
    EXPECT_EQ(records[1]["second_pass"], false) << twice.out;
    EXPECT_LE(test::measure_audio(full / "loud.mp3").peak_db, 0.0);
}

// Ctrl-C while the conversions run: status 130 and no partial file. The run
// is a forked child with a watchdog, so a hang fails instead of stopping ctest.
TEST_F(CliBatchTest, AStopBySignalEndsWith130AndLeavesNoPartialFile) {
    test::MediaSpec m;
    m.duration_seconds = 240;
    test::make_media(dir / "in" / "long.flac", m);
    const std::vector<std::string> args = {"change",  "--percent",     "50",           "--jobs", "1", "-o",
                                           out_dir(), in("long.flac"), in("long.flac")};
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(60);
        std::ostringstream out, err;
        _exit(cli::run(args, out, err));
    }
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    // The temporary output exists from the set-up on; it grows once the task runs.
    auto writing = [&] {
        for (const auto& e : fs::directory_iterator(dir / "out")) {
            std::error_code ec;
            if (fs::file_size(e.path(), ec) > 65536) return true;
        }
        return false;
    };
    while (!writing() && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(child, SIGINT);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 130);
    EXPECT_TRUE(fs::is_empty(dir / "out"));
}

}  // namespace
