#include "workflow/batch_rules.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <numeric>

#include "engine/FFDecode.h"
#include "base/libav.h"
#include "workflow/text.h"
#include "workflow/output_options.h"
#include "workflow/source_types.h"

namespace sonorix {

namespace fs = std::filesystem;

fs::path batch_target_name(const fs::path& source, const fs::path& output_folder, const std::string& prefix) {
    const std::string name = source.filename().string();
    const bool own_folder = prefix.empty() && same_file(source.parent_path().string(), output_folder.string());
    fs::path target = output_folder / ((own_folder ? "NEW_" : prefix) + name);

    const std::string e = upper_text(source.extension().string());
    const std::string file = source.string();
    std::string new_ext;
    if (is_member(audio_source_types, file) && !is_member(audio_target_types, file)) {
        new_ext = "wav";
    } else if (is_member(video_source_types, file) && !is_member(video_target_types, file)) {
        new_ext = e == ".RMVB" ? "rm" : e == ".H264" ? "mkv" : "avi";
    }
    if (!new_ext.empty()) target.replace_extension(new_ext);
    return target;
}

void append_filter_chain(std::string& options, const char* option, std::string chain) {
    const auto first = chain.find_first_not_of(' ');
    if (first == std::string::npos) return;
    if (chain[0] == ',') chain.erase(0, 1);
    options += std::string(" ") + option + " " + chain;
}

// One choice for every audio track as " -OPTION:a VALUE", else " -OPTION:a:N
// VALUE" for each track that has one.
std::string per_track(const char* option, const std::vector<std::string>& values) {
    if (values.empty()) return {};
    const std::string prefix = std::string(" -") + option + ":a";
    if (std::all_of(values.begin(), values.end(), [&](const std::string& v) { return v == values[0]; })) {
        return values[0].empty() ? std::string() : prefix + " " + values[0];
    }
    std::string out;
    for (size_t i = 0; i < values.size(); ++i) {
        if (!values[i].empty()) out += prefix + ":" + std::to_string(i) + " " + values[i];
    }
    return out;
}

bool same_container(const std::string& source, const std::string& target) {
    return lower_text(fs::path(source).extension().string()) == lower_text(fs::path(target).extension().string());
}

bool same_container(const std::string& source, const std::string& target, const SourceFacts& facts) {
    return same_container(source, target) && probed_container_is(facts, target);
}

namespace {

bool lossless_codec(const std::string& name) {
    const AVCodec* enc = avcodec_find_encoder_by_name(name.c_str());
    const AVCodecDescriptor* d = enc ? avcodec_descriptor_get(enc->id) : avcodec_descriptor_get_by_name(name.c_str());
    return d && (d->props & AV_CODEC_PROP_LOSSLESS);
}

// Encoders that take any bit rate and where quality 0 is not the best:
// Vorbis reads it as its lowest quality, Opus ignores it, and the AAC
// encoder's reading has no tie to the source's rate.
bool wants_a_rate(const std::string& encoder) {
    for (const char* name : {"libvorbis", "vorbis", "libopus", "opus", "aac"}) {
        if (encoder == name) return true;
    }
    return false;
}

// The last " -c:a NAME" of an option text.
std::string named_audio_codec(const std::string& options) {
    const std::string key = " -c:a ";
    const size_t at = options.rfind(key);
    if (at == std::string::npos) return "";
    const size_t from = at + key.size();
    return options.substr(from, options.find(' ', from) - from);
}

// The rate a lossy encoder gets for a track: its source's own (a lossless
// source's says nothing of it), else the fallback; for Vorbis never below
// what libvorbis sets up at any channel count (a pure tone's VBR Vorbis can
// average 20 kbit/s, below its lowest managed rate).
std::string lossy_rate(const StreamFacts& s, int known, const std::string& encoder) {
    const int floor = encoder == "libvorbis" || encoder == "vorbis" ? 32000 * std::max(s.channels, 2) : 0;
    const int rate = !lossless_codec(s.codec) && known > 0 ? known : fallback_audio_bit_rate(s.channels);
    return std::to_string(std::max(rate, floor));
}

}  // namespace

std::string audio_rate_options(const std::string& target, const SourceFacts& facts, const BatchSourceBitRates& rates,
                               bool keep_container, const std::string& codec_options) {
    const bool known_streams =
        std::any_of(facts.streams.begin(), facts.streams.end(), [](const StreamFacts& s) { return s.kind == 'a'; });
    if (!known_streams) {
        // Only the first track's rate is known.
        if (!keep_container || rates.audio <= 0 || rates.audio > rates.file) return " -q:a 0";
        return " -b:a " + std::to_string(rates.audio);
    }
    const std::string named = named_audio_codec(codec_options);
    std::vector<std::string> quality, rate;
    for (const StreamFacts& s : facts.streams) {
        if (s.kind != 'a') continue;
        const bool stored = s.bit_rate > 0 && s.bit_rate <= rates.file;
        const int known = stored ? s.bit_rate : s.packet_bit_rate;
        std::string q, b;
        if (keep_container) {
            // The track keeps its codec where the format holds it.
            const std::string encoder = target_audio_encoder(target, s.codec, true);
            if (stored) {
                b = std::to_string(s.bit_rate);
            } else if (lossless_codec(encoder) || encoder == "libmp3lame") {
                q = "0";  // lossless, or MP3's best quality
            } else {
                b = lossy_rate(s, known, encoder);
            }
        } else {
            const std::string encoder = named.empty() ? target_audio_encoder(target, s.codec, false) : named;
            if (wants_a_rate(encoder)) {
                b = lossy_rate(s, known, encoder);
            } else {
                q = "0";
            }
        }
        quality.push_back(q);
        rate.push_back(b);
    }
    return per_track("q", quality) + per_track("b", rate);
}

std::string wav_target_options(const std::string& target) {
    const AVOutputFormat* fmt = av_guess_format(nullptr, target.c_str(), nullptr);
    return fmt && !std::strcmp(fmt->name, "wav") ? " -rf64 auto" : "";
}

void batch_codec_options(const std::string& source, const std::string& target, const SourceFacts& facts,
                         const BatchSourceBitRates& rates, std::string& options, std::string& video_filters) {
    if (!same_container(source, target, facts)) {
        const std::string codecs = ffcodec(target, facts);
        options += codecs + " -q:v 0";
        if (is_member(video_target_types, target)) {
            const std::string w = std::to_string(facts.width), h = std::to_string(facts.height);
            const std::string size = ffframesize(w, h, target, facts);
            if (size != w + ":" + h) {
                video_filters += ",scale=" + size;
                options += " -aspect " + size;
            }
        }
        options += audio_rate_options(target, facts, rates, false, codecs) + wav_target_options(target);
        return;
    }
    options += " -c:v copy" + audio_rate_options(target, facts, rates, true) + wav_target_options(target);
}

BatchSourceBitRates source_bit_rates(const SourceFacts& facts) {
    BatchSourceBitRates rates;
    rates.audio = facts.audio_bit_rate;
    rates.file = facts.file_bit_rate;
    return rates;
}

void batch_codec_options(const std::string& source, const std::string& target, TCustomDecoder& probe,
                         std::string& options, std::string& video_filters) {
    const SourceFacts facts = source_facts(probe);
    batch_codec_options(source, target, facts, source_bit_rates(facts), options, video_filters);
}

std::optional<int> task_percent(int64_t position, int64_t duration) {
    if (duration <= 0) return std::nullopt;
    const long double percent = static_cast<long double>(position) * 100 / duration;
    return static_cast<int>(std::clamp<long double>(std::nearbyint(percent), 0, 100));
}

int mean_percent(const std::vector<int>& percents) {
    if (percents.empty()) return 0;
    const long double sum = std::accumulate(percents.begin(), percents.end(), 0.0L);
    return static_cast<int>(std::clamp<long double>(std::nearbyint(sum / percents.size()), 0, 100));
}

}  // namespace sonorix
