// Set-up of conversion tasks on real media: input and output opening, stream
// selection, time limits, metadata, attachments, time-outs.
#include <arpa/inet.h>
#include <sys/stat.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "setup_fixture.h"

using namespace sonorix;
using sonorix::test::SetupTest;
namespace fs = std::filesystem;

namespace {

// The measurement job: null muxer, no file, the filter text and the muxer's
// default audio encoder, on audio and on video sources.
TEST_F(SetupTest, MeasurementSetsUpWithoutFile) {
    for (const char* source : {"tone.wav", "movie.mp4"}) {
        SCOPED_TRACE(source);
        TCustomFFmpeg core;
        OptionsContextScope in(core);
        ASSERT_EQ(core.OpenInputFile(*in, "", file(source), ""), 0) << core.last_error();
        OptionsContextScope out(core);
        const std::string null_target = file(std::string(source) + ".null");
        ASSERT_EQ(core.OpenOutputFile(*out, " -af \"volumedetect\" -f null -vn", false, null_target, ""), 0)
            << core.last_error();
        EXPECT_TRUE(core.temp_output_name(0).empty());
        EXPECT_FALSE(fs::exists(null_target));
        AVFormatContext* oc = core.output_files[0].ctx.get();
        EXPECT_STREQ(oc->oformat->name, "null");
        ASSERT_EQ(core.output_streams.size(), 1u);
        TOutputStream& a = *core.output_streams[0];
        EXPECT_EQ(a.st->codecpar->codec_type, AVMEDIA_TYPE_AUDIO);
        EXPECT_EQ(a.avfilter, "volumedetect");
        ASSERT_NE(a.enc, nullptr);
        EXPECT_EQ(a.enc, avcodec_find_encoder(oc->oformat->audio_codec));
        ASSERT_EQ(core.transcode_init(), 0) << core.last_error();
        ASSERT_EQ(core.filtergraphs.size(), 1u);
        const std::vector<std::string> names = filter_names(*core.filtergraphs[0]);
        EXPECT_EQ(names.front(), "volumedetect");
        EXPECT_NE(std::find(names.begin(), names.end(), "abuffer"), names.end());
        EXPECT_NE(std::find(names.begin(), names.end(), "abuffersink"), names.end());
        // The encoder gets no frames: nothing converts for it.
        EXPECT_EQ(std::find(names.begin(), names.end(), "aformat"), names.end());
        EXPECT_TRUE(a.discard_packets);
    }
    EXPECT_TRUE(core_complaints().empty());
}

// The same-container conversion: video copied, audio re-encoded through the
// volume filter, written under a temporary name beside the target.
TEST_F(SetupTest, SameContainerCopiesVideoAndFiltersAudio) {
    ASSERT_EQ(open_input(file("movie.mp4")), 0) << core_.last_error();
    const std::string target = file("out_same.mp4");
    ASSERT_EQ(open_output(" -y -c:v copy -b:a 192000 -af volume=1.5", target), 0) << core_.last_error() << raised_;
    ASSERT_EQ(core_.output_streams.size(), 2u);
    EXPECT_EQ(type_of(0), AVMEDIA_TYPE_VIDEO);
    EXPECT_TRUE(ost(0).stream_copy);
    EXPECT_EQ(type_of(1), AVMEDIA_TYPE_AUDIO);
    EXPECT_FALSE(ost(1).stream_copy);
    EXPECT_EQ(ost(1).avfilter, "volume=1.5");

    const std::string temp = core_.temp_output_name(0);
    EXPECT_EQ(core_.target_name(0), target);
    EXPECT_EQ(fs::path(temp).parent_path(), fs::path(target).parent_path());
    EXPECT_TRUE(fs::exists(temp));
    EXPECT_FALSE(fs::exists(target));
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(static_cast<mode_t>(fs::status(temp).permissions()), 0666 & ~mask)
        << "the renamed target must not end up private";

    ASSERT_EQ(core_.transcode_init(), 0) << core_.last_error();
    ASSERT_EQ(core_.filtergraphs.size(), 1u);  // audio only
    EXPECT_EQ(ost(0).filter, nullptr);
    EXPECT_EQ(ost(0).st->codecpar->codec_id, AV_CODEC_ID_H264);
    EXPECT_EQ(ost(1).st->codecpar->bit_rate, 192000);
    EXPECT_GT(fs::file_size(temp), 0u);  // the header went to the temporary file
    EXPECT_TRUE(logged("Stream mapping:", llInfo));
    EXPECT_TRUE(logged("  Stream #0:0 -> #0:0 (copy)", llInfo));
    EXPECT_TRUE(core_complaints().empty());
    EXPECT_EQ(TCustomFFmpeg::open_encoder_count(), 1u);
    EXPECT_EQ(TCustomFFmpeg::open_decoder_count(), 1u);
    core_.close_codecs();
    EXPECT_EQ(TCustomFFmpeg::open_encoder_count(), 0u);
    EXPECT_EQ(TCustomFFmpeg::open_decoder_count(), 0u);
}

TEST_F(SetupTest, AutomaticSelectionAndMaps) {
    {  // audio with the most channels, the video, the first subtitle
        TCustomFFmpeg core;
        OptionsContextScope in(core);
        ASSERT_EQ(core.OpenInputFile(*in, "", file("multi.mkv"), ""), 0) << core.last_error();
        OptionsContextScope out(core);
        ASSERT_EQ(core.OpenOutputFile(*out, " -y -c copy", false, file("sel.mkv"), ""), 0) << core.last_error();
        int audio = 0;
        for (auto& o : core.output_streams) {
            if (o->st->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) continue;
            ++audio;
            EXPECT_EQ(core.get_input_stream(*o)->st->codecpar->ch_layout.nb_channels, 6);
        }
        EXPECT_EQ(audio, 1);
        EXPECT_EQ(core.output_streams.size(), 3u);
    }
    // -map 0:a:0 takes the mono stream even though another has more channels.
    ASSERT_EQ(open_input(file("mono_first.mkv")), 0) << core_.last_error();
    ASSERT_EQ(open_output(" -y -map 0:a:0", file("mapped.wav")), 0) << core_.last_error() << raised_;
    ASSERT_EQ(core_.output_streams.size(), 1u);
    EXPECT_EQ(core_.get_input_stream(ost(0))->st->codecpar->ch_layout.nb_channels, 1);
}

TEST_F(SetupTest, TwoInputsCombineAudioWithVideoAndSubtitle) {
    ASSERT_EQ(open_input(file("tone.wav")), 0);
    ASSERT_EQ(open_input(file("multi.mkv")), 1);
    ASSERT_EQ(open_output(" -y -map 0:a:0 -map 1:0 -map 1:3 -c:v copy -b:a 128000", file("combined.mkv")), 0)
        << core_.last_error() << raised_;
    ASSERT_EQ(core_.output_streams.size(), 3u);
    EXPECT_EQ(ost(0).source_index, 0);
    EXPECT_EQ(type_of(1), AVMEDIA_TYPE_VIDEO);
    EXPECT_TRUE(ost(1).stream_copy);
    EXPECT_EQ(type_of(2), AVMEDIA_TYPE_SUBTITLE);
    ASSERT_EQ(core_.transcode_init(), 0) << core_.last_error();
    EXPECT_EQ(core_complaints(), std::vector<std::string>{});
}

TEST_F(SetupTest, BadMapsAndInputsAreReported) {
    ASSERT_EQ(open_input(file("tone.wav")), 0);
    ASSERT_EQ(open_input(file("silent.mp4")), 1);
    EXPECT_LT(open_output(" -map 2", file("x.wav")), 0);
    EXPECT_NE((raised_ + core_.last_error()).find("Invalid input file index: 2."), std::string::npos);
    raised_.clear();
    EXPECT_LT(open_output(" -map 1:a:0", file("x.wav")), 0);
    EXPECT_NE((raised_ + core_.last_error()).find("Stream map \"1:a:0\" matches no streams."), std::string::npos);
    EXPECT_TRUE(core_.output_files.empty());

    const std::string missing = file("missing.wav");
    const int ret = open_input(missing);
    EXPECT_EQ(ret, AVERROR(ENOENT));
    EXPECT_EQ(core_.last_error(), missing + ": No such file or directory");
    EXPECT_EQ(core_.input_files.size(), 2u);
}

// Copied packets are never decoded: a filter for a copied stream could not
// run, so the set-up refuses it and names the stream; a filter on a stream
// that is encoded stays fine.
TEST_F(SetupTest, CopiedStreamsTakeNoFilter) {
    const struct {
        const char* source;
        const char* options;
        const char* refusal;  // empty: sets up
    } rows[] = {
        {"movie.mp4", " -y -c copy -af volume=2",
         "Output stream #0:1 (audio, from input stream #0:1) is copied, so its filter \"volume=2\" cannot run"},
        {"tone.wav", " -y -c:a copy -af volume=2", "Output stream #0:0 (audio, from input stream #0:0) is copied"},
        {"tone.wav", " -y -acodec copy -filter:a volume=2", "Output stream #0:0 (audio, from input stream #0:0)"},
        {"movie.mp4", " -y -c:v copy -vf scale=32:32",
         "Output stream #0:0 (video, from input stream #0:0) is copied, so its filter \"scale=32:32\""},
        {"movie.mp4", " -y -vcodec copy -filter volume=2", "Output stream #0:0 (video"},
        {"tone.wav", " -y -c:a copy -filter_complex volume=2",
         "Output stream #0:0 (audio) comes from a filter graph and cannot be copied"},
        {"movie.mp4", " -y -c:v copy -af volume=2", ""},
        {"movie.mp4", " -y -c:a copy -vf scale=32:32", ""},
        {"movie.mp4", " -y -c copy -an -filter:a volume=2", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.options);
        TCustomFFmpeg core;
        OptionsContextScope in(core);
        ASSERT_EQ(core.OpenInputFile(*in, "", file(row.source), ""), 0) << core.last_error();
        OptionsContextScope out(core);
        const std::string target = file("filtered_copy" + fs::path(row.source).extension().string());
        if (!*row.refusal) {
            EXPECT_EQ(core.OpenOutputFile(*out, row.options, false, target, ""), 0) << core.last_error();
            continue;
        }
        EXPECT_THROW(core.OpenOutputFile(*out, row.options, false, target, ""), FFmpegException);
        EXPECT_EQ(core.last_error().rfind(row.refusal, 0), 0u) << core.last_error();
        EXPECT_TRUE(core.output_streams.empty());
        EXPECT_TRUE(core.output_files.empty());
    }
}

TEST_F(SetupTest, RecordingTimeRules) {
    ASSERT_EQ(open_input(file("tone.wav")), 0);
    ASSERT_EQ(open_output(" -y -t 0.5 -to 0.8", file("t1.wav")), 0) << core_.last_error() << raised_;
    EXPECT_TRUE(logged("-t and -to cannot be used together; using -t.", llWarning));
    EXPECT_EQ(core_.output_files[0].recording_time, 500000);
    EXPECT_EQ(core_.output_recording_time, 500000);

    TCustomFFmpeg core;
    OptionsContextScope in(core);
    ASSERT_EQ(core.OpenInputFile(*in, "", file("tone.wav"), ""), 0);
    OptionsContextScope out(core);
    ASSERT_EQ(core.OpenOutputFile(*out, " -y -to 0.2 -ss 0.4", false, file("t2.wav"), ""), 0);
    EXPECT_TRUE(logged("-to value smaller than -ss; ignoring -to.", llWarning));
    EXPECT_EQ(core.output_files[0].recording_time, INT64_MAX);
    EXPECT_NEAR(static_cast<double>(core.longest_input_duration), 1e6, 30000);
}

TEST_F(SetupTest, InputEdgeCases) {
    EXPECT_EQ(open_input(file("tone.wav"), " -f no_such_format"), AVERROR(EINVAL));
    EXPECT_EQ(core_.last_error(), "Unknown input format: \"no_such_format\"");

    int calls = 0;
    core_.OnBeforeFindStreamInfo = [&](TCustomFFmpeg* sender, AVFormatContext* ctx) {
        ++calls;
        EXPECT_EQ(sender, &core_);
        EXPECT_EQ(ctx->nb_streams, 1u);
    };
    ASSERT_EQ(open_input(file("tone.wav"), " -ss 0.4"), 0) << core_.last_error();
    EXPECT_EQ(calls, 1);
    EXPECT_NEAR(static_cast<double>(core_.longest_input_duration), 600000, 30000);
    EXPECT_EQ(core_.input_files[0].ts_offset, -400000);
    // A plain WAV has no layout: the default one of its count is guessed.
    EXPECT_TRUE(logged("Guessed Channel Layout for  Input Stream #0.0 : stereo", llWarning));
    ASSERT_EQ(core_.input_streams.size(), 1u);
    EXPECT_EQ(core_.input_streams[0]->dec_ctx->ch_layout.order, AV_CHANNEL_ORDER_NATIVE);
    EXPECT_TRUE(core_.input_streams[0]->discard);

    // A forced decoder that does not exist: raised, and the file is not added.
    EXPECT_EQ(open_input(file("tone.wav"), " -c:a no_such_decoder"), -1000);
    EXPECT_NE(raised_.find("no_such_decoder"), std::string::npos);
    EXPECT_EQ(core_.input_files.size(), 1u);
    EXPECT_EQ(core_.input_streams.size(), 1u);
}

TEST_F(SetupTest, OutputEdgeCases) {
    ASSERT_EQ(open_input(file("tone.wav")), 0);
    EXPECT_EQ(open_output(" -y", file("noext")), -1);
    EXPECT_EQ(core_.last_error(), file("noext") +
                                      ": the target name has no extension to choose the output format by "
                                      "(give one, or -f)");
    EXPECT_EQ(open_output(" -y -bsf:a no_such_bsf", file("bsf.wav")), -1000);
    EXPECT_EQ(raised_, "Unknown bitstream filter \"no_such_bsf\"");
    EXPECT_TRUE(core_.output_streams.empty());

    std::string temp;
    {
        TCustomFFmpeg core;
        OptionsContextScope in(core);
        ASSERT_EQ(core.OpenInputFile(*in, "", file("tone.wav"), ""), 0);
        OptionsContextScope out(core);
        ASSERT_EQ(core.OpenOutputFile(*out, " -y -an", false, file("empty.wav"), ""), 0);
        temp = core.temp_output_name(0);
        EXPECT_TRUE(fs::exists(temp));
        EXPECT_EQ(core.transcode_init(), AVERROR(EINVAL));
        EXPECT_EQ(core.last_error(), "Output file #0 does not contain any stream");
    }
    EXPECT_FALSE(fs::exists(temp));  // a task that never completed leaves nothing behind
    EXPECT_FALSE(fs::exists(file("empty.wav")));
}

TEST_F(SetupTest, MetadataRules) {
    ASSERT_EQ(open_input(file("movie.mp4")), 0);
    AVDictionary* in_meta = core_.input_files[0].ctx->metadata;
    ASSERT_NE(av_dict_get(in_meta, "major_brand", nullptr, 0), nullptr);
    ASSERT_EQ(open_output(" -y -c copy -metadata title=Hello -metadata:s:a:0 language=eng", file("meta.mkv")), 0)
        << core_.last_error() << raised_;
    AVFormatContext* oc = core_.output_files[0].ctx.get();
    EXPECT_NE(av_dict_get(oc->metadata, "major_brand", nullptr, 0), nullptr);
    EXPECT_EQ(av_dict_get(oc->metadata, "creation_time", nullptr, 0), nullptr);
    EXPECT_STREQ(av_dict_get(oc->metadata, "title", nullptr, 0)->value, "Hello");
    const AVDictionaryEntry* language = av_dict_get(ost(1).st->metadata, "language", nullptr, 0);
    ASSERT_NE(language, nullptr);
    EXPECT_STREQ(language->value, "eng");

    ASSERT_EQ(open_output(" -y -c copy -map_metadata -1", file("nometa.mkv")), 1) << core_.last_error() << raised_;
    EXPECT_EQ(av_dict_get(core_.output_files[1].ctx->metadata, "major_brand", nullptr, 0), nullptr);
    EXPECT_EQ(open_output(" -y -map_metadata 5", file("badmeta.mkv")), -1000);
    EXPECT_EQ(raised_, "Invalid input file index 5 while processing metadata maps");
    EXPECT_EQ(core_.output_files.size(), 2u);
}

TEST_F(SetupTest, Attachments) {
    const fs::path notes = *dir_ / "sub" / "notes.txt";
    fs::create_directories(notes.parent_path());
    test::write_file(notes, "attached text");
    ASSERT_EQ(open_input(file("movie.mp4")), 0);
    EXPECT_EQ(open_output(" -y -attach " + file("nothing.txt"), file("att0.mkv")), -1000);
    EXPECT_EQ(raised_, "Could not open attachment file " + file("nothing.txt") + ".");
    EXPECT_TRUE(core_.output_streams.empty());
    ASSERT_EQ(
        open_output(" -y -c copy -attach " + notes.string() + " -metadata:s:t mimetype=text/plain", file("att.mkv")), 0)
        << core_.last_error() << raised_;
    ASSERT_EQ(core_.output_streams.size(), 3u);
    TOutputStream& a = ost(2);
    EXPECT_TRUE(a.attachment);
    EXPECT_EQ(a.st->codecpar->extradata_size, 13);
    EXPECT_STREQ(av_dict_get(a.st->metadata, "filename", nullptr, 0)->value, "notes.txt");
    ASSERT_EQ(core_.transcode_init(), 0) << core_.last_error();
    EXPECT_TRUE(logged("  File notes.txt -> Stream #0:2", llInfo));
}

// A read that blocks past the time-out is aborted by the call-back.
TEST_F(SetupTest, InterruptCallBacks) {
    core_.read_timeout = 50;
    EXPECT_EQ(TCustomFFmpeg::read_interrupt(&core_), 0);  // not armed
    core_.read_stamp = av_gettime_relative() - 100000;
    EXPECT_EQ(TCustomFFmpeg::read_interrupt(&core_), 1);
    EXPECT_TRUE(logged("connecting/reading timeout", llInfo));
    core_.read_stamp = 0;
    EXPECT_EQ(TCustomFFmpeg::read_interrupt(&core_), 1);
    EXPECT_TRUE(logged("connecting/reading canceled", llInfo));
    core_.write_stamp = av_gettime_relative();
    EXPECT_EQ(TCustomFFmpeg::write_interrupt(&core_), 0);
    core_.stop_requested = true;
    EXPECT_EQ(TCustomFFmpeg::write_interrupt(&core_), 1);
    EXPECT_TRUE(logged("reading/writing broken", llInfo));
}

// A peer that accepts the connection (by its backlog) and never sends.
TEST_F(SetupTest, BlockedReadTimesOut) {
    const int server = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(server, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(server, 1), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(getsockname(server, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    core_.read_timeout = 300;
    const int ret = open_input("tcp://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)));
    close(server);
    EXPECT_LT(ret, 0);
    EXPECT_TRUE(logged("connecting/reading timeout", llInfo));
    EXPECT_TRUE(core_.input_files.empty());
}

}  // namespace
