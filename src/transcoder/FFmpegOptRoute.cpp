// The libraries' side of the option layer: dictionaries, routing of names no
// row knows to the codec, format, scaler and resampler options, stream
// specifiers and codec look-up.
#include "transcoder/FFmpegOpt.h"

#include "base/FFLoad.h"

namespace sonorix {

namespace {

constexpr int kSearchFlags = AV_OPT_SEARCH_CHILDREN | AV_OPT_SEARCH_FAKE_OBJ;

const AVOption* find_in_class(const AVClass* cls, const char* name) {
    return av_opt_find(&cls, name, nullptr, 0, kSearchFlags);
}

// A flags value given as "+x" or "-x" adds to what an earlier option set;
// any other value replaces it (appending "b" to "a" would give "ab").
int dict_flags_for(const AVOption* o, const std::string& value) {
    if (o->type == AV_OPT_TYPE_FLAGS && !value.empty() && (value[0] == '+' || value[0] == '-')) {
        return AV_DICT_APPEND;
    }
    return 0;
}

}  // namespace

int TCustomFFmpegOpt::route_library_option(const std::string& opt, const std::string& arg) {
    if (opt == "debug" || opt == "fdebug") TFFLogger::Current().SetLogLevel(llDebug);

    const std::string stripped = opt.substr(0, opt.find(':'));
    bool consumed = false;
    int ret = 0;

    const AVOption* o = find_in_class(avcodec_get_class(), stripped.c_str());
    if (!o && !stripped.empty() && (stripped[0] == 'a' || stripped[0] == 's' || stripped[0] == 'v')) {
        o = find_in_class(avcodec_get_class(), stripped.c_str() + 1);
    }
    if (o) {
        if ((ret = codec_opts_.set(opt, arg, dict_flags_for(o, arg))) < 0) return ret;
        consumed = true;
    }
    if ((o = find_in_class(avformat_get_class(), opt.c_str()))) {
        if (consumed) log_format(sender_, llVerbose, "Routing %s to codec and muxer layer", opt.c_str());
        if ((ret = format_opts_.set(opt, arg, dict_flags_for(o, arg))) < 0) return ret;
        consumed = true;
    }
    if (consumed) return 0;

    if (find_in_class(sws_get_class(), opt.c_str())) {
        if (!sws_opts_ && !(sws_opts_ = sws_alloc_context())) return AVERROR(ENOMEM);
        if ((ret = av_opt_set(sws_opts_, opt.c_str(), arg.c_str(), 0)) < 0) {
            log_format(sender_, llError, "Error setting option \"%s\"", opt.c_str());
            return ret;
        }
        if ((ret = sws_dict_.set(opt, arg)) < 0) return ret;
        consumed = true;
    }
    if (find_in_class(swr_get_class(), opt.c_str())) {
        // A throw-away resampler validates the value; the dictionary keeps it.
        SwrContext* swr = swr_alloc();
        if (!swr) return AVERROR(ENOMEM);
        ret = av_opt_set(swr, opt.c_str(), arg.c_str(), 0);
        swr_free(&swr);
        if (ret < 0) {
            log_format(sender_, llError, "Error setting option \"%s\"", opt.c_str());
            return ret;
        }
        if ((ret = swr_opts_.set(opt, arg)) < 0) return ret;
        consumed = true;
    }
    if (consumed) return 0;
    // Some names only a device format knows: its library is loaded now.
    return TFFLoader::Instance().LoadDevices() ? route_library_option(opt, arg) : AVERROR_OPTION_NOT_FOUND;
}

void TCustomFFmpegOpt::check_options_consumed(const AVDictionary* left) {
    const AVDictionaryEntry* e = av_dict_get(left, "", nullptr, AV_DICT_IGNORE_SUFFIX);
    if (!e) return;
    const std::string message = Format("Option %s not found.", e->key);
    if (strict_options) raise_error(message);
    last_error_ = message;
}

int TCustomFFmpegOpt::check_stream_specifier(AVFormatContext* s, AVStream* st, const std::string& specifier) {
    const int ret = avformat_match_stream_specifier(s, st, specifier.c_str());
    if (ret < 0) raise_error("check_stream_specifier: " + error_code_text(ret));
    return ret;
}

const std::string* TCustomFFmpegOpt::exact_specifier(const TSpecifierList<std::string>& list,
                                                     std::string_view specifier) {
    const std::string* found = nullptr;
    for (const auto& entry : list) {
        if (entry.specifier == specifier) found = &entry.u;
    }
    return found;
}

const AVCodec* TCustomFFmpegOpt::find_codec_or_die(const std::string& name, AVMediaType type, bool encoder) {
    const char* kind = encoder ? "encoder" : "decoder";
    const AVCodec* codec =
        encoder ? avcodec_find_encoder_by_name(name.c_str()) : avcodec_find_decoder_by_name(name.c_str());
    if (!codec) {
        if (const AVCodecDescriptor* desc = avcodec_descriptor_get_by_name(name.c_str())) {
            codec = encoder ? avcodec_find_encoder(desc->id) : avcodec_find_decoder(desc->id);
            if (codec) {
                log_format(sender_, llVerbose, "Matched %s \"%s\" for codec \"%s\".", kind, codec->name, name.c_str());
            }
        }
    }
    if (!codec) raise_format("Unknown %s \"%s\"", kind, name.c_str());
    if (codec->type != type) raise_format("Invalid %s type \"%s\"", kind, name.c_str());
    return codec;
}

}  // namespace sonorix
