// Handler rows: aliases, ambiguous names, stream maps and the rows that
// change core-wide or process-wide state.
#include <fstream>
#include <functional>

#include "option_test_util.h"
#include "support/temp_dir.h"

extern "C" {
#include <libavutil/cpu.h>
}

namespace sonorix::test {
namespace {

using Entry = std::pair<std::string, std::string>;
const std::string kEinval = "Invalid argument / Invalid data found when processing input";

TEST_F(OptionTest, AliasRowsStoreUnderTheirTarget) {
    struct Case {
        const char* text;
        std::function<Entry(const TOptionsContext&)> last;
        Entry expected;
    };
    const Case cases[] = {
        {"-af volumedetect", [](auto& c) { return last_entry(c.filters); }, {"a", "volumedetect"}},
        {"-vf scale=320:240", [](auto& c) { return last_entry(c.filters); }, {"v", "scale=320:240"}},
        {"-acodec libmp3lame", [](auto& c) { return last_entry(c.codec_names); }, {"a", "libmp3lame"}},
        {"-vcodec copy", [](auto& c) { return last_entry(c.codec_names); }, {"v", "copy"}},
        {"-scodec mov_text", [](auto& c) { return last_entry(c.codec_names); }, {"s", "mov_text"}},
        {"-dcodec copy", [](auto& c) { return last_entry(c.codec_names); }, {"d", "copy"}},
        {"-vframes 25", [](auto& c) { return last_entry(c.max_frames); }, {"v", "25"}},
        {"-aframes 3", [](auto& c) { return last_entry(c.max_frames); }, {"a", "3"}},
        {"-dframes 1", [](auto& c) { return last_entry(c.max_frames); }, {"d", "1"}},
        {"-aq 4", [](auto& c) { return last_entry(c.qscale); }, {"a", "4"}},
        {"-qscale:a 2.5", [](auto& c) { return last_entry(c.qscale); }, {"a", "2.5"}},
        {"-qscale:a:1 3", [](auto& c) { return last_entry(c.qscale); }, {"a:1", "3"}},
        {"-atag mp4a", [](auto& c) { return last_entry(c.codec_tags); }, {"a", "mp4a"}},
        {"-vtag xvid", [](auto& c) { return last_entry(c.codec_tags); }, {"v", "xvid"}},
        {"-stag tx3g", [](auto& c) { return last_entry(c.codec_tags); }, {"s", "tx3g"}},
        {"-absf aac_adtstoasc", [](auto& c) { return last_entry(c.bitstream_filters); }, {"a", "aac_adtstoasc"}},
        {"-vbsf h264_mp4toannexb", [](auto& c) { return last_entry(c.bitstream_filters); }, {"v", "h264_mp4toannexb"}},
        {"-timestamp now", [](auto& c) { return last_entry(c.metadata); }, {"", "creation_time=now"}},
        {"-timecode 01:00:00:00", [](auto& c) { return last_entry(c.metadata); }, {"g", "timecode=01:00:00:00"}},
        {"-channel_layout:a 5.1", [](auto& c) { return last_entry(c.audio_channels); }, {"a", "6"}},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(parse(c.text), 0) << c.text;
        EXPECT_EQ(c.last(ctx), c.expected) << c.text;
    }
    ASSERT_EQ(parse("-timecode 01:00:00:00 -channel_layout:a 5.1"), 0);
    EXPECT_STREQ(core.file_group().codec_opts.get("gop_timecode"), "01:00:00:00");
    AVChannelLayout layout{};
    ASSERT_EQ(av_channel_layout_from_string(&layout, "5.1"), 0);
    EXPECT_EQ(core.file_group().codec_opts.get("channel_layout:a"), std::to_string(layout.u.mask));
}

TEST_F(OptionTest, AmbiguousNamesWarnAndChooseVideo) {
    ASSERT_EQ(parse("-b:a 128k -profile:v high"), 0);
    EXPECT_STREQ(core.file_group().codec_opts.get("b:a"), "128k");
    EXPECT_STREQ(core.file_group().codec_opts.get("profile:v"), "high");
    EXPECT_TRUE(core_lines(llWarning).empty());

    ASSERT_EQ(parse("-b 1M -profile main -qscale 3"), 0);
    EXPECT_STREQ(core.file_group().codec_opts.get("b:v"), "1M");
    EXPECT_STREQ(core.file_group().codec_opts.get("profile:v"), "main");
    EXPECT_EQ(last_entry(ctx.qscale), Entry("v", "3"));
    EXPECT_EQ(core_lines(llWarning),
              (std::vector<std::string>{"Warning: Please use -b:a or -b:v, -b is ambiguous",
                                        "Warning: Please use -profile:a or -profile:v, -profile is ambiguous",
                                        "Warning: Please use -q:a or -q:v, -qscale is ambiguous"}));
}

TEST_F(OptionTest, SecondsToMicroseconds) {
    ASSERT_EQ(parse("-TimeStart 1.5 -TimeLength 0.0000015"), 0);
    EXPECT_EQ(ctx.start_time, 1500000);
    EXPECT_EQ(ctx.recording_time, 2);  // to the nearest microsecond
    ASSERT_EQ(parse("-timestart 2 -timelength 60"), 0);
    EXPECT_EQ(ctx.start_time, 2000000);
    EXPECT_EQ(ctx.recording_time, 60000000);

    for (const char* bad : {"1,5", "abc", "1e300", "inf"}) {
        EXPECT_EQ(parse(std::string("-TimeStart ") + bad), AVERROR(EINVAL)) << bad;
        EXPECT_TRUE(has_line(llError, Format("Expected double for \"TimeStart\" but found \"%s\"", bad)));
        EXPECT_EQ(ctx.start_time, 0);
    }
    EXPECT_EQ(core.last_error(),
              "Expected double for \"TimeStart\" but found \"inf\"\n"
              "Failed to set value \"inf\" for option \"TimeStart\"\n" +
                  kEinval);
}

TEST_F(OptionTest, LogLevelRejectsUnknownNames) {
    EXPECT_EQ(parse("-loglevel loud"), AVERROR(EINVAL));
    EXPECT_TRUE(has_line(llError,
                         "Invalid loglevel \"loud\". Possible levels are numbers or:\n\"quiet\"\n"
                         "\"panic\"\n\"fatal\"\n\"error\"\n\"warning\"\n\"info\"\n\"verbose\"\n\"debug\""));
    EXPECT_EQ(logger->LogLevel(), llDebug);
    ASSERT_EQ(parse("-v 24"), 0);
    EXPECT_EQ(logger->LogLevel(), llWarning);
}

TEST_F(OptionTest, VideoSyncMethods) {
    const std::pair<const char*, int> good[] = {{"cfr", 1}, {"VFR", 2}, {"passthrough", 0}, {"Drop", 255},
                                                {"-1", -1}, {"2", 2},   {"255", 255}};
    for (const auto& [arg, method] : good) {
        ASSERT_EQ(parse(std::string("-vsync ") + arg), 0) << arg;
        EXPECT_EQ(core.video_sync_method, method) << arg;
    }
    for (const char* bad : {"3", "auto", "-2"}) {
        EXPECT_EQ(parse(std::string("-vsync ") + bad), AVERROR(EINVAL)) << bad;
        EXPECT_TRUE(has_line(llError, Format("The value for \"vsync\" was \"%s\" which is invalid", bad)));
    }
    EXPECT_EQ(core.video_sync_method, 255);
}

TEST_F(OptionTest, ChannelLayout) {
    ASSERT_EQ(parse("-channel_layout stereo"), 0);
    EXPECT_STREQ(core.file_group().codec_opts.get("channel_layout"), "3");
    EXPECT_EQ(last_entry(ctx.audio_channels), Entry("", "2"));
    EXPECT_EQ(parse("-channel_layout nonsense"), AVERROR(EINVAL));
    EXPECT_TRUE(has_line(llError, "Unknown channel layout: nonsense"));
}

TEST_F(OptionTest, ProcessWideRows) {
    EXPECT_EQ(parse("-max_alloc 12x"), AVERROR(EINVAL));
    EXPECT_TRUE(has_line(llError, "Invalid max_alloc \"12x\"."));
    EXPECT_EQ(parse("-max_alloc -1"), AVERROR(EINVAL));
    EXPECT_EQ(parse("-max_alloc 2147483647"), 0);  // the libraries' default

    EXPECT_LT(parse("-cpuflags nonsense"), 0);
    ASSERT_FALSE(core_lines(llError).empty());
    EXPECT_EQ(core_lines(llError)[0].rfind("Error: Failed to parse cpu flags \"nonsense\": ", 0), 0u);
    const int before = av_get_cpu_flags();
    EXPECT_EQ(parse("-cpuflags 0"), 0);
    EXPECT_EQ(av_get_cpu_flags(), 0);
    av_force_cpu_flags(-1);
    EXPECT_EQ(av_get_cpu_flags(), before);
}

TEST_F(OptionTest, ProgressOutput) {
    TempDir dir("sonorix-progress");
    const std::string url = (dir / "progress.txt").string();
    ASSERT_EQ(parse("-progress \"" + url + "\""), 0);
    ASSERT_NE(core.progress_avio, nullptr);
    avio_write(core.progress_avio, reinterpret_cast<const unsigned char*>("x"), 1);
    avio_flush(core.progress_avio);
    EXPECT_EQ(std::filesystem::file_size(url), 1u);
    ASSERT_EQ(parse("-progress \"" + url + "2\""), 0);  // replaces (and closes) the first
    EXPECT_LT(parse("-progress " + (dir / "missing" / "p.txt").string()), 0);
    ASSERT_FALSE(core_lines(llError).empty());
    EXPECT_EQ(core_lines(llError)[0].rfind("Error: Failed to open progress URL \"", 0), 0u);
    EXPECT_NE(core.progress_avio, nullptr);
}

TEST_F(OptionTest, DeprecatedAndRemovedRows) {
    ASSERT_EQ(parse("-deinterlace"), 0);
    EXPECT_EQ(core.do_deinterlace, 1);
    EXPECT_TRUE(has_line(llWarning, "-deinterlace is deprecated, use -filter:v yadif instead"));

    for (const char* name : {"sameq", "same_quant"}) {
        EXPECT_EQ(parse(std::string("-") + name), AVERROR(EINVAL));
        EXPECT_TRUE(has_line(llError, Format("Option \"%s\" was removed. If you are looking for an option to "
                                             "preserve the quality (which is not what -%s was for), use "
                                             "-qscale 0 or an equivalent quality factor option.",
                                             name, name)));
    }
    core.strict_options = false;
    parse("-vc 1 -tvstd pal");
    EXPECT_TRUE(has_line(llWarning, "This option is deprecated, use -channel."));
    EXPECT_TRUE(has_line(llWarning, "This option is deprecated, use -standard."));
}

TEST_F(OptionTest, InformationUnsupportedAndHookRows) {
    ASSERT_EQ(parse("-formats -h --help -version"), 0);
    EXPECT_EQ(core_lines(llWarning), (std::vector<std::string>{"Warning: options \"formats\" not supported, ignore",
                                                               "Warning: options \"h\" not supported, ignore",
                                                               "Warning: options \"-help\" not supported, ignore",
                                                               "Warning: options \"version\" not supported, ignore"}));
    for (const char* text : {"-report", "-benchmark", "-stdin", "-pre x", "-timelimit 5", "-target dvd", "-vhook x.so",
                             "-fpre x.ffpreset"}) {
        EXPECT_EQ(parse(text), AVERROR(EINVAL)) << text;
        const std::string name = split_option_text(text)[0].substr(1);
        EXPECT_TRUE(has_line(llError, "options \"" + name + "\" not supported")) << text;
    }
    ASSERT_EQ(parse("-AudioInputHook -AudioOutputHook -VideoInputHook -VideoOutputHook "
                    "-FrameInputHook -FrameOutputHook -Join"),
              0);
    EXPECT_TRUE(core_lines(llWarning).empty());
    ASSERT_EQ(parse("-VideoHookBitsPixel 24"), 0);
    EXPECT_EQ(core.video_hook_bits_pixel, 24);
}

TEST_F(OptionTest, StreamMaps) {
    add_fake_input("av");    // #0
    add_fake_input("vaaa");  // #1
    struct Case {
        const char* text;
        std::vector<std::array<int, 5>> maps;  // disabled, file, stream, sync file, sync stream
    };
    const Case cases[] = {
        {"-map 0:a:0", {{0, 0, 0, 0, 0}}},
        {"-map 1:a", {{0, 1, 1, 1, 1}, {0, 1, 2, 1, 2}, {0, 1, 3, 1, 3}}},
        {"-map 1", {{0, 1, 0, 1, 0}, {0, 1, 1, 1, 1}, {0, 1, 2, 1, 2}, {0, 1, 3, 1, 3}}},
        {"-map 0:a,1:v", {{0, 0, 0, 1, 0}}},
        {"-map 0:a,1", {{0, 0, 0, 1, 0}}},
        {"-map 1:a -map -1:a:1", {{0, 1, 1, 1, 1}, {1, 1, 2, 1, 2}, {0, 1, 3, 1, 3}}},
        {"-map 0 -map -0:v -map 0:v", {{0, 0, 0, 0, 0}, {1, 0, 1, 0, 1}, {0, 0, 1, 0, 1}}},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(parse(c.text), 0) << c.text;
        ASSERT_EQ(ctx.stream_maps.size(), c.maps.size()) << c.text;
        for (size_t i = 0; i < c.maps.size(); ++i) {
            const TStreamMap& m = ctx.stream_maps[i];
            EXPECT_EQ(
                (std::array<int, 5>{m.disabled, m.file_index, m.stream_index, m.sync_file_index, m.sync_stream_index}),
                c.maps[i])
                << c.text << " #" << i;
        }
    }
    ASSERT_EQ(parse("-map [out] -map \"[mix]\" -map -[out]"), 0);
    ASSERT_EQ(ctx.stream_maps.size(), 2u);
    EXPECT_EQ(ctx.stream_maps[0].linklabel, "out");
    EXPECT_TRUE(ctx.stream_maps[0].disabled);
    EXPECT_EQ(ctx.stream_maps[1].linklabel, "mix");
}

TEST_F(OptionTest, StreamMapErrorsRaise) {
    add_fake_input("v");
    add_fake_input("a");
    const std::pair<const char*, const char*> cases[] = {
        {"-map 0:a:0", "Stream map \"0:a:0\" matches no streams."},
        {"-map -1:v", "Stream map \"-1:v\" matches no streams."},
        {"-map -[none]", "Stream map \"-[none]\" matches no streams."},
        {"-map 2", "Invalid input file index: 2."},
        {"-map x:a", "Invalid input file index: x."},
        {"-map 99999999999", "Invalid input file index: 99999999999."},
        {"-map 0,5", "Invalid sync file index: 5."},
        {"-map 0,1:v", "Sync stream specification in map 0,1:v does not match any streams."},
        {"-map [out", "Invalid output link label: [out."},
    };
    for (const auto& [text, message] : cases) {
        try {
            parse(text);
            ADD_FAILURE() << "no exception for " << text;
        } catch (const FFmpegException& e) {
            EXPECT_EQ(std::string(e.what()), message);
            EXPECT_EQ(core.last_error(), message);
            EXPECT_TRUE(has_line(llFatal, message));
        }
    }
    EXPECT_THROW(parse("-map 0:zz"), FFmpegException);
    EXPECT_EQ(core.last_error().rfind("check_stream_specifier: ", 0), 0u);
}

TEST_F(OptionTest, ChannelMapsMetadataMapsAndStreamIds) {
    add_fake_input("va", 6);
    ASSERT_EQ(parse("-map_channel 0.1.5 -map_channel -1 -map_channel 0.1.0:0.1"), 0);
    ASSERT_EQ(ctx.audio_channel_maps.size(), 3u);
    EXPECT_EQ(ctx.audio_channel_maps[0].channel_index, 5);
    EXPECT_EQ(ctx.audio_channel_maps[1].file_index, -1);
    EXPECT_EQ(ctx.audio_channel_maps[2].ostream_index, 1);
    const std::pair<const char*, const char*> bad_maps[] = {
        {"-map_channel 1.0.0", "mapchan: invalid input file index: 1"},
        {"-map_channel 0.2.0", "mapchan: invalid input file stream index #0.2"},
        {"-map_channel 0.0.0", "mapchan: stream #0.0 is not an audio stream."},
        {"-map_channel 0.1.6", "mapchan: invalid audio channel #0.1.6"},
        {"-map_channel 0.1", "Syntax error, mapchan usage: [file.stream.channel|-1][:syncfile:syncstream]"},
        {"-map_metadata:x 0", "Invalid metadata type x."},
        {"-map_metadata:c 0:cx", "Invalid metadata specifier cx."},
        {"-map_metadata one", "Invalid metadata specifier one."},
        {"-streamid 3", "Invalid value \"3\" for option \"streamid\", required syntax is \"index:value\""},
        {"-streamid 5000:1", "The value for \"streamid\" was \"5000\" which is not within 0 - 1023"},
    };
    for (const auto& [text, message] : bad_maps) {
        EXPECT_THROW(parse(text), FFmpegException) << text;
        EXPECT_EQ(core.last_error(), message) << text;
    }

    ASSERT_EQ(parse("-map_metadata:s:a 0:g -map_metadata -1 -streamid 2:301 -attach cover.jpg "
                    "-filter_complex \"[0:a]volume=2[out]\""),
              0);
    EXPECT_EQ(ctx.metadata_streams_manual, 1);
    EXPECT_EQ(ctx.metadata_global_manual, 1);
    EXPECT_EQ(ctx.metadata_chapters_manual, 0);
    ASSERT_EQ(ctx.metadata_map.size(), 2u);
    EXPECT_EQ(ctx.metadata_map[0].specifier, "s:a");
    EXPECT_EQ(ctx.metadata_map[0].u, "0:g");
    EXPECT_EQ(ctx.streamid_map, (std::vector<int>{0, 0, 301}));
    EXPECT_EQ(ctx.attachments, std::vector<std::string>{"cover.jpg"});
    EXPECT_EQ(core.complex_filter_descriptions, std::vector<std::string>{"[0:a]volume=2[out]"});
}

TEST_F(OptionTest, FindCodec) {
    EXPECT_EQ(core.find_codec_or_die("aac", AVMEDIA_TYPE_AUDIO, true)->id, AV_CODEC_ID_AAC);
    EXPECT_EQ(core.find_codec_or_die("mp3float", AVMEDIA_TYPE_AUDIO, false)->id, AV_CODEC_ID_MP3);

    const AVCodec* by_descriptor = core.find_codec_or_die("mpeg4", AVMEDIA_TYPE_VIDEO, false);
    EXPECT_EQ(by_descriptor->id, AV_CODEC_ID_MPEG4);
    if (avcodec_find_encoder(AV_CODEC_ID_MP3)) {
        const AVCodec* mp3 = core.find_codec_or_die("mp3", AVMEDIA_TYPE_AUDIO, true);
        EXPECT_TRUE(has_line(llVerbose, Format("Matched encoder \"%s\" for codec \"mp3\".", mp3->name)));
    }
    EXPECT_THROW(core.find_codec_or_die("mpeg4", AVMEDIA_TYPE_AUDIO, true), FFmpegException);
    EXPECT_EQ(core.last_error(), "Invalid encoder type \"mpeg4\"");
    EXPECT_THROW(core.find_codec_or_die("nosuchcodec", AVMEDIA_TYPE_AUDIO, false), FFmpegException);
    EXPECT_EQ(core.last_error(), "Unknown decoder \"nosuchcodec\"");
    EXPECT_TRUE(has_line(llFatal, "Unknown decoder \"nosuchcodec\""));
}

}  // namespace
}  // namespace sonorix::test
