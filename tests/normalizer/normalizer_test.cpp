#include "normalizer/wav_level.h"

#include <ebur128.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "support/child_process.h"
#include "support/temp_dir.h"

using namespace sonorix;
namespace fs = std::filesystem;

namespace {

struct Signal {
    int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    double amplitude = 0.5;  // of the sine; 1 is full scale
    double hz = 440;
    int channels = 2;
    int rate = 44100;
    double seconds = 2;
    double click = 0;  // a one-sample spike of this height every 100 ms
};

fs::path write_wav(const fs::path& file, const Signal& s) {
    SF_INFO info{};
    info.samplerate = s.rate;
    info.channels = s.channels;
    info.format = s.format;
    SNDFILE* out = sf_open(file.c_str(), SFM_WRITE, &info);
    EXPECT_TRUE(out) << sf_strerror(nullptr);
    if (!out) return file;
    if (s.channels == 6) {
        int map[] = {SF_CHANNEL_MAP_FRONT_LEFT, SF_CHANNEL_MAP_FRONT_RIGHT, SF_CHANNEL_MAP_FRONT_CENTER,
                     SF_CHANNEL_MAP_LFE,        SF_CHANNEL_MAP_REAR_LEFT,   SF_CHANNEL_MAP_REAR_RIGHT};
        sf_command(out, SFC_SET_CHANNEL_MAP_INFO, map, sizeof map);
    }
    sf_set_string(out, SF_STR_TITLE, "kept");
    const auto frames = static_cast<sf_count_t>(s.seconds * s.rate);
    std::vector<double> data(static_cast<size_t>(frames * s.channels));
    for (sf_count_t i = 0; i < frames; ++i) {
        const double v =
            i % (s.rate / 10) == 0 && s.click ? s.click : s.amplitude * std::sin(2 * M_PI * s.hz * i / s.rate);
        for (int c = 0; c < s.channels; ++c) data[static_cast<size_t>(i * s.channels + c)] = v;
    }
    EXPECT_EQ(sf_writef_double(out, data.data(), frames), frames);
    sf_close(out);
    return file;
}

// Measured here with the libraries directly, not with the program's code.
struct Level {
    double loudness = 0;  // LUFS
    double rms_db = 0;
    double peak = 0;
    SF_INFO info{};
    std::vector<int> channel_map;
    std::string title;
};

Level level_of(const fs::path& file) {
    Level level;
    SNDFILE* in = sf_open(file.c_str(), SFM_READ, &level.info);
    if (!in) {
        ADD_FAILURE() << file << ": " << sf_strerror(nullptr);
        return level;
    }
    const unsigned channels = static_cast<unsigned>(level.info.channels);
    ebur128_state* meter = ebur128_init(channels, static_cast<unsigned long>(level.info.samplerate),
                                        EBUR128_MODE_I | EBUR128_MODE_SAMPLE_PEAK);
    if (channels == 1) ebur128_set_channel(meter, 0, EBUR128_DUAL_MONO);  // heard on both speakers
    std::vector<float> block(4096 * channels);
    double power = 0;
    for (sf_count_t n; (n = sf_readf_float(in, block.data(), 4096)) > 0;) {
        ebur128_add_frames_float(meter, block.data(), static_cast<size_t>(n));
        for (sf_count_t i = 0; i < n * channels; ++i) power += double(block[i]) * block[i];
    }
    ebur128_loudness_global(meter, &level.loudness);
    for (unsigned c = 0; c < channels; ++c) {
        double p = 0;
        ebur128_sample_peak(meter, c, &p);
        level.peak = std::max(level.peak, p);
    }
    level.rms_db = 10 * std::log10(power / double(level.info.frames * channels));
    level.channel_map.resize(channels);
    if (!sf_command(in, SFC_GET_CHANNEL_MAP_INFO, level.channel_map.data(), int(channels * sizeof(int)))) {
        level.channel_map.clear();
    }
    if (const char* title = sf_get_string(in, SF_STR_TITLE)) level.title = title;
    ebur128_destroy(&meter);
    sf_close(in);
    return level;
}

size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Each file has exactly one marker line, "Applying adjustment of +6.00dB to
// FILE..." or "FILE already normalized, not adjusting..."; no other marker.
void expect_one_marker_each(const std::string& out, const std::vector<fs::path>& files) {
    const std::string adjusted = "Applying adjustment of ", kept = " already normalized, not adjusting...";
    std::istringstream lines(out);
    std::vector<std::string> named;
    for (std::string line; std::getline(lines, line);) {
        if (line.ends_with(kept)) {
            named.push_back(line.substr(0, line.size() - kept.size()));
        } else if (line.starts_with(adjusted)) {
            const size_t to = line.find("dB to ");
            ASSERT_NE(to, std::string::npos) << line;
            const std::string gain = line.substr(adjusted.size(), to - adjusted.size());
            EXPECT_TRUE(gain.size() >= 5 && (gain[0] == '+' || gain[0] == '-') && gain[gain.size() - 3] == '.' &&
                        gain.find_first_not_of("0123456789.", 1) == std::string::npos)
                << line;
            EXPECT_TRUE(line.ends_with("...")) << line;
            named.push_back(line.substr(to + 6, line.size() - to - 9));
        }
    }
    EXPECT_EQ(named.size(), files.size()) << out;
    for (const fs::path& f : files)
        EXPECT_EQ(std::count(named.begin(), named.end(), f.string()), 1) << f << "\n" << out;
}

class Normalizer : public ::testing::Test {
protected:
    fs::path wav(const std::string& name, const Signal& s) { return write_wav(dir_ / name, s); }
    int run(const std::vector<std::string>& args) {
        out_.str("");
        err_.str("");
        return normalizer::run(args, out_, err_);
    }
    // Temporary files of the program left in the folder.
    long leftovers() const {
        return std::count_if(fs::directory_iterator(dir_.path()), {},
                             [](const fs::directory_entry& e) { return e.path().string().ends_with(".normalizing"); });
    }
    test::TempDir dir_{"sonorix-normalizer"};
    std::ostringstream out_, err_;
    const fs::path err_file_ = dir_ / "err.txt";
    // The fault library goes before the sanitizer's runtime.
    const std::vector<std::string> fault_env_ = {std::string("LD_PRELOAD=") + SONORIX_IO_FAULT,
                                                 "ASAN_OPTIONS=verify_asan_link_order=0",
                                                 "SONORIX_FAULT_SUFFIX=.normalizing"};
};

// Three files far apart (different pitches, so loudness and power differ)
// meet at one level by either measure; a second name of one file does not
// count it twice.
TEST_F(Normalizer, MixModeBringsEveryFileToOneLevel) {
    const struct {
        const char* option;
        double Level::*measure;
    } rows[] = {{"", &Level::loudness}, {"--rms", &Level::rms_db}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.option);
        const std::vector<fs::path> files = {wav("a.wav", {.amplitude = 0.5, .hz = 100}),
                                             wav("b.wav", {.amplitude = 0.1, .hz = 1000}),
                                             wav("c.wav", {.amplitude = 0.02, .hz = 4000})};
        fs::remove(dir_ / "again.wav");
        fs::create_symlink(files[0], dir_ / "again.wav");
        std::vector<std::string> args = {"-m", files[0], files[1], files[2], dir_ / "again.wav"};
        if (*row.option) args.push_back(row.option);
        ASSERT_EQ(run(args), 0) << err_.str();
        double low = 1e9, high = -1e9;
        for (const fs::path& f : files) {
            low = std::min(low, level_of(f).*row.measure);
            high = std::max(high, level_of(f).*row.measure);
        }
        EXPECT_LT(high - low, 0.1) << out_.str();
        expect_one_marker_each(out_.str(), files);
        EXPECT_EQ(count_of(out_.str(), "limited"), 0u);
    }
}

// A gain the peak does not allow is lowered so the peak stays below full
// scale, and the output says so. The float file peaks above full scale and
// is lowered although it is the quietest.
// Every name is a file's name: "song[1].wav" is never read as a pattern for
// "song1.wav", and after "--" a name starting with '-' is a file.
TEST_F(Normalizer, FileNamesAreTakenLiterally) {
    const fs::path bracket = wav("song[1].wav", {.amplitude = 0.1}), dash = wav("-x.wav", {.amplitude = 0.4});
    const fs::path bystander = wav("song1.wav", {.amplitude = 0.1});
    const std::string bracket_before = test::read_file(bracket), untouched = test::read_file(bystander);
    const fs::path before = fs::current_path();
    fs::current_path(dir_.path());
    const int status = run({"-m", "--", bracket.string(), "-x.wav"});
    fs::current_path(before);
    EXPECT_EQ(status, 0) << err_.str();
    EXPECT_NE(test::read_file(bracket), bracket_before);
    EXPECT_EQ(test::read_file(bystander), untouched);
    EXPECT_EQ(count_of(out_.str(), "Applying adjustment"), 2u) << out_.str() << err_.str();
    EXPECT_TRUE(fs::exists(dash));
}

TEST_F(Normalizer, GainsNeverMakeAFileClip) {
    const struct {
        const char* name;
        Signal signal;
    } rows[] = {
        {"clicks.wav", {.amplitude = 0.01, .click = 0.9}},
        {"hot-float.wav", {.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT, .amplitude = 0.01, .click = 2.0}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const fs::path loud = wav("loud.wav", {.amplitude = 0.7});
        const fs::path f = wav(row.name, row.signal);
        const Level before = level_of(f);
        ASSERT_EQ(run({"-m", loud, f}), 0) << err_.str();
        const Level after = level_of(f);
        EXPECT_LE(after.peak, 1.0);
        EXPECT_GT(after.peak, 0.98) << "the room below full scale is used";
        EXPECT_NEAR(after.loudness - before.loudness, 20 * std::log10(after.peak / before.peak), 0.01);
        EXPECT_NE(out_.str().find(f.string() + ": gain limited to "), std::string::npos) << out_.str();
        EXPECT_EQ(count_of(out_.str(), "limited"), 1u) << out_.str();
        expect_one_marker_each(out_.str(), {loud, f});
    }
}

// The rewritten file keeps container, sample type, channels, rate, length,
// channel map and tags.
TEST_F(Normalizer, RewrittenFilesKeepTheirFormat) {
    const Signal rows[] = {
        {.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24, .rate = 48000},
        {.format = SF_FORMAT_WAV | SF_FORMAT_PCM_32},
        {.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16 | SF_ENDIAN_BIG},  // RIFX: not in the machine's byte order
        {.format = SF_FORMAT_WAV | SF_FORMAT_DOUBLE},
        {.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT, .channels = 1, .rate = 22050},
        {.format = SF_FORMAT_WAV | SF_FORMAT_PCM_U8},
        {.format = SF_FORMAT_RF64 | SF_FORMAT_PCM_16},
        {.format = SF_FORMAT_RF64 | SF_FORMAT_PCM_24},
        {.format = SF_FORMAT_WAVEX | SF_FORMAT_PCM_24, .channels = 6, .rate = 48000},
        // Each count weighs its channels its own way (libebur128's order).
        {.format = SF_FORMAT_WAVEX | SF_FORMAT_PCM_16, .channels = 4},
        {.format = SF_FORMAT_WAVEX | SF_FORMAT_FLOAT, .channels = 5},
        {.format = SF_FORMAT_WAVEX | SF_FORMAT_PCM_16, .channels = 8, .rate = 96000},
    };
    std::vector<std::string> args = {"-a", "-20"};
    std::vector<fs::path> files;
    std::vector<Level> before;
    for (const Signal& s : rows) {
        files.push_back(wav(std::to_string(files.size()) + ".wav", s));
        before.push_back(level_of(files.back()));
    }
    args.insert(args.end(), files.begin(), files.end());
    ASSERT_EQ(run(args), 0) << err_.str();
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(i);
        const Level after = level_of(files[i]);
        EXPECT_EQ(after.info.format, rows[i].format);
        EXPECT_EQ(after.info.channels, rows[i].channels);
        EXPECT_EQ(after.info.samplerate, rows[i].rate);
        EXPECT_EQ(after.info.frames, before[i].info.frames);
        EXPECT_EQ(after.channel_map, before[i].channel_map);
        EXPECT_EQ(after.title, "kept");
        EXPECT_NEAR(after.loudness, -20, (rows[i].format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_U8 ? 0.2 : 0.05);
    }
}

// Anything wrong in the arguments or in one file stops the run before any
// file is changed, with the reason and the file's name.
TEST_F(Normalizer, AnyUnreadableFileFailsTheRunWithNoFileChanged) {
    const fs::path good = wav("good.wav", {.amplitude = 0.5});
    const fs::path quiet = wav("quiet.wav", {.amplitude = 0.05});
    const fs::path text = dir_ / "notes.wav", flac = dir_ / "flac.wav", folder = dir_ / "folder.wav";
    test::write_file(text, "RIFF....WAVEnot really");
    wav("flac.wav", {.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16});
    fs::create_directory(folder);
    // A RIFF file past 4 GB (sparse here), whose header cannot hold its size.
    const fs::path huge = wav("huge.wav", {.seconds = 0.5});
    fs::resize_file(huge, (uintmax_t{1} << 32) + 4096);
    const std::string originals = test::read_file(good) + test::read_file(quiet);
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> reasons;
    } rows[] = {
        {{"-m", good, text, quiet, flac, folder, huge, dir_ / "missing.wav"},
         {text.string() + ": ", flac.string() + ": not a WAV file", folder.string() + ": not a regular file",
          huge.string() + ": larger than a WAV header", (dir_ / "missing.wav").string() + ": No such file",
          "no file was changed"}},
        {{"-m", (dir_ / "*.wav").string()}, {"*.wav: No such file"}},  // a name, never a pattern
        {{"-m", good, (dir_ / "none*.wav").string()}, {"none*.wav: No such file"}},
        {{"-m"}, {"no files given"}},
        {{"-x", good, quiet}, {"unknown option -x"}},
        {{"-a", "loud", good}, {"-a needs a level"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args.back());
        EXPECT_EQ(run(row.args), 1);
        for (const std::string& reason : row.reasons)
            EXPECT_NE(err_.str().find(reason), std::string::npos) << err_.str();
        EXPECT_EQ(count_of(out_.str() + err_.str(), "adjust"), 0u) << "no marker for a run that changes nothing";
        EXPECT_TRUE(test::read_file(good) + test::read_file(quiet) == originals);
    }
}

// The rewrite fails at the disk: in the middle of the samples, at the very
// last byte, at the sync, at the close. Each time the original stays byte for
// byte, no temporary file is left, and the exit status says it failed.
TEST_F(Normalizer, AFailedWriteKeepsTheOriginal) {
    const fs::path f = wav("disk.wav", {.amplitude = 0.1, .seconds = 1});
    const std::string original = test::read_file(f);
    // The size of the rewritten file, for a limit one byte short of it.
    const fs::path copy = dir_ / "copy.wav";
    fs::copy_file(f, copy);
    ASSERT_EQ(test::wait_program(test::start_program(SONORIX_NORMALIZE, {"-a", "-6", copy}, err_file_)), 0);
    const rlim_t rewritten_size = fs::file_size(copy);
    fs::remove(copy);

    auto faulty = [&](const char* call) {
        std::vector<std::string> env = fault_env_;
        env.push_back(std::string("SONORIX_FAULT_CALL=") + call);
        return env;
    };
    const struct {
        const char* fault;
        rlim_t size_limit;  // 0: none
        std::vector<std::string> env;
    } rows[] = {
        {"a write in the middle", 16384, {}},
        {"the last write", rewritten_size - 1, {}},
        {"fsync", 0, faulty("fsync")},
        {"close", 0, faulty("close")},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fault);
        const rlimit limit{row.size_limit, row.size_limit};
        const pid_t child = test::start_program(SONORIX_NORMALIZE, {"-a", "-6", f.string()}, err_file_, row.env, [&] {
            if (!limit.rlim_cur) return;
            signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead
            setrlimit(RLIMIT_FSIZE, &limit);
        });
        EXPECT_EQ(test::wait_program(child), 1) << test::read_file(err_file_);
        EXPECT_NE(test::read_file(err_file_).find(f.string() + ": cannot write the adjusted file: "), std::string::npos)
            << test::read_file(err_file_);
        EXPECT_TRUE(test::read_file(f) == original) << "the original was changed";
        EXPECT_EQ(leftovers(), 0);
    }
    // Without a fault the same run rewrites the file.
    EXPECT_EQ(test::wait_program(test::start_program(SONORIX_NORMALIZE, {"-a", "-6", f.string()}, err_file_)), 0);
    EXPECT_NEAR(level_of(f).loudness, -6, 0.05);
}

// Ended by a signal while a file waits for the disk: the original stays
// whole, no temporary file is left, and the caller sees the signal.
TEST_F(Normalizer, ASignalLeavesNoTemporaryFile) {
    const fs::path f = wav("signal.wav", {.amplitude = 0.1, .seconds = 1});
    const std::string original = test::read_file(f);
    std::vector<std::string> env = fault_env_;
    env.push_back("SONORIX_FAULT_CALL=fsync-stall");
    const pid_t child = test::start_program(SONORIX_NORMALIZE, {"-a", "-6", f.string()}, err_file_, env);
    // Its temporary file stays until the signal (the fsync never returns);
    // the child's own alarm ends it should it never get there.
    while (leftovers() == 0 && ::waitpid(child, nullptr, WNOHANG) == 0) ::usleep(1000);
    ASSERT_EQ(leftovers(), 1) << test::read_file(err_file_);
    ::kill(child, SIGTERM);
    int sig = 0;
    EXPECT_EQ(test::wait_program(child, &sig), -1);
    EXPECT_EQ(sig, SIGTERM);
    EXPECT_EQ(leftovers(), 0);
    EXPECT_TRUE(test::read_file(f) == original);
}

// The ten files of the benchmark corpus, whose levels spread over 18 dB,
// through this program and through the peer normalizer that takes its place
// through SONORIX_NORMALIZER, each judged by its own measure.
TEST_F(Normalizer, TheLevelsCorpusMeetsAtOneLevel) {
    const char* env = std::getenv("SONORIX_LEVELS");
    const fs::path corpus = env ? env : SONORIX_LEVELS_DIR;
    if (!fs::exists(corpus / "lvl_9.wav")) GTEST_SKIP() << "no corpus in " << corpus;
    std::vector<fs::path> ours, peers;
    for (int i = 0; i < 10; ++i) {
        const std::string name = "lvl_" + std::to_string(i) + ".wav";
        fs::create_directories(dir_ / "ours");
        fs::create_directories(dir_ / "peer");
        fs::copy_file(corpus / name, ours.emplace_back(dir_ / "ours" / name));
        fs::copy_file(corpus / name, peers.emplace_back(dir_ / "peer" / name));
    }
    std::vector<std::string> args = {"-m"};
    args.insert(args.end(), ours.begin(), ours.end());
    ASSERT_EQ(run(args), 0) << err_.str();
    expect_one_marker_each(out_.str(), ours);
    double low = 1e9, high = -1e9;
    for (const fs::path& f : ours) {
        const Level level = level_of(f);
        low = std::min(low, level.loudness);
        high = std::max(high, level.loudness);
        EXPECT_LE(level.peak, 1.0) << f;
    }
    EXPECT_LT(high - low, 0.5) << out_.str();

    const std::string peer = "/usr/bin/normalize-audio";
    if (!fs::exists(peer)) GTEST_SKIP() << "no " << peer;
    std::string names;
    for (const fs::path& f : peers) names += " '" + f.string() + "'";
    ASSERT_EQ(std::system((peer + " -q -m" + names).c_str()), 0);
    // Its own measure: one line "LEVELdBFS PEAKdBFS GAINdB FILE" per file.
    FILE* levels = ::popen((peer + " -q -n" + names).c_str(), "r");
    ASSERT_TRUE(levels);
    std::vector<double> rms;
    char line[4096];
    while (std::fgets(line, sizeof line, levels)) rms.push_back(std::strtod(line, nullptr));
    EXPECT_EQ(::pclose(levels), 0);
    ASSERT_EQ(rms.size(), 10u);
    EXPECT_LT(*std::max_element(rms.begin(), rms.end()) - *std::min_element(rms.begin(), rms.end()), 0.5);
}

}  // namespace
