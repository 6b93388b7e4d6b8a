#include "workflow/format_text.h"

#include <cctype>
#include <map>
#include <vector>

#include "base/FFBase.h"
#include "base/libav.h"

namespace sonorix {

namespace {

std::string codec_text(const AVCodecParameters* par) {
    static const std::map<AVCodecID, const char*> kNames = {
        {AV_CODEC_ID_MP3, "MP3"},           {AV_CODEC_ID_MP2, "MP2"},           {AV_CODEC_ID_AAC, "AAC"},
        {AV_CODEC_ID_OPUS, "Opus"},         {AV_CODEC_ID_VORBIS, "Vorbis"},     {AV_CODEC_ID_FLAC, "FLAC"},
        {AV_CODEC_ID_ALAC, "ALAC"},         {AV_CODEC_ID_AC3, "AC-3"},          {AV_CODEC_ID_EAC3, "E-AC-3"},
        {AV_CODEC_ID_DTS, "DTS"},           {AV_CODEC_ID_WMAV2, "WMA"},         {AV_CODEC_ID_TRUEHD, "TrueHD"},
        {AV_CODEC_ID_H264, "H.264"},        {AV_CODEC_ID_HEVC, "H.265"},        {AV_CODEC_ID_VP8, "VP8"},
        {AV_CODEC_ID_VP9, "VP9"},           {AV_CODEC_ID_AV1, "AV1"},           {AV_CODEC_ID_MPEG4, "MPEG-4"},
        {AV_CODEC_ID_MPEG2VIDEO, "MPEG-2"}, {AV_CODEC_ID_MPEG1VIDEO, "MPEG-1"}, {AV_CODEC_ID_THEORA, "Theora"},
        {AV_CODEC_ID_MJPEG, "Motion JPEG"}, {AV_CODEC_ID_PRORES, "ProRes"},
    };
    if (const auto it = kNames.find(par->codec_id); it != kNames.end()) return it->second;
    const AVCodecDescriptor* d = avcodec_descriptor_get(par->codec_id);
    if (d && (d->props & AV_CODEC_PROP_LOSSLESS) && std::string(d->name).rfind("pcm_", 0) == 0) {
        const auto format = static_cast<AVSampleFormat>(par->format);
        const bool floating = format == AV_SAMPLE_FMT_FLT || format == AV_SAMPLE_FMT_FLTP ||
                              format == AV_SAMPLE_FMT_DBL || format == AV_SAMPLE_FMT_DBLP;
        const int bits = par->bits_per_raw_sample > 0 ? par->bits_per_raw_sample : par->bits_per_coded_sample;
        return bits > 0 ? Format("PCM %d-bit%s", bits, floating ? " float" : "") : std::string("PCM");
    }
    std::string name = d ? d->name : avcodec_get_name(par->codec_id);
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

std::string channels_text(const AVCodecParameters* par) {
    switch (av::channel_count(par)) {
    case 1: return "mono";
    case 2: return "stereo";
    case 3: return "2.1";
    case 6: return "5.1";
    case 8: return "7.1";
    default: return Format("%d ch", av::channel_count(par));
    }
}

bool lossless(const AVCodecParameters* par) {
    const AVCodecDescriptor* d = avcodec_descriptor_get(par->codec_id);
    return d && (d->props & AV_CODEC_PROP_LOSSLESS);
}

std::string rate_text(const AVCodecParameters* par) {
    if (!lossless(par) && par->bit_rate > 0)
        return Format("%lld kb/s", static_cast<long long>((par->bit_rate + 500) / 1000));
    if (par->sample_rate <= 0) return {};
    std::string khz = Format("%.1f", par->sample_rate / 1000.0);
    if (khz.size() > 2 && khz.compare(khz.size() - 2, 2, ".0") == 0) khz.resize(khz.size() - 2);
    return khz + " kHz";
}

}  // namespace

std::string readable_format(const AVFormatContext* file) {
    const AVCodecParameters* video = nullptr;
    std::vector<const AVCodecParameters*> audio;
    for (unsigned i = 0; file && i < file->nb_streams; ++i) {
        const AVStream* st = file->streams[i];
        const AVCodecParameters* par = st->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO && !video && !(st->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
            video = par;
        }
        if (par->codec_type == AVMEDIA_TYPE_AUDIO) audio.push_back(par);
    }
    std::vector<std::string> parts;
    if (video) parts.push_back(codec_text(video));
    if (audio.size() == 1 && !video) {
        parts.push_back(codec_text(audio[0]));
        if (std::string rate = rate_text(audio[0]); !rate.empty()) parts.push_back(rate);
        parts.push_back(channels_text(audio[0]));
    } else if (!audio.empty()) {
        // "AAC 5.1 + stereo" when the codecs agree, "AC-3 5.1 + AAC stereo" when not.
        bool one_codec = true;
        for (const auto* par : audio) one_codec &= par->codec_id == audio[0]->codec_id;
        std::string tracks;
        for (size_t i = 0; i < audio.size(); ++i) {
            if (i) tracks += " + ";
            if (!one_codec || i == 0) tracks += codec_text(audio[i]) + " ";
            tracks += channels_text(audio[i]);
        }
        parts.push_back(tracks);
    }
    std::string text;
    for (const auto& part : parts) text += (text.empty() ? "" : " \u00b7 ") + part;
    return text.empty() ? std::string("N/A") : text;
}

}  // namespace sonorix
