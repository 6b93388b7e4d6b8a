// ParseOptions: grouping, strict mode, routing to the libraries, presets,
// value errors, and input that must not break the parser.
#include "option_test_util.h"

namespace sonorix::test {
namespace {

using Lines = std::vector<std::string>;

TEST_F(OptionTest, MeasurementJobGroupsThenApplies) {
    ASSERT_EQ(parse(R"(-af "volumedetect" -f null)"), 0);
    const auto& opts = core.file_group().opts;
    ASSERT_EQ(opts.size(), 2u);
    EXPECT_EQ(opts[0].opt->name, "af");
    EXPECT_EQ(opts[0].val, "volumedetect");
    EXPECT_EQ(opts[1].opt->name, "f");
    EXPECT_EQ(opts[1].val, "null");
    EXPECT_TRUE(core.global_group().opts.empty());
    ASSERT_EQ(ctx.filters.size(), 1u);
    EXPECT_EQ(last_entry(ctx.filters), std::make_pair(std::string("a"), std::string("volumedetect")));
    EXPECT_EQ(ctx.format, "null");
    EXPECT_EQ(core_lines(llInfo), Lines{"Info: ParseOptions for output file: -af \"volumedetect\" -f null"});
    EXPECT_TRUE(has_line(llDebug, "Parsing a group of options: output file."));
}

TEST_F(OptionTest, SpecifiersSelectStreams) {
    ASSERT_EQ(parse("-c:v copy -q:a 0 -ar 44100"), 0);
    EXPECT_EQ(last_entry(ctx.codec_names), std::make_pair(std::string("v"), std::string("copy")));
    EXPECT_EQ(last_entry(ctx.qscale), std::make_pair(std::string("a"), std::string("0")));
    EXPECT_EQ(last_entry(ctx.audio_sample_rate), std::make_pair(std::string(""), std::string("44100")));

    add_fake_input("va");
    AVFormatContext* ic = inputs[0].ctx.get();
    AVStream* video = ic->streams[0];
    AVStream* audio = ic->streams[1];
    EXPECT_EQ(core.match_per_stream(ctx.codec_names, ic, video), "copy");
    EXPECT_FALSE(core.match_per_stream(ctx.codec_names, ic, audio));
    EXPECT_EQ(core.match_per_stream(ctx.qscale, ic, audio), 0.0);
    EXPECT_FALSE(core.match_per_stream(ctx.qscale, ic, video));
    EXPECT_EQ(core.match_per_stream(ctx.audio_sample_rate, ic, audio), 44100);
    EXPECT_EQ(core.match_per_stream(ctx.audio_sample_rate, ic, video), 44100);
}

TEST_F(OptionTest, RepeatedOptionKeepsBothAndTheLaterWins) {
    add_fake_input("a");
    ASSERT_EQ(parse("-c:a aac -c:a libmp3lame -c:v h264 -c copy"), 0);
    ASSERT_EQ(ctx.codec_names.size(), 4u);
    AVFormatContext* ic = inputs[0].ctx.get();
    EXPECT_EQ(core.match_per_stream(ctx.codec_names, ic, ic->streams[0]), "copy");
    ctx.codec_names.pop_back();
    EXPECT_EQ(core.match_per_stream(ctx.codec_names, ic, ic->streams[0]), "libmp3lame");
    // Exact lookup (used for forced decoders) ignores the unspecified entry.
    ASSERT_NE(TCustomFFmpegOpt::exact_specifier(ctx.codec_names, "a"), nullptr);
    EXPECT_EQ(*TCustomFFmpegOpt::exact_specifier(ctx.codec_names, "a"), "libmp3lame");
    EXPECT_EQ(*TCustomFFmpegOpt::exact_specifier(ctx.codec_names, "v"), "h264");
    EXPECT_EQ(TCustomFFmpegOpt::exact_specifier(ctx.codec_names, "s"), nullptr);
}

TEST_F(OptionTest, InvalidSpecifierRaisesInTheLookup) {
    add_fake_input("a");
    ASSERT_EQ(parse("-c:zz copy"), 0);
    AVFormatContext* ic = inputs[0].ctx.get();
    EXPECT_THROW(core.match_per_stream(ctx.codec_names, ic, ic->streams[0]), FFmpegException);
    EXPECT_EQ(core.last_error().rfind("check_stream_specifier: ", 0), 0u) << core.last_error();
}

TEST_F(OptionTest, UnknownOptionStrictAndLenient) {
    core.strict_options = true;
    EXPECT_EQ(parse("-foo 1"), AVERROR_OPTION_NOT_FOUND);
    EXPECT_EQ(core_lines(), (Lines{"Info: ParseOptions for output file: -foo 1", "Error: Unrecognized option \"foo\".",
                                   "Fatal: Option not found: -foo"}));
    EXPECT_EQ(core.last_error(), "Option not found: -foo");

    core.strict_options = false;
    core.set_last_error("");
    EXPECT_EQ(parse("-foo 1 -y"), 0);
    EXPECT_EQ(core_lines(),
              (Lines{"Info: ParseOptions for output file: -foo 1 -y", "Warning: Unrecognized option \"foo\".",
                     "Warning: Invalid option 1 found while parsing options, ignore",
                     "Debug: Parsing a group of options: global."}));
    EXPECT_EQ(core.file_overwrite, 1);
    EXPECT_EQ(core.last_error(), "");
}

TEST_F(OptionTest, BareArgumentFailsInStrictMode) {
    EXPECT_EQ(parse("-y out.mp3 -an"), AVERROR(EINVAL));
    EXPECT_EQ(core.last_error(),
              "Failed to parse options on out.mp3\nInvalid argument / Invalid data found when processing input");
    EXPECT_EQ(core.file_overwrite, 0);  // nothing is applied after a failed group parse
    EXPECT_EQ(parse(R"(-y "")"), AVERROR(EINVAL));
    EXPECT_EQ(core.option_error(), "Failed to parse options");
    EXPECT_EQ(parse("-"), AVERROR(EINVAL));
    EXPECT_EQ(core.option_error(), "Failed to parse options on -");

    core.strict_options = false;
    EXPECT_EQ(parse("-y out.mp3 -an"), 0);
    EXPECT_TRUE(has_line(llWarning, "Invalid option out.mp3 found while parsing options, ignore"));
    EXPECT_EQ(ctx.audio_disable, 1);
}

TEST_F(OptionTest, LogLevelTakesEffectBeforeAnyOption) {
    core.strict_options = false;
    EXPECT_EQ(parse("-foo 1 -metadata -v -loglevel quiet"), 0);
    EXPECT_EQ(logger->LogLevel(), llQuiet);
    // The option text line comes first; nothing after it passes the filter.
    EXPECT_EQ(core_lines(), Lines{"Info: ParseOptions for output file: -foo 1 -metadata -v -loglevel quiet"});
    EXPECT_EQ(last_entry(ctx.metadata).second, "-v");  // -v was the value of -metadata

    logger->SetLogLevel(llDebug);
    EXPECT_EQ(parse("-v error -loglevel warning"), 0);
    EXPECT_EQ(logger->LogLevel(), llWarning);  // applied in order, the later one stays
}

TEST_F(OptionTest, UnterminatedQuoteIsNamed) {
    for (const char* text : {R"( -af "volume=2)", R"(-metadata "title=a \" b)", "-y \"", R"(-f "a"")"}) {
        core.strict_options = true;
        EXPECT_EQ(parse(text), AVERROR(EINVAL)) << text;
        EXPECT_EQ(core.last_error(), std::string("Unterminated quote in option text: ") + text +
                                         "\nInvalid argument / Invalid data found when processing input");
        EXPECT_TRUE(ctx.filters.empty() && ctx.metadata.empty());
        core.strict_options = false;
        EXPECT_EQ(parse(text), 0) << text;
        EXPECT_TRUE(has_line(llWarning, std::string("Unterminated quote in option text: ") + text));
    }
    // Zero and positive limits stay as they were.
    core.strict_options = true;
    ASSERT_EQ(parse(R"(-t 0 -fs 0 -af "volume=2" -metadata "a=\"b\"")"), 0) << core.last_error();
    EXPECT_EQ(ctx.recording_time, 0);
    EXPECT_EQ(ctx.limit_filesize, 0);
}

TEST_F(OptionTest, MissingArgument) {
    EXPECT_EQ(parse("-y -f"), AVERROR(EINVAL));
    EXPECT_TRUE(has_line(llError, "Missing argument for option \"f\"."));
    EXPECT_EQ(core.last_error(),
              "Missing argument for option \"f\".\n"
              "Invalid argument / Invalid data found when processing input");
}

TEST_F(OptionTest, NoPrefixAndBooleans) {
    ASSERT_EQ(parse("-y -nostats -noy -vn -nosn"), 0);
    EXPECT_EQ(core.print_stats, 0);
    EXPECT_EQ(core.file_overwrite, 0);
    EXPECT_EQ(ctx.video_disable, 1);
    EXPECT_EQ(ctx.subtitle_disable, 0);
    EXPECT_EQ(parse("-nof x"), AVERROR_OPTION_NOT_FOUND);  // -no works for boolean rows only
}

TEST_F(OptionTest, UnknownNamesGoToTheLibraries) {
    ASSERT_EQ(parse("-b:a 128k -movflags +faststart -flags +global_header -flags +bitexact "
                    "-sws_flags bicubic -dither_method triangular -threads 2"),
              0);
    const TOptionGroup& g = core.file_group();
    EXPECT_STREQ(g.codec_opts.get("b:a"), "128k");
    EXPECT_STREQ(g.codec_opts.get("flags"), "+global_header+bitexact");
    EXPECT_STREQ(g.codec_opts.get("threads"), "2");
    EXPECT_STREQ(g.format_opts.get("movflags"), "+faststart");
    EXPECT_STREQ(g.sws_dict.get("sws_flags"), "bicubic");
    EXPECT_STREQ(g.swr_opts.get("dither_method"), "triangular");
    EXPECT_TRUE(core_lines(llWarning).empty());

    // A flags value without a sign replaces rather than glues on.
    ASSERT_EQ(parse("-flags +bitexact -flags global_header"), 0);
    EXPECT_STREQ(core.file_group().codec_opts.get("flags"), "global_header");

    ASSERT_EQ(parse("-strict -2"), 0);
    EXPECT_TRUE(has_line(llVerbose, "Routing strict to codec and muxer layer"));
    EXPECT_STREQ(core.file_group().format_opts.get("strict"), "-2");
}

TEST_F(OptionTest, LibraryRefusesAValue) {
    EXPECT_LT(parse("-sws_flags nonsense"), 0);
    EXPECT_TRUE(has_line(llError, "Error setting option \"sws_flags\""));
    EXPECT_EQ(core.option_error(), "Error parsing option \"sws_flags\" with argument \"nonsense\".");
}

TEST_F(OptionTest, DebugOptionRaisesTheLogLevel) {
    logger->SetLogLevel(llInfo);
    ASSERT_EQ(parse("-debug mb_type"), 0);
    EXPECT_EQ(logger->LogLevel(), llDebug);
}

TEST_F(OptionTest, JobOptionTextsParseWithoutWarnings) {
    add_fake_input("a");
    add_fake_input("vaa");
    const char* jobs[] = {
        " -y -c:v copy -b:a 192000 -af volume=1.5",
        " -y -q:v 0 -q:a 0 -af volume=3.5dB",
        " -af \"volumedetect\" -f null -vn",
        " -y -map 0:a:0 -map 1:0 -map 1:2 -c:v copy -b:a 128000",
        " -y -vcodec libx264 -acodec libmp3lame -r 25 -vf scale=320:240 -aspect 4:3 -ar 44100 -ac 1",
        " -y -f mp3 -t 10.5 -ss 00:00:01.250 -s 640x480",
    };
    for (const char* job : jobs) {
        EXPECT_EQ(parse(job), 0) << job;
        std::vector<std::string> bad;
        for (const LogLine& l : lines) {
            if (l.level <= llWarning) bad.push_back(l.text);
        }
        EXPECT_TRUE(bad.empty()) << job << ": " << (bad.empty() ? "" : bad[0]);
    }
    ASSERT_EQ(parse(jobs[3]), 0);
    ASSERT_EQ(ctx.stream_maps.size(), 3u);
    EXPECT_EQ(ctx.stream_maps[2].file_index, 1);
    EXPECT_EQ(ctx.stream_maps[2].stream_index, 2);
    EXPECT_STREQ(core.file_group().codec_opts.get("b:a"), "128000");
    ASSERT_EQ(parse(jobs[5]), 0);
    EXPECT_EQ(ctx.recording_time, 10500000);
    EXPECT_EQ(ctx.start_time, 1250000);
}

TEST_F(OptionTest, ValueErrorsRaiseWithTheirText) {
    const std::pair<const char*, const char*> cases[] = {
        {"-ar 99999999999", "Expected integer for \"ar\" but found \"99999999999\""},
        {"-ar 44.1k", "Expected integer for \"ar\" but found \"44.1k\""},
        {"-fs 1e3", "Expected int64 for \"fs\" but found \"1e3\""},
        {"-t abc", "Invalid duration specification for \"t\": \"abc\""},
        {"-muxdelay 1,5", "Expected float for \"muxdelay\" but found \"1,5\""},
        {"-q:a x", "Expected double for \"q:a\" but found \"x\""},
        {"-async 1e999", "Expected integer for \"async\" but found \"1e999\""},
        // Limits below zero would end the output before it began.
        {"-t -5", "Invalid duration specification for \"t\": \"-5\""},
        {"-t -0:00:01", "Invalid duration specification for \"t\": \"-0:00:01\""},
        {"-t_microsecond -1", "Invalid duration specification for \"t_microsecond\": \"-1\""},
        {"-TimeLength -1.5", "Invalid duration specification for \"t_microsecond\": \"-1500000\""},
        {"-fs -1", "Invalid size specification for \"fs\": \"-1\""},
    };
    for (const auto& [text, message] : cases) {
        try {
            parse(text);
            ADD_FAILURE() << "no exception for " << text;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), message);
        }
    }
}

TEST_F(OptionTest, PresetsAppliedBetweenGlobalAndFileOptions) {
    const std::string presets =
        "# a comment\r\n  acodec = libmp3lame <CRLF>b=128k\r\n\n  #vcodec=mpeg4\rmovflags=+faststart";
    ASSERT_EQ(parse("-c:a aac", presets), 0);
    ASSERT_EQ(ctx.codec_names.size(), 2u);
    EXPECT_EQ(ctx.codec_names[0].specifier, "a");
    EXPECT_EQ(ctx.codec_names[0].u, "libmp3lame");
    EXPECT_EQ(ctx.codec_names[1].u, "aac");  // the file's own option comes later and wins
    EXPECT_STREQ(core.file_group().codec_opts.get("b"), "128k");
    EXPECT_STREQ(core.file_group().format_opts.get("movflags"), "+faststart");
    EXPECT_TRUE(has_line(llDebug, "Applying preset acodec with argument libmp3lame."));
    EXPECT_TRUE(has_line(llInfo, "ParsePresets for output file:\n" + presets));

    // Presets alone, without an option text.
    ASSERT_EQ(parse("", "VCODEC=mpeg4"), 0);
    EXPECT_EQ(last_entry(ctx.codec_names), std::make_pair(std::string("v"), std::string("mpeg4")));
}

TEST_F(OptionTest, InvalidPresetLines) {
    EXPECT_EQ(parse("-y", "b=1k\nnovalue\nab=2k"), AVERROR(EINVAL));
    EXPECT_TRUE(has_line(llError, "Invalid syntax: \"novalue\""));
    EXPECT_EQ(core.option_error(), "Invalid syntax: \"novalue\"");
    EXPECT_EQ(parse("", "=x"), AVERROR(EINVAL));

    EXPECT_EQ(parse("-y", "nosuchoption=1"), AVERROR_OPTION_NOT_FOUND);
    EXPECT_EQ(core.last_error(),
              "Invalid option or argument: \"nosuchoption=1\", parsed as \"nosuchoption\" = \"1\"\n"
              "Option not found: nosuchoption");

    core.strict_options = false;
    ASSERT_EQ(parse("-y", "novalue\nnosuchoption=1\nb=64k"), 0);
    EXPECT_TRUE(has_line(llError, "Invalid syntax: \"novalue\""));
    EXPECT_STREQ(core.file_group().codec_opts.get("b"), "64k");
}

TEST_F(OptionTest, ParsingTwiceDoesNotRepeatOptions) {
    core.init_options_context(ctx);
    ASSERT_EQ(core.ParseOptions(ctx, "-af volume=2", "output file", ""), 0);
    ASSERT_EQ(core.ParseOptions(ctx, "", "output file", "b=1k"), 0);
    EXPECT_EQ(ctx.filters.size(), 1u);
    ASSERT_EQ(core.ParseOptions(ctx, "-f null", "output file", ""), 0);
    EXPECT_EQ(ctx.filters.size(), 1u);
    EXPECT_EQ(ctx.format, "null");
}

// Nothing here may crash, hang or leak; results may be failures.
TEST_F(OptionTest, HostileInput) {
    std::string many;
    for (int i = 0; i < 2500; ++i) many += " -an -c:a copy -y";
    std::string bare;
    for (int i = 0; i < 10000; ++i) bare += " x";
    const std::string texts[] = {
        "",
        " ",
        "\"",
        "-",
        "--",
        "-:",
        "-:a 1",
        "-c:",
        "-af \"unterminated",
        "\\\\\\",
        "-f \xff\xfe\xfd",
        "-\xc3\x28 1",
        std::string("-f a\0b", 6),
        many,
        bare,
        "-t 99999999999999999999999",
        "-ss -",
        "-map",
        "-map \"\"",
        "-map -",
        "-map [",
        "-loglevel",
        "-TimeStart 1e308",
        "-TimeStart nan",
        "-streamid 99999999:1",
        "-channel_layout \"\"",
    };
    for (bool strict : {true, false}) {
        core.strict_options = strict;
        for (const std::string& text : texts) {
            try {
                parse(text, text);
            } catch (const std::runtime_error&) {
                // value errors and set-up errors raise by contract
            }
        }
    }
    core.strict_options = false;
    EXPECT_EQ(parse(many), 0);
    EXPECT_EQ(ctx.codec_names.size(), 2500u);
}

}  // namespace
}  // namespace sonorix::test
