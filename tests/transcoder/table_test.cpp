// The option table as a whole, the context defaults and the error texts.
#include <set>

#include "option_test_util.h"

namespace sonorix::test {
namespace {

TEST_F(OptionTest, TableHasEveryNameOnceAndAnEndRow) {
    const std::vector<std::string> expected = {
        "L",
        "h",
        "?",
        "help",
        "-help",
        "version",
        "formats",
        "codecs",
        "decoders",
        "encoders",
        "bsfs",
        "protocols",
        "filters",
        "pix_fmts",
        "layouts",
        "sample_fmts",
        "loglevel",
        "v",
        "report",
        "max_alloc",
        "cpuflags",
        "f",
        "y",
        "n",
        "c",
        "codec",
        "pre",
        "map",
        "map_channel",
        "map_metadata",
        "map_chapters",
        "t",
        "t_microsecond",
        "to",
        "to_microsecond",
        "fs",
        "ss",
        "ss_microsecond",
        "itsoffset",
        "itsoffset_microsecond",
        "itsscale",
        "timestamp",
        "metadata",
        "dframes",
        "benchmark",
        "benchmark_all",
        "progress",
        "stdin",
        "timelimit",
        "dump",
        "hex",
        "re",
        "target",
        "vsync",
        "async",
        "adrift_threshold",
        "copyts",
        "copytb",
        "shortest",
        "dts_delta_threshold",
        "dts_error_threshold",
        "xerror",
        "copyinkf",
        "copypriorss",
        "frames",
        "tag",
        "q",
        "qscale",
        "profile",
        "filter",
        "reinit_filter",
        "filter_complex",
        "stats",
        "attach",
        "dump_attachment",
        "vframes",
        "r",
        "s",
        "aspect",
        "pix_fmt",
        "bits_per_raw_sample",
        "intra",
        "vn",
        "vdt",
        "rc_override",
        "vcodec",
        "sameq",
        "same_quant",
        "timecode",
        "pass",
        "passlogfile",
        "deinterlace",
        "psnr",
        "vstats",
        "vstats_file",
        "vf",
        "intra_matrix",
        "inter_matrix",
        "top",
        "dc",
        "vtag",
        "qphist",
        "force_fps",
        "streamid",
        "force_key_frames",
        "b",
        "aframes",
        "aq",
        "ar",
        "ac",
        "an",
        "acodec",
        "atag",
        "vol",
        "sample_fmt",
        "channel_layout",
        "af",
        "guess_layout_max",
        "sn",
        "scodec",
        "stag",
        "fix_sub_duration",
        "vc",
        "tvstd",
        "isync",
        "muxdelay",
        "muxpreload",
        "bsf",
        "absf",
        "vbsf",
        "apre",
        "vpre",
        "spre",
        "fpre",
        "dcodec",
        "dn",
        "vhook",
        "VideoHookBitsPixel",
        "TimeStart",
        "timestart",
        "TimeLength",
        "timelength",
        "AudioInputHook",
        "AudioOutputHook",
        "VideoInputHook",
        "VideoOutputHook",
        "FrameInputHook",
        "FrameOutputHook",
        "Join",
        "disposition",
    };
    const auto& table = core.option_table();
    ASSERT_EQ(table.size(), 151u);
    EXPECT_TRUE(table.back().name.empty());
    std::vector<std::string> names;
    for (size_t i = 0; i + 1 < table.size(); ++i) names.emplace_back(table[i].name);
    EXPECT_EQ(names, expected);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size());
}

// One table per process, whatever parses; each alias row leaves the context
// as the option it names does.
TEST_F(OptionTest, TableIsSharedAndAliasRowsParseLikeTheirTargets) {
    TCustomFFmpegOpt other;
    EXPECT_EQ(&other.option_table(), &core.option_table());
    EXPECT_EQ(other.find_option("af"), core.find_option("af"));
    auto lists = [this] {
        return std::vector{last_entry(ctx.filters), last_entry(ctx.codec_names), last_entry(ctx.max_frames),
                           last_entry(ctx.qscale),  last_entry(ctx.codec_tags),  last_entry(ctx.bitstream_filters)};
    };
    std::set<std::string> aliases;
    for (const TOptionDef& po : core.option_table()) {
        const auto* alias = std::get_if<TOptionAlias>(&po.dest);
        if (!alias) continue;
        aliases.emplace(po.name);
        ASSERT_EQ(parse("-" + std::string(po.name) + " 1"), 0) << po.name;
        const auto by_alias = lists();
        ASSERT_EQ(parse("-" + std::string(alias->target) + " 1"), 0) << alias->target;
        EXPECT_EQ(by_alias, lists()) << po.name;
        EXPECT_NE(by_alias, decltype(by_alias)(6, {"<none>", ""})) << po.name;
    }
    EXPECT_EQ(aliases, (std::set<std::string>{"af", "vf", "acodec", "vcodec", "scodec", "dcodec", "aframes", "vframes",
                                              "dframes", "aq", "atag", "vtag", "stag", "absf", "vbsf"}));
}

TEST_F(OptionTest, RowsUsedByJobsHaveTheirContractFlags) {
    const std::pair<const char*, uint32_t> rows[] = {
        {"f", 0x4009},          {"y", 0x2},
        {"c", 0x8009},          {"codec", 0x8009},
        {"map", 0x2005},        {"t", 0x14001},
        {"ss", 0x14001},        {"q", 0x28005},
        {"filter", 0x8009},     {"af", 0x2021},
        {"vf", 0x2011},         {"b", 0x2011},
        {"r", 0x8019},          {"s", 0x8219},
        {"aspect", 0x8019},     {"ar", 0x80a1},
        {"ac", 0x80a1},         {"acodec", 0x2021},
        {"vcodec", 0x2011},     {"an", 0x4022},
        {"vn", 0x4012},         {"TimeStart", 0x2005},
        {"timestart", 0x2005},  {"TimeLength", 0x2005},
        {"timelength", 0x2005}, {"AudioInputHook", 0x800},
        {"Join", 0x800},
    };
    for (const auto& [name, flags] : rows) {
        const TOptionDef* po = core.find_option(name);
        ASSERT_NE(po, nullptr) << name;
        EXPECT_EQ(po->flags, flags) << name;
    }
    EXPECT_EQ(core.find_option("map")->argname,
              "[-]input_file_id[:stream_specifier][,sync_file_id[:stream_specifier]]");
    EXPECT_EQ(core.find_option("t")->help, "record or transcode \"duration\" seconds of audio/video");
    EXPECT_EQ(core.find_option("c:a:0"), core.find_option("c"));
    EXPECT_EQ(core.find_option(""), nullptr);
    EXPECT_EQ(core.find_option(":a"), nullptr);
    EXPECT_EQ(core.find_option("default"), nullptr);
}

// Every storing row takes a value of its flags' type into its destination,
// and lands in the group its flags say.
TEST_F(OptionTest, EveryStoringRowStoresItsValue) {
    int checked = 0;
    for (const TOptionDef& po : core.option_table()) {
        if (po.name.empty() || std::holds_alternative<THandler>(po.dest)) continue;
        std::string arg = "1";
        if (po.flags & ofString)
            arg = "x";
        else if (po.flags & ofTime)
            arg = "1.5";
        else if (po.flags & (ofFloat | ofDouble))
            arg = "0.5";
        std::string text = "-" + std::string(po.name);
        if (po.flags & ofSpec) text += ":a";
        if (po.flags & ofHasArg) text += " " + arg;
        ASSERT_EQ(parse(text), 0) << text;
        const bool per_file = po.flags & (ofPerFile | ofOffset | ofSpec);
        EXPECT_EQ(core.file_group().opts.size(), per_file ? 1u : 0u) << text;
        EXPECT_EQ(core.global_group().opts.size(), per_file ? 0u : 1u) << text;
        ++checked;
    }
    EXPECT_GT(checked, 60);
}

// The "no limit" defaults are what later steps test against.
TEST_F(OptionTest, ReleasedContextsComeBackWithTheirDefaults) {
    ASSERT_EQ(parse("-t 5 -to 6 -fs 100 -map_chapters 1 -c:a aac -b:a 1k"), 0);
    core.release_options_context(ctx);
    EXPECT_TRUE(ctx.codec_names.empty());
    EXPECT_EQ(ctx.recording_time, INT64_MAX);
    EXPECT_EQ(ctx.stop_time, INT64_MAX);
    EXPECT_EQ(ctx.limit_filesize, INT64_MAX);
    EXPECT_EQ(ctx.chapters_input_file, INT_MAX);
    EXPECT_FLOAT_EQ(ctx.mux_max_delay, 0.7f);
    EXPECT_TRUE(core.file_group().codec_opts.empty());
    core.init_options_context(ctx);
    EXPECT_EQ(ctx.g, &core.file_group());
}

TEST(ErrorCodeText, TableAndFallback) {
    EXPECT_EQ(error_code_text(-2), "No such file or directory");
    EXPECT_EQ(error_code_text(-12), "Not enough space / Out of memory");
    EXPECT_EQ(error_code_text(-22), "Invalid argument / Invalid data found when processing input");
    EXPECT_EQ(error_code_text(AVERROR(EINVAL)), error_code_text(-22));
    EXPECT_EQ(error_code_text(AVERROR_OPTION_NOT_FOUND), "Option not found");
    EXPECT_EQ(error_code_text(AVERROR_EOF), "End of file");
    EXPECT_EQ(error_code_text(AVERROR_INVALIDDATA), "Invalid data found when processing input");
    EXPECT_EQ(error_code_text(-1234567), "Error number -1234567 occurred");
    EXPECT_EQ(error_code_text(0), "Error number 0 occurred");
    EXPECT_EQ(error_code_text("in.wav", -2), "in.wav: No such file or directory");
}

TEST_F(OptionTest, OptionsLeftOverByTheLibraries) {
    Dictionary left;
    core.check_options_consumed(left.get());
    EXPECT_EQ(core.last_error(), "");
    left.set("bogus", "1");
    EXPECT_THROW(core.check_options_consumed(left.get()), FFmpegException);
    EXPECT_EQ(core.last_error(), "Option bogus not found.");
    core.strict_options = false;
    core.set_last_error("");
    EXPECT_NO_THROW(core.check_options_consumed(left.get()));
    EXPECT_EQ(core.last_error(), "Option bogus not found.");
}

}  // namespace
}  // namespace sonorix::test
