#include "normalizer/wav_level.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cmath>
#include <csignal>
#include <sstream>

#include "engine/base/FFLoad.h"
#include "support/child_process.h"
#include "support/media_fixtures.h"
#include "support/temp_dir.h"

using namespace sonorix;
namespace fs = std::filesystem;

namespace {

class Normalizer : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(TFFLoader::Instance().Load(kEncoderLibraries)); }
    fs::path tone(const std::string& name, double peak_db, const std::string& codec = "") {
        test::MediaSpec media;
        media.duration_seconds = 1.0;
        media.peak_db = peak_db;
        media.audio_codec = codec;
        return test::make_media(dir_ / name, media);
    }
    double level(const fs::path& file) {
        return normalizer::average_level_db(file, normalizer::read_layout(file));
    }
    test::TempDir dir_{"sonorix-normalizer"};
};

TEST_F(Normalizer, MixModeBringsEveryFileToTheAverageLevel) {
    const fs::path a = tone("a.wav", -3), b = tone("b.wav", -9), c = tone("c.wav", -15);
    const double before[] = {level(a), level(b), level(c)};
    const double average = (before[0] + before[1] + before[2]) / 3;
    std::ostringstream out, err;
    EXPECT_EQ(normalizer::run({"-m", (dir_ / "*.wav").string()}, out, err), 0) << err.str();
    for (const fs::path& f : {a, b, c}) EXPECT_NEAR(level(f), average, 0.05) << f;
    EXPECT_NE(out.str().find("Applying adjustment of +6.00 dB to " + c.string()), std::string::npos) << out.str();
    // The middle file is at the average already.
    EXPECT_NE(out.str().find(b.string() + " already normalized, not adjusting..."), std::string::npos) << out.str();
    // Still a WAV of the same length.
    EXPECT_NEAR(test::measure_audio(a).duration_seconds, 1.0, 1e-6);
}

TEST_F(Normalizer, OtherSampleFormatsAndFixedTarget) {
    const fs::path f24 = tone("deep.wav", -20, "pcm_s24le");
    const fs::path f32 = tone("float.wav", -20, "pcm_f32le");
    std::ostringstream out, err;
    EXPECT_EQ(normalizer::run({"-a", "-12", f24.string(), f32.string()}, out, err), 0) << err.str();
    EXPECT_NEAR(level(f24), -12, 0.05);
    EXPECT_NEAR(level(f32), -12, 0.05);
}

TEST_F(Normalizer, LoudGainsClipInsteadOfWrapping) {
    const fs::path f = tone("loud.wav", -1);
    EXPECT_GT(normalizer::apply_gain(f, normalizer::read_layout(f), 12), 0);
    EXPECT_NEAR(test::measure_audio(f).peak_db, 0, 0.01) << "saturated at full scale";
}

TEST_F(Normalizer, BadFilesAreReportedAndLeftAsTheyWere) {
    const fs::path text = dir_ / "notes.wav";
    test::write_file(text, "RIFF....WAVEnot really");
    const fs::path mp3 = tone("song.mp3", -6);
    const auto mp3_size = fs::file_size(mp3);
    std::ostringstream out, err;
    EXPECT_EQ(normalizer::run({"-m", text.string(), mp3.string(), (dir_ / "missing.wav").string()}, out, err), 1);
    EXPECT_NE(err.str().find(text.string() + ": "), std::string::npos);
    EXPECT_NE(err.str().find("not adjusting..."), std::string::npos);
    EXPECT_EQ(fs::file_size(mp3), mp3_size);
}

TEST_F(Normalizer, AFailedRewriteLeavesTheOriginalWhole) {
    const fs::path f = tone("keep.wav", -10);
    const double before = level(f);
    // Something in the way of the temporary file: the rewrite cannot start.
    fs::create_directory(dir_ / ".keep.wav.normalizing");
    EXPECT_THROW(normalizer::apply_gain(f, normalizer::read_layout(f), 3), std::runtime_error);
    EXPECT_NEAR(level(f), before, 1e-9);
    EXPECT_TRUE(fs::is_directory(dir_ / ".keep.wav.normalizing")) << "only files the run made are removed";
}

// The rewrite fails at the disk: in the middle of the samples, at the very
// last byte, at the sync, at the close. Each time the original stays byte for
// byte, no temporary file is left, and the exit status says it failed.
TEST_F(Normalizer, AFailedWriteKeepsTheOriginal) {
    const fs::path f = tone("disk.wav", -10);
    const std::string original = test::read_file(f);
    const std::string suffix = "SONORIX_FAULT_SUFFIX=.disk.wav.normalizing";
    // The fault library goes before the sanitizer's runtime.
    const std::string preload = std::string("LD_PRELOAD=") + SONORIX_IO_FAULT, asan = "ASAN_OPTIONS=verify_asan_link_order=0";
    const struct {
        const char* fault;
        rlim_t size_limit;  // 0: none
        std::vector<std::string> env;
    } rows[] = {
        {"a write in the middle", 16384, {}},
        {"the last write", original.size() - 1, {}},
        {"fsync", 0, {preload, asan, suffix, "SONORIX_FAULT_CALL=fsync"}},
        {"close", 0, {preload, asan, suffix, "SONORIX_FAULT_CALL=close"}},
    };
    const fs::path err_file = dir_ / "err.txt";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fault);
        const rlimit limit{row.size_limit, row.size_limit};
        const pid_t child = test::start_program(SONORIX_NORMALIZE, {"-a", "-6", f.string()}, err_file, row.env, [&] {
            if (!limit.rlim_cur) return;
            signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead
            setrlimit(RLIMIT_FSIZE, &limit);
        });
        EXPECT_EQ(test::wait_program(child), 1) << test::read_file(err_file);
        EXPECT_NE(test::read_file(err_file).find(f.string() + ": cannot write the adjusted file: "), std::string::npos)
            << test::read_file(err_file);
        EXPECT_TRUE(test::read_file(f) == original) << "the original was changed";
        EXPECT_FALSE(fs::exists(dir_ / ".disk.wav.normalizing"));
    }
    // Without a fault the same run rewrites the file.
    EXPECT_EQ(test::wait_program(test::start_program(SONORIX_NORMALIZE, {"-a", "-6", f.string()}, err_file)), 0);
    EXPECT_NEAR(level(f), -6, 0.05);
}

}  // namespace
