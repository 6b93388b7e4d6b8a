// Handler rows of the option table, except the stream maps
// (FFmpegOptMap.cpp).
#include <cinttypes>
#include <cmath>

#include "transcoder/FFmpegOpt.h"

// Not in engine/libav.h yet (asked for there).
extern "C" {
#include <libavutil/cpu.h>
}

namespace sonorix {

namespace {

std::string lower_ascii(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

bool has_specifier(const std::string& opt) { return opt.find(':') != std::string::npos; }

}  // namespace

int TCustomFFmpegOpt::forward(TOptionsContext* o, const std::string& opt, const std::string& arg) {
    const int ret = parse_option(o, opt, arg);
    return ret < 0 ? ret : 0;
}

int TCustomFFmpegOpt::opt_info(TOptionsContext*, const std::string& opt, const std::string&) {
    log_format(sender_, llWarning, "options \"%s\" not supported, ignore", opt.c_str());
    return 0;
}

int TCustomFFmpegOpt::opt_not_supported(TOptionsContext*, const std::string& opt, const std::string&) {
    return fail_option(llError, Format("options \"%s\" not supported", opt.c_str()));
}

// Hooks and joining are set up by the encoder component through the core's
// own fields; the rows only have to be accepted.
int TCustomFFmpegOpt::opt_accept(TOptionsContext*, const std::string&, const std::string&) { return 0; }

// No video processing module can be loaded by this core.
int TCustomFFmpegOpt::opt_vhook(TOptionsContext* o, const std::string& opt, const std::string& arg) {
    return opt_not_supported(o, opt, arg);
}

int TCustomFFmpegOpt::opt_video_hook_bits_pixel(TOptionsContext*, const std::string& opt, const std::string& arg) {
    int bits;
    if (!read_int(arg, bits)) {
        throw std::runtime_error(Format("Expected integer for \"%s\" but found \"%s\"", opt.c_str(), arg.c_str()));
    }
    video_hook_bits_pixel = bits;
    return 0;
}

int TCustomFFmpegOpt::opt_loglevel(TOptionsContext*, const std::string&, const std::string& arg) {
    const std::optional<TLogLevel> level = parse_log_level(arg);
    if (!level) {
        std::string message = Format("Invalid loglevel \"%s\". Possible levels are numbers or:", arg.c_str());
        for (const char* name : {"quiet", "panic", "fatal", "error", "warning", "info", "verbose", "debug"}) {
            message += Format("\n\"%s\"", name);
        }
        return fail_option(llError, message);
    }
    TFFLogger::Current().SetLogLevel(*level);
    return 0;
}

int TCustomFFmpegOpt::opt_max_alloc(TOptionsContext*, const std::string&, const std::string& arg) {
    int64_t max = 0;
    if (arg.empty() || arg[0] == '+' || !read_int64(arg, max) || max < 0) {
        return fail_option(llError, Format("Invalid max_alloc \"%s\".", arg.c_str()));
    }
    av_max_alloc(static_cast<size_t>(max));
    return 0;
}

int TCustomFFmpegOpt::opt_cpuflags(TOptionsContext*, const std::string&, const std::string& arg) {
    unsigned flags = static_cast<unsigned>(av_get_cpu_flags());
    const int ret = av_parse_cpu_caps(&flags, arg.c_str());
    if (ret < 0) {
        return fail_option(llError,
                           Format("Failed to parse cpu flags \"%s\"", arg.c_str()) + ": " + error_code_text(ret), ret);
    }
    av_force_cpu_flags(static_cast<int>(flags));
    return 0;
}

int TCustomFFmpegOpt::opt_progress(TOptionsContext*, const std::string&, const std::string& arg) {
    AVIOContext* avio = nullptr;
    const AVIOInterruptCB callback = write_interrupt_;
    const int ret = avio_open2(&avio, arg.c_str(), AVIO_FLAG_WRITE, &callback, nullptr);
    if (ret < 0) {
        return fail_option(
            llError, Format("Failed to open progress URL \"%s\": %s", arg.c_str(), error_code_text(ret).c_str()), ret);
    }
    if (progress_avio) avio_closep(&progress_avio);  // a second -progress replaces the first
    progress_avio = avio;
    return 0;
}

int TCustomFFmpegOpt::opt_vsync(TOptionsContext*, const std::string& opt, const std::string& arg) {
    const std::string name = lower_ascii(arg);
    int method;
    if (name == "cfr") {
        method = 1;
    } else if (name == "vfr") {
        method = 2;
    } else if (name == "passthrough") {
        method = 0;
    } else if (name == "drop") {
        method = 255;
    } else if (!read_int(arg, method) || !((method >= -1 && method <= 2) || method == 255)) {
        return fail_option(llError,
                           Format("The value for \"%s\" was \"%s\" which is invalid", opt.c_str(), arg.c_str()));
    }
    video_sync_method = method;
    return 0;
}

int TCustomFFmpegOpt::opt_qscale(TOptionsContext* o, const std::string& opt, const std::string& arg) {
    if (has_specifier(opt)) return forward(o, "q" + opt.substr(opt.find(':')), arg);
    log_message(sender_, llWarning, "Please use -q:a or -q:v, -qscale is ambiguous");
    return forward(o, "q:v", arg);
}

int TCustomFFmpegOpt::opt_profile(TOptionsContext* o, const std::string& opt, const std::string& arg) {
    if (has_specifier(opt)) return o->g->codec_opts.set(opt, arg);
    log_message(sender_, llWarning, "Please use -profile:a or -profile:v, -profile is ambiguous");
    return o->g->codec_opts.set("profile:v", arg);
}

int TCustomFFmpegOpt::opt_bitrate(TOptionsContext* o, const std::string& opt, const std::string& arg) {
    if (has_specifier(opt)) return o->g->codec_opts.set(opt, arg);
    log_message(sender_, llWarning, "Please use -b:a or -b:v, -b is ambiguous");
    return o->g->codec_opts.set("b:v", arg);
}

int TCustomFFmpegOpt::opt_filter_complex(TOptionsContext*, const std::string&, const std::string& arg) {
    complex_filter_descriptions.push_back(arg);
    return 0;
}

int TCustomFFmpegOpt::opt_attach(TOptionsContext* o, const std::string&, const std::string& arg) {
    o->attachments.push_back(arg);
    return 0;
}

int TCustomFFmpegOpt::opt_sameq(TOptionsContext*, const std::string& opt, const std::string&) {
    return fail_option(llError, Format("Option \"%s\" was removed. If you are looking for an option to "
                                       "preserve the quality (which is not what -%s was for), use "
                                       "-qscale 0 or an equivalent quality factor option.",
                                       opt.c_str(), opt.c_str()));
}

int TCustomFFmpegOpt::opt_timecode(TOptionsContext* o, const std::string&, const std::string& arg) {
    const int ret = forward(o, "metadata:g", "timecode=" + arg);
    if (ret < 0) return ret;
    return o->g->codec_opts.set("gop_timecode", arg);
}

int TCustomFFmpegOpt::opt_recording_timestamp(TOptionsContext* o, const std::string& opt, const std::string& arg) {
    log_format(sender_, llWarning, "%s is deprecated, set the \"creation_time\" metadata tag instead.", opt.c_str());
    return forward(o, "metadata", "creation_time=" + arg);
}

int TCustomFFmpegOpt::opt_deinterlace(TOptionsContext*, const std::string& opt, const std::string&) {
    log_format(sender_, llWarning, "-%s is deprecated, use -filter:v yadif instead", opt.c_str());
    do_deinterlace = 1;
    return 0;
}

int TCustomFFmpegOpt::opt_channel_layout(TOptionsContext* o, const std::string& opt, const std::string& arg) {
    AVChannelLayout layout{};
    if (av_channel_layout_from_string(&layout, arg.c_str()) < 0) {
        return fail_option(llError, Format("Unknown channel layout: %s", arg.c_str()));
    }
    const int channels = layout.nb_channels;
    uint64_t mask = 0;
    if (layout.order == AV_CHANNEL_ORDER_NATIVE) {
        mask = layout.u.mask;
    } else {
        // Unordered channels ("4C") get the usual layout of their count.
        AVChannelLayout fallback{};
        av_channel_layout_default(&fallback, channels);
        if (fallback.order == AV_CHANNEL_ORDER_NATIVE) mask = fallback.u.mask;
        av_channel_layout_uninit(&fallback);
    }
    av_channel_layout_uninit(&layout);
    if (channels <= 0) return fail_option(llError, Format("Unknown channel layout: %s", arg.c_str()));

    int ret = o->g->codec_opts.set(opt, Format("%" PRIu64, mask));
    if (ret < 0) return ret;
    const size_t colon = opt.find(':');
    const std::string ac = colon == std::string::npos ? "ac" : "ac" + opt.substr(colon);
    return forward(o, ac, std::to_string(channels));
}

int TCustomFFmpegOpt::opt_video_channel(TOptionsContext* o, const std::string&, const std::string& arg) {
    log_message(sender_, llWarning, "This option is deprecated, use -channel.");
    return route_to_file(*o, "channel", arg);
}

int TCustomFFmpegOpt::opt_video_standard(TOptionsContext* o, const std::string&, const std::string& arg) {
    log_message(sender_, llWarning, "This option is deprecated, use -standard.");
    return route_to_file(*o, "standard", arg);
}

int TCustomFFmpegOpt::opt_seconds(TOptionsContext* o, const std::string& opt, const std::string& arg,
                                  const char* target) {
    // Seconds as a decimal number; beyond the int64 range of microseconds
    // the value is refused rather than wrapped.
    double seconds;
    constexpr double kLimit = 9.2e18;
    if (!read_double(arg, seconds) || !std::isfinite(seconds) || std::fabs(seconds * 1e6) >= kLimit) {
        return fail_option(llError, Format("Expected double for \"%s\" but found \"%s\"", opt.c_str(), arg.c_str()));
    }
    const int64_t us = std::llround(seconds * 1e6);
    return forward(o, target, std::to_string(us));
}

int TCustomFFmpegOpt::opt_time_start(TOptionsContext* o, const std::string& opt, const std::string& arg) {
    return opt_seconds(o, opt, arg, "ss_microsecond");
}

int TCustomFFmpegOpt::opt_time_length(TOptionsContext* o, const std::string& opt, const std::string& arg) {
    return opt_seconds(o, opt, arg, "t_microsecond");
}

}  // namespace sonorix
