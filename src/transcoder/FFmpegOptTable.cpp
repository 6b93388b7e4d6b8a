// The option table: every option name the core knows, with its flags, where
// its value goes, its help text and its argument name.
#include "transcoder/FFmpegOpt.h"

namespace sonorix {

const std::vector<TOptionDef>& TCustomFFmpegOpt::option_table() {
    static const std::vector<TOptionDef> table = make_option_table();
    return table;
}

std::vector<TOptionDef> TCustomFFmpegOpt::make_option_table() {
    using C = TOptionsContext;
    using H = TCustomFFmpegOpt;
    std::vector<TOptionDef> options;
    options.reserve(151);
    auto row = [&options](std::string_view name, uint32_t flags, TOptionDest dest, std::string_view help,
                          std::string_view argname = {}) {
        options.push_back(TOptionDef{name, flags, dest, help, argname});
    };
    const THandler info = &H::opt_info;
    const THandler unsupported = &H::opt_not_supported;
    const THandler accept = &H::opt_accept;
    auto alias = [](std::string_view target) { return TOptionAlias{target}; };

    // Information rows: a task has nowhere to print such listings.
    row("L", ofInfo, info, "show license");
    row("h", ofInfo, info, "show help");
    row("?", ofInfo, info, "show help");
    row("help", ofInfo, info, "show help");
    row("-help", ofInfo, info, "show help");
    row("version", ofInfo, info, "show version");
    row("formats", ofInfo, info, "show available formats");
    row("codecs", ofInfo, info, "show available codecs");
    row("decoders", ofInfo, info, "show available decoders");
    row("encoders", ofInfo, info, "show available encoders");
    row("bsfs", ofInfo, info, "show available bit stream filters");
    row("protocols", ofInfo, info, "show available protocols");
    row("filters", ofInfo, info, "show available filters");
    row("pix_fmts", ofInfo, info, "show available pixel formats");
    row("layouts", ofInfo, info, "show standard channel layouts");
    row("sample_fmts", ofInfo, info, "show available audio sample formats");
    row("loglevel", ofHasArg, &H::opt_loglevel, "set logging level", "loglevel");
    row("v", ofHasArg, &H::opt_loglevel, "set logging level", "loglevel");
    row("report", ofInfo, unsupported, "generate a report");
    row("max_alloc", ofHasArg, &H::opt_max_alloc, "set maximum size of a single allocated block", "bytes");
    row("cpuflags", ofHasArg | ofExpert, &H::opt_cpuflags, "force specific cpu flags", "flags");

    // Main options.
    row("f", ofHasArg | ofString | ofOffset, &C::format, "force format", "fmt");
    row("y", ofBool, &H::file_overwrite, "overwrite output files");
    row("n", ofBool, &H::no_file_overwrite, "never overwrite output files");
    row("c", ofHasArg | ofString | ofSpec, &C::codec_names, "codec name", "codec");
    row("codec", ofHasArg | ofString | ofSpec, &C::codec_names, "codec name", "codec");
    row("pre", ofHasArg | ofInfo | ofExpert, unsupported, "preset name", "preset");
    row("map", ofHasArg | ofExpert | ofPerFile, &H::opt_map, "set input stream mapping",
        "[-]input_file_id[:stream_specifier][,sync_file_id[:stream_specifier]]");
    row("map_channel", ofHasArg | ofExpert | ofPerFile, &H::opt_map_channel,
        "map an audio channel from one stream to another", "file.stream.channel[:syncfile.syncstream]");
    row("map_metadata", ofHasArg | ofExpert | ofPerFile, &H::opt_map_metadata,
        "set metadata information of outfile from infile", "outfile[,metadata]:infile[,metadata]");
    row("map_chapters", ofHasArg | ofExpert | ofInt | ofOffset, &C::chapters_input_file, "set chapters mapping",
        "input_file_index");
    row("t", ofHasArg | ofTime | ofOffset, &C::recording_time,
        "record or transcode \"duration\" seconds of audio/video", "duration");
    row("t_microsecond", ofHasArg | ofInt64 | ofOffset, &C::recording_time,
        "record or transcode duration in microseconds", "duration");
    row("to", ofHasArg | ofTime | ofOffset, &C::stop_time, "record or transcode stop time", "time_stop");
    row("to_microsecond", ofHasArg | ofInt64 | ofOffset, &C::stop_time, "record or transcode stop time in microseconds",
        "time_stop");
    row("fs", ofHasArg | ofInt64 | ofOffset, &C::limit_filesize, "set the limit file size in bytes", "limit_size");
    row("ss", ofHasArg | ofTime | ofOffset, &C::start_time, "set the start time offset", "time_off");
    row("ss_microsecond", ofHasArg | ofInt64 | ofOffset, &C::start_time, "set the start time offset in microseconds",
        "time_off");
    row("itsoffset", ofHasArg | ofExpert | ofTime | ofOffset, &C::input_ts_offset, "set the input ts offset",
        "time_off");
    row("itsoffset_microsecond", ofHasArg | ofExpert | ofInt64 | ofOffset, &C::input_ts_offset,
        "set the input ts offset in microseconds", "time_off");
    row("itsscale", ofHasArg | ofExpert | ofDouble | ofSpec, &C::ts_scale, "set the input ts scale", "scale");
    row("timestamp", ofHasArg | ofPerFile, &H::opt_recording_timestamp,
        "set the recording timestamp ('now' to set the current time)", "time");
    row("metadata", ofHasArg | ofString | ofSpec, &C::metadata, "add metadata", "string=string");
    row("dframes", ofHasArg | ofPerFile | ofExpert | ofData, alias("frames:d"),
        "set the number of data frames to record", "number");
    row("benchmark", ofInfo | ofExpert, unsupported, "add timings for benchmarking");
    row("benchmark_all", ofInfo | ofExpert, unsupported, "add timings for each task");
    row("progress", ofHasArg | ofExpert, &H::opt_progress, "write program-readable progress information", "url");
    row("stdin", ofInfo | ofExpert, unsupported, "enable or disable interaction on standard input");
    row("timelimit", ofHasArg | ofInfo, unsupported, "set max runtime in seconds", "limit");
    row("dump", ofBool | ofExpert, &H::do_pkt_dump, "dump each input packet");
    row("hex", ofBool | ofExpert, &H::do_hex_dump, "when dumping packets, also dump the payload");
    row("re", ofBool | ofExpert | ofOffset, &C::rate_emu, "read input at native frame rate");
    row("target", ofHasArg | ofPerFile | ofInfo, unsupported,
        "specify target file type (\"vcd\", \"svcd\", \"dvd\", \"dv\", \"dv50\", \"pal-vcd\", \"ntsc-svcd\", ...)",
        "type");
    row("vsync", ofHasArg | ofExpert, &H::opt_vsync, "video sync method", "");
    row("async", ofHasArg | ofInt | ofExpert, &H::audio_sync_method, "audio sync method", "");
    row("adrift_threshold", ofHasArg | ofFloat | ofExpert, &H::audio_drift_threshold, "audio drift threshold",
        "threshold");
    row("copyts", ofBool | ofExpert, &H::copy_ts, "copy timestamps");
    row("copytb", ofHasArg | ofInt | ofExpert, &H::copy_tb, "copy input stream time base when stream copying", "mode");
    row("shortest", ofBool | ofExpert | ofOffset, &C::shortest, "finish encoding within shortest input");
    row("dts_delta_threshold", ofHasArg | ofFloat | ofExpert, &H::dts_delta_threshold,
        "timestamp discontinuity delta threshold", "threshold");
    row("dts_error_threshold", ofHasArg | ofFloat | ofExpert, &H::dts_error_threshold,
        "timestamp error delta threshold", "threshold");
    row("xerror", ofBool, &H::exit_on_error, "exit on error");
    row("copyinkf", ofBool | ofExpert | ofSpec, &C::copy_initial_nonkeyframes, "copy initial non-keyframes");
    row("copypriorss", ofHasArg | ofInt | ofExpert | ofSpec, &C::copy_prior_start,
        "copy or discard frames before start time", "");
    row("frames", ofHasArg | ofInt64 | ofSpec, &C::max_frames, "set the number of frames to record", "number");
    row("tag", ofHasArg | ofString | ofSpec | ofExpert, &C::codec_tags, "force codec tag/fourcc", "fourcc/tag");
    row("q", ofHasArg | ofExpert | ofDouble | ofSpec, &C::qscale, "use fixed quality scale (VBR)", "q");
    row("qscale", ofHasArg | ofExpert | ofPerFile, &H::opt_qscale, "use fixed quality scale (VBR)", "q");
    row("profile", ofHasArg | ofExpert | ofPerFile, &H::opt_profile, "set profile", "profile");
    row("filter", ofHasArg | ofString | ofSpec, &C::filters, "set stream filtergraph", "filter_graph");
    row("reinit_filter", ofHasArg | ofInt | ofSpec, &C::reinit_filters, "reinit filtergraph on input parameter changes",
        "");
    row("filter_complex", ofHasArg | ofExpert, &H::opt_filter_complex, "create a complex filtergraph",
        "graph_description");
    row("stats", ofBool, &H::print_stats, "print progress report during encoding");
    row("attach", ofHasArg | ofPerFile | ofExpert, &H::opt_attach, "add an attachment to the output file", "filename");
    row("dump_attachment", ofHasArg | ofString | ofSpec | ofExpert, &C::dump_attachment,
        "extract an attachment into a file", "filename");

    // Video options.
    row("vframes", ofHasArg | ofVideo | ofPerFile, alias("frames:v"), "set the number of video frames to record",
        "number");
    row("r", ofHasArg | ofVideo | ofString | ofSpec, &C::frame_rates,
        "set frame rate (Hz value, fraction or abbreviation)", "rate");
    row("s", ofHasArg | ofVideo | ofString | ofSpec | ofSubtitle, &C::frame_sizes,
        "set frame size (WxH or abbreviation)", "size");
    row("aspect", ofHasArg | ofVideo | ofString | ofSpec, &C::frame_aspect_ratios,
        "set aspect ratio (4:3, 16:9 or 1.3333, 1.7777)", "aspect");
    row("pix_fmt", ofHasArg | ofExpert | ofVideo | ofString | ofSpec, &C::frame_pix_fmts, "set pixel format", "format");
    row("bits_per_raw_sample", ofHasArg | ofVideo | ofInt | ofExpert, &H::frame_bits_per_raw_sample,
        "set the number of bits per raw sample", "number");
    row("intra", ofBool | ofVideo | ofExpert, &H::intra_only, "deprecated use -g 1");
    row("vn", ofBool | ofVideo | ofOffset, &C::video_disable, "disable video");
    row("vdt", ofHasArg | ofInt | ofVideo | ofExpert, &H::video_discard, "discard threshold", "n");
    row("rc_override", ofHasArg | ofExpert | ofVideo | ofString | ofSpec, &C::rc_overrides,
        "rate control override for specific intervals", "override");
    row("vcodec", ofHasArg | ofVideo | ofPerFile, alias("codec:v"), "force video codec (\"copy\" to copy stream)",
        "codec");
    row("sameq", ofVideo | ofExpert, &H::opt_sameq, "Removed");
    row("same_quant", ofVideo | ofExpert, &H::opt_sameq, "Removed");
    row("timecode", ofHasArg | ofVideo | ofPerFile | ofExpert, &H::opt_timecode, "set initial TimeCode value.",
        "hh:mm:ss[:;.]ff");
    row("pass", ofHasArg | ofVideo | ofInt | ofSpec, &C::pass, "select the pass number (1 to 3)", "n");
    row("passlogfile", ofHasArg | ofString | ofExpert | ofVideo | ofSpec, &C::passlogfiles,
        "select two pass log file name prefix", "prefix");
    row("deinterlace", ofExpert | ofVideo, &H::opt_deinterlace,
        "this option is deprecated, use the yadif filter instead");
    row("psnr", ofBool | ofVideo | ofExpert, &H::do_psnr, "calculate PSNR of compressed frames");
    row("vstats", ofExpert | ofVideo | ofInfo, unsupported, "dump video coding statistics to file");
    row("vstats_file", ofHasArg | ofExpert | ofVideo | ofInfo, unsupported, "dump video coding statistics to file",
        "file");
    row("vf", ofHasArg | ofVideo | ofPerFile, alias("filter:v"), "set video filters", "filter_graph");
    row("intra_matrix", ofHasArg | ofExpert | ofVideo | ofString | ofSpec, &C::intra_matrices,
        "specify intra matrix coeffs", "matrix");
    row("inter_matrix", ofHasArg | ofExpert | ofVideo | ofString | ofSpec, &C::inter_matrices,
        "specify inter matrix coeffs", "matrix");
    row("top", ofHasArg | ofExpert | ofVideo | ofInt | ofSpec, &C::top_field_first,
        "top=1/bottom=0/auto=-1 field first", "");
    row("dc", ofHasArg | ofInt | ofVideo | ofExpert, &H::intra_dc_precision, "intra_dc_precision", "precision");
    row("vtag", ofHasArg | ofExpert | ofVideo | ofPerFile, alias("tag:v"), "force video tag/fourcc", "fourcc/tag");
    row("qphist", ofBool | ofVideo | ofExpert, &H::qp_hist, "show QP histogram");
    row("force_fps", ofBool | ofExpert | ofVideo | ofSpec, &C::force_fps,
        "force the selected framerate, disable the best supported framerate selection");
    row("streamid", ofHasArg | ofExpert | ofVideo | ofPerFile, &H::opt_streamid, "set the value of an outfile streamid",
        "streamIndex:value");
    row("force_key_frames", ofHasArg | ofExpert | ofVideo | ofString | ofSpec, &C::forced_key_frames,
        "force key frames at specified timestamps", "timestamps");
    row("b", ofHasArg | ofVideo | ofPerFile, &H::opt_bitrate, "video bitrate (please use -b:v)", "bitrate");

    // Audio options.
    row("aframes", ofHasArg | ofAudio | ofPerFile, alias("frames:a"), "set the number of audio frames to record",
        "number");
    row("aq", ofHasArg | ofAudio | ofPerFile, alias("q:a"), "set audio quality (codec-specific)", "quality");
    row("ar", ofHasArg | ofAudio | ofInt | ofSpec, &C::audio_sample_rate, "set audio sampling rate (in Hz)", "rate");
    row("ac", ofHasArg | ofAudio | ofInt | ofSpec, &C::audio_channels, "set number of audio channels", "channels");
    row("an", ofBool | ofAudio | ofOffset, &C::audio_disable, "disable audio");
    row("acodec", ofHasArg | ofAudio | ofPerFile, alias("codec:a"), "force audio codec (\"copy\" to copy stream)",
        "codec");
    row("atag", ofHasArg | ofExpert | ofAudio | ofPerFile, alias("tag:a"), "force audio tag/fourcc", "fourcc/tag");
    row("vol", ofHasArg | ofAudio | ofInt, &H::audio_volume, "change audio volume (256=normal)", "volume");
    row("sample_fmt", ofHasArg | ofExpert | ofSpec | ofString | ofAudio, &C::sample_fmts, "set sample format",
        "format");
    row("channel_layout", ofHasArg | ofExpert | ofAudio | ofPerFile, &H::opt_channel_layout, "set channel layout",
        "layout");
    row("af", ofHasArg | ofAudio | ofPerFile, alias("filter:a"), "set audio filters", "filter_graph");
    row("guess_layout_max", ofHasArg | ofInt | ofSpec | ofExpert | ofAudio, &C::guess_layout_max,
        "set the maximum number of channels to try to guess the channel layout", "");

    // Subtitle options.
    row("sn", ofBool | ofSubtitle | ofOffset, &C::subtitle_disable, "disable subtitle");
    row("scodec", ofHasArg | ofSubtitle | ofPerFile, alias("codec:s"), "force subtitle codec (\"copy\" to copy stream)",
        "codec");
    row("stag", ofHasArg | ofExpert | ofSubtitle | ofPerFile, alias("tag:s"), "force subtitle tag/fourcc",
        "fourcc/tag");
    row("fix_sub_duration", ofBool | ofExpert | ofSubtitle | ofSpec, &C::fix_sub_duration, "fix subtitles duration");

    // Grab options.
    row("vc", ofHasArg | ofExpert | ofVideo | ofPerFile, &H::opt_video_channel, "deprecated, use -channel", "channel");
    row("tvstd", ofHasArg | ofExpert | ofVideo | ofPerFile, &H::opt_video_standard, "deprecated, use -standard",
        "standard");
    row("isync", ofBool | ofExpert, &H::input_sync, "this option is deprecated and does nothing");

    // Muxer options.
    row("muxdelay", ofHasArg | ofFloat | ofExpert | ofOffset, &C::mux_max_delay, "set the maximum demux-decode delay",
        "seconds");
    row("muxpreload", ofHasArg | ofFloat | ofExpert | ofOffset, &C::mux_preload, "set the initial demux-decode delay",
        "seconds");
    row("bsf", ofHasArg | ofString | ofSpec | ofExpert, &C::bitstream_filters,
        "A comma-separated list of bitstream filters", "bitstream_filters");
    row("absf", ofHasArg | ofAudio | ofExpert | ofPerFile, alias("bsf:a"), "deprecated", "audio bitstream_filters");
    row("vbsf", ofHasArg | ofVideo | ofExpert | ofPerFile, alias("bsf:v"), "deprecated", "video bitstream_filters");
    // Preset files: a task's presets come as text with the file (ParsePresets).
    row("apre", ofHasArg | ofAudio | ofExpert | ofInfo, unsupported, "set the audio options to the indicated preset",
        "preset");
    row("vpre", ofHasArg | ofVideo | ofExpert | ofInfo, unsupported, "set the video options to the indicated preset",
        "preset");
    row("spre", ofHasArg | ofSubtitle | ofExpert | ofInfo, unsupported,
        "set the subtitle options to the indicated preset", "preset");
    row("fpre", ofHasArg | ofExpert | ofInfo, unsupported, "set options from indicated preset file", "filename");
    row("dcodec", ofHasArg | ofData | ofPerFile, alias("codec:d"), "force data codec (\"copy\" to copy stream)",
        "codec");
    row("dn", ofBool | ofData | ofOffset, &C::data_disable, "disable data");

    // Hooks of the transcoder and the component's own rows.
    row("vhook", ofHasArg | ofVideo | ofExpert, &H::opt_vhook, "insert video processing module", "module");
    row("VideoHookBitsPixel", ofHasArg | ofVideo | ofExpert, &H::opt_video_hook_bits_pixel,
        "set the pixel depth of hook bitmaps", "bits");
    row("TimeStart", ofHasArg | ofExpert | ofPerFile, &H::opt_time_start, "TimeStart");
    row("timestart", ofHasArg | ofExpert | ofPerFile, &H::opt_time_start, "TimeStart");
    row("TimeLength", ofHasArg | ofExpert | ofPerFile, &H::opt_time_length, "TimeLength");
    row("timelength", ofHasArg | ofExpert | ofPerFile, &H::opt_time_length, "TimeLength");
    row("AudioInputHook", ofInfo, accept, "AudioInputHook");
    row("AudioOutputHook", ofInfo, accept, "AudioOutputHook");
    row("VideoInputHook", ofInfo, accept, "VideoInputHook");
    row("VideoOutputHook", ofInfo, accept, "VideoOutputHook");
    row("FrameInputHook", ofInfo, accept, "FrameInputHook");
    row("FrameOutputHook", ofInfo, accept, "FrameOutputHook");
    row("Join", ofInfo, accept, "Join");
    // Beyond the table of the older generation: a stream made from another
    // input takes the flags of the track it stands for.
    row("disposition", ofHasArg | ofString | ofSpec | ofExpert, &C::dispositions,
        "set the stream's flags (\"default+forced\", 0 for none)", "flags");

    options.push_back(TOptionDef{});  // end row
    return options;
}

}  // namespace sonorix
