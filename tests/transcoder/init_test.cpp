// Codec start-up on real media: filter graphs, encoders and decoders, the
// target formats of the single-file page, complex graphs.
#include "setup_fixture.h"
#include "workflow/output_options.h"

using namespace sonorix;
using sonorix::test::SetupTest;
namespace fs = std::filesystem;

namespace {

TEST_F(SetupTest, FilterGraphFailuresAndFormatConstraints) {
    {  // a filter text with two outputs
        TCustomFFmpeg core;
        OptionsContextScope in(core);
        ASSERT_EQ(core.OpenInputFile(*in, "", file("tone.wav"), ""), 0);
        OptionsContextScope out(core);
        ASSERT_EQ(core.OpenOutputFile(*out, " -y -af asplit=2", false, file("split.wav"), ""), 0);
        EXPECT_THROW(core.transcode_init(), FFmpegException);
        EXPECT_EQ(core.last_error(), "Error opening filters!");
        EXPECT_TRUE(logged("Simple filtergraph \"asplit=2\" does not have exactly one input and output.", llError));
    }
    {  // a copied audio stream cannot take -vol
        TCustomFFmpeg core;
        OptionsContextScope in(core);
        ASSERT_EQ(core.OpenInputFile(*in, "", file("tone.wav"), ""), 0);
        OptionsContextScope out(core);
        ASSERT_EQ(core.OpenOutputFile(*out, " -y -c:a copy -vol 512", false, file("vol.wav"), ""), 0);
        EXPECT_LT(core.transcode_init(), 0);
        EXPECT_EQ(core.last_error(), "-acodec copy and -vol are incompatible (frames are not decoded)");
    }
    // 16-bit stereo into an encoder that takes only planar float.
    ASSERT_EQ(open_input(file("tone.wav")), 0);
    ASSERT_EQ(open_output(" -y -c:a aac -af volume=2 -vol 512", file("planar.m4a")), 0) << core_.last_error();
    ASSERT_EQ(core_.transcode_init(), 0) << core_.last_error();
    EXPECT_TRUE(logged("-vol has been deprecated. Use the volume audio filter instead.", llWarning));
    EXPECT_TRUE(logged("-vol is forwarded to lavfi similarly to -af volume=2.000000.", llInfo));
    std::vector<std::string> names = filter_names(*core_.filtergraphs[0]);
    // Parsed filters come first, then source, inserted volume, format and sink.
    const std::vector<std::string> expected = {"volume", "abuffer", "volume", "abuffersink", "aformat"};
    names.resize(std::min(names.size(), expected.size()));
    EXPECT_EQ(names, expected);
    EXPECT_EQ(ost(0).enc_ctx->sample_fmt, AV_SAMPLE_FMT_FLTP);
    EXPECT_EQ(ost(0).enc_ctx->sample_rate, 44100);
    EXPECT_EQ(ost(0).enc_ctx->ch_layout.nb_channels, 2);
}

TEST_F(SetupTest, LowBitrateWarns) {
    ASSERT_EQ(open_input(file("tone.wav")), 0);
    ASSERT_EQ(open_output(" -y -c:a libmp3lame -b:a 128", file("low.mp3")), 0) << core_.last_error();
    core_.transcode_init();
    EXPECT_TRUE(logged("The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s", llWarning));
}

// Every target format of the single-file page sets up from a video source
// with the page's own option text; a missing encoder is reported, not fatal.
TEST_F(SetupTest, TargetFormats) {
    const char* targets[] = {".avi", ".flv", ".mp4", ".3gp", ".wmv",  ".webm", ".mpg", ".mkv",
                             ".mov", ".ts",  ".mp3", ".wav", ".flac", ".ogg",  ".m4a", ".aac",
                             ".ac3", ".wma", ".mka", ".mp2", ".aif",  ".au",   ".rm"};
    SourceFacts facts;
    facts.info = "h264 aac";
    facts.frame_rate_num = 25;
    facts.width = 320;
    facts.height = 240;
    facts.sample_rate = 44100;
    facts.channels = 2;
    std::vector<std::string> missing;
    for (const char* ext : targets) {
        SCOPED_TRACE(ext);
        const std::string target = file(std::string("target") + ext);
        std::string options = " -y" + ffcodec(target, facts) + " -q:v 0 -q:a 0 -af volume=1.5";
        TCustomFFmpeg core;
        OptionsContextScope in(core);
        ASSERT_EQ(core.OpenInputFile(*in, "", file("movie.mp4"), ""), 0);
        OptionsContextScope out(core);
        std::string error;
        int ret;
        try {
            ret = core.OpenOutputFile(*out, options, false, target, "");
            if (ret >= 0) ret = core.transcode_init();
        } catch (const FFmpegException& e) {
            ret = -1;
            error = e.what();
        }
        if (ret < 0) {
            std::string text = error + core.last_error();
            {
                std::lock_guard lock(mutex_);
                for (const Line& l : lines_) {
                    if (l.level == llError) text += " | " + l.text;
                }
                lines_.clear();
            }
            const bool encoder_missing = text.find("Unknown encoder") != std::string::npos ||
                                         text.find("not found for output stream") != std::string::npos;
            EXPECT_TRUE(encoder_missing) << options << ": " << text;
            missing.push_back(std::string(ext) + options + " => " + text);
            continue;
        }
        bool has_audio = false;
        for (auto& o : core.output_streams) {
            if (o->st->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) continue;
            has_audio = true;
            EXPECT_FALSE(o->stream_copy);
            EXPECT_EQ(o->avfilter, "volume=1.5");
        }
        EXPECT_TRUE(has_audio) << options;
    }
    for (const std::string& m : missing) std::printf("encoder missing here: %s\n", m.c_str());
}

// Re-encoded video: the scale text of the page and -aspect give the encoder
// its size and sample aspect ratio; the graph ends in the encoder's format.
TEST_F(SetupTest, ScaledVideoWithAspect) {
    ASSERT_EQ(open_input(file("movie.mp4")), 0);
    EXPECT_EQ(open_output(" -y -c:v mpeg4 -intra_matrix 8,16", file("matrix.avi")), -1000);
    EXPECT_EQ(raised_, "Syntax error in matrix \"8,16\" at coeff 1");
    lines_.clear();
    ASSERT_EQ(open_output(" -y -c:v mpeg4 -r 20 -q:v 0 -q:a 0 -vf scale=160:120 -aspect 16:9 -af volume=1.5"
                          " -force_key_frames 0.5,0.1",
                          file("scaled.avi")),
              0)
        << core_.last_error() << raised_;
    ASSERT_EQ(core_.transcode_init(), 0) << core_.last_error();
    TOutputStream& v = ost(0);
    ASSERT_EQ(type_of(0), AVMEDIA_TYPE_VIDEO);
    EXPECT_EQ(v.enc_ctx->width, 160);
    EXPECT_EQ(v.enc_ctx->height, 120);
    // 16:9 on a 4:3 frame: pixels 4:3 wide.
    EXPECT_EQ(av_cmp_q(v.enc_ctx->sample_aspect_ratio, AVRational{4, 3}), 0);
    EXPECT_EQ(av_cmp_q(v.enc_ctx->time_base, AVRational{1, 20}), 0);
    EXPECT_TRUE(v.enc_ctx->flags & AV_CODEC_FLAG_QSCALE);
    EXPECT_EQ(v.enc_ctx->pix_fmt, AV_PIX_FMT_YUV420P);
    EXPECT_EQ(v.forced_kf_pts, (std::vector<int64_t>{2, 10}));  // in frames of 1/20 s
    EXPECT_EQ(core_.filtergraphs.size(), 2u);
    EXPECT_TRUE(logged("  Stream #0:0 -> #0:0 (h264 -> mpeg4)", llInfo));
    EXPECT_EQ(core_complaints(), std::vector<std::string>{});
}

// Start-up rules that differ by muxer and codec: the copied time base of
// fixed-rate muxers, experimental encoders, two-pass log files.
TEST_F(SetupTest, CodecStartUpRules) {
    auto init = [&](const std::string& options, const std::string& target, std::string* raised = nullptr) {
        auto core = std::make_unique<TCustomFFmpeg>();
        OptionsContextScope in(*core);
        EXPECT_EQ(core->OpenInputFile(*in, "", file("movie.mp4"), ""), 0);
        OptionsContextScope out(*core);
        EXPECT_EQ(core->OpenOutputFile(*out, options, false, file(target), ""), 0) << core->last_error();
        int ret = 0;
        try {
            ret = core->transcode_init();
        } catch (const FFmpegException& e) {
            ret = -1000;
            if (raised) *raised = e.what();
        }
        return std::make_pair(ret, std::move(core));
    };
    {  // the source's 1/12800 is finer than 1/500 s: avi takes half the frame period
        auto [ret, core] = init(" -y -c copy", "copy.avi");
        ASSERT_EQ(ret, 0) << core->last_error();
        EXPECT_EQ(av_cmp_q(core->output_streams[0]->enc_ctx->time_base, AVRational{1, 50}), 0);
    }
    {  // mp4 keeps the source stream's time base
        auto [ret, core] = init(" -y -c copy", "copy.mov");
        ASSERT_EQ(ret, 0) << core->last_error();
        EXPECT_EQ(av_cmp_q(core->output_streams[0]->enc_ctx->time_base, core->input_streams[0]->st->time_base), 0);
    }
    {
        std::string raised;
        auto [ret, core] = init(" -y -vn -c:a opus", "exp.mka", &raised);
        EXPECT_EQ(ret, -1000);
        EXPECT_EQ(raised, "abort codec experimental");
    }
    const std::string prefix = file("twopass");
    {
        auto [ret, core] = init(" -y -an -c:v mpeg4 -pass 2 -passlogfile " + prefix, "pass2.avi");
        EXPECT_LT(ret, 0);
        EXPECT_EQ(core->last_error(), "Error reading log file \"" + prefix + "-0.log\" for pass-2 encoding");
    }
    {
        auto [ret, core] = init(" -y -an -c:v mpeg4 -pass 1 -passlogfile " + prefix, "pass1.avi");
        EXPECT_EQ(ret, 0) << core->last_error();
        EXPECT_TRUE(fs::exists(prefix + "-0.log"));
    }
}

TEST_F(SetupTest, ComplexGraphs) {
    {  // a labeled output taken by -map
        TCustomFFmpeg core;
        OptionsContextScope in(core);
        ASSERT_EQ(core.OpenInputFile(*in, "", file("tone.wav"), ""), 0);
        OptionsContextScope out(core);
        ASSERT_EQ(core.OpenOutputFile(*out, " -y -filter_complex \"[0:a]volume=2[loud]\" -map [loud]", false,
                                      file("complex.wav"), ""),
                  0)
            << core.last_error();
        ASSERT_EQ(core.output_streams.size(), 1u);
        EXPECT_EQ(core.output_streams[0]->source_index, -1);
        ASSERT_NE(core.output_streams[0]->filter, nullptr);
        ASSERT_EQ(core.transcode_init(), 0) << core.last_error();
        EXPECT_EQ(core.filtergraphs.size(), 1u);
        EXPECT_TRUE(core.input_streams[0]->decoder_open);  // fed to the graph
        EXPECT_TRUE(logged("  loud -> Stream #0:0 (pcm_s16le)", llInfo));
    }
    {  // an unlabeled output is bound at once and replaces automatic audio
        TCustomFFmpeg core;
        OptionsContextScope in(core);
        ASSERT_EQ(core.OpenInputFile(*in, "", file("movie.mp4"), ""), 0);
        OptionsContextScope out(core);
        ASSERT_EQ(core.OpenOutputFile(*out, " -y -c:v copy -filter_complex volume=0.5", false, file("complex.mkv"), ""),
                  0)
            << core.last_error();
        ASSERT_EQ(core.output_streams.size(), 2u);
        EXPECT_EQ(core.output_streams[0]->st->codecpar->codec_type, AVMEDIA_TYPE_AUDIO);
        EXPECT_EQ(core.output_streams[0]->source_index, -1);
        EXPECT_TRUE(core.output_streams[1]->stream_copy);
        ASSERT_EQ(core.transcode_init(), 0) << core.last_error();
    }
    ASSERT_EQ(open_input(file("tone.wav")), 0);
    EXPECT_EQ(open_output(" -y -filter_complex \"[5:a]volume=2\"", file("bad.wav")), -1);
    EXPECT_EQ(core_.last_error(), "Error configuring filters.");
    EXPECT_TRUE(logged("Invalid file index 5 in filtergraph description [5:a]volume=2.", llFatal));
    core_.options().complex_filter_descriptions.clear();
    EXPECT_EQ(open_output(" -y -map [nowhere]", file("bad.wav")), -1);
    EXPECT_EQ(core_.last_error(),
              "Output with label \"nowhere\" does not exist in any defined filter graph, "
              "or was already used elsewhere.");
}

}  // namespace
