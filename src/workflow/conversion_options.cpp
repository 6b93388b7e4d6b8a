#include "workflow/conversion_options.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "engine/FFDecode.h"
#include "workflow/text.h"
#include "workflow/source_types.h"
#include "workflow/track_levels.h"

namespace sonorix {

namespace {

// Every stream of the source goes into the target, the audio tracks through
// the same filter chain; the transcoder leaves out, with a log line, what
// the target format cannot hold. Where the container stays, the audio keeps
// its own codec and precision when it can be written.
std::string stream_options(bool same_container, const std::string& target, const SourceFacts& f) {
    int audio = 0, video = 0, others = 0;
    bool subtitles = false, data = false, unknown = false;
    std::vector<std::string> codecs, formats;
    for (const StreamFacts& s : f.streams) {
        if (s.kind == 'a') {
            ++audio;
            // The container's own codec is its default; a source codec with
            // no encoder here falls back to it, unless that cannot be written either.
            std::string codec = s.encoder.empty() || s.codec == f.container_audio_codec ? "" : s.encoder;
            // A codec the target's format cannot hold is encoded for it.
            const bool own = !s.encoder.empty() && target_audio_encoder(target, s.codec, true) == s.encoder;
            if (!own) codec.clear();
            if (codec.empty() && f.container_audio_codec == "amr_nb" && !f.amr_nb_encoder) codec = "aac";
            codecs.push_back(codec);
            formats.push_back(own && (codec.empty() || codec == s.encoder) ? s.sample_format : "");
        } else if (s.kind == 'v' && !s.cover) {
            ++video;
        } else {
            ++others;
            subtitles |= s.kind == 's';
            data |= s.kind == 'd';
            unknown |= s.kind == 'u';
        }
    }
    std::string out;
    // The automatic choice of one audio and one video stream loses nothing.
    if (unknown) {
        // A stream of no known kind cannot be mapped: every other one by its number.
        for (size_t i = 0; i < f.streams.size(); ++i) {
            if (f.streams[i].kind != 'u') out += " -map 0:" + std::to_string(i);
        }
    } else if (audio > 1 || video > 1 || others > 0) {
        out += " -map 0";
    }
    if (same_container && subtitles) out += " -c:s copy";
    // The MP4 family names no subtitle codec of its own but holds timed text.
    static const char* const kTimedText[] = {".mp4", ".m4v", ".mov", ".3gp"};
    const std::string x = lower_text(std::filesystem::path(target).extension().string());
    const bool timed_text = std::find(std::begin(kTimedText), std::end(kTimedText), x) != std::end(kTimedText);
    if (!same_container && subtitles && timed_text) out += " -c:s mov_text";
    if (data) out += " -c:d copy";  // data can only be copied
    if (same_container) out += per_track("c", codecs) + per_track("sample_fmt", formats);
    return out;
}

}  // namespace

std::string volume_change_filter(int percent) { return ",volume=" + real_text(percent / 100.0); }

std::string normalize_filter(const std::string& max_volume_text) {
    return ",volume=" + trim_blanks(max_volume_text) + "dB";
}

std::string conversion_options(const std::string& source, const std::string& target, const SourceFacts& facts,
                               const BatchSourceBitRates& rates, const std::string& audio_filters) {
    std::string options = " -y";
    std::string video_filters;
    batch_codec_options(source, target, facts, rates, options, video_filters);
    options += stream_options(same_container(source, target, facts), target, facts);
    append_filter_chain(options, "-vf", video_filters);
    append_filter_chain(options, "-af", audio_filters);
    return options;
}

std::string conversion_options(const std::string& source, const std::string& target, TCustomDecoder& probe,
                               const std::string& audio_filters) {
    const SourceFacts facts = source_facts(probe);
    return conversion_options(source, target, facts, source_bit_rates(facts), audio_filters);
}

std::string conversion_options(const std::string& source, const std::string& target, const SourceFacts& facts,
                               const std::vector<std::string>& track_filters) {
    // The filters come last, so the per-track form only replaces the -af.
    return conversion_options(source, target, facts, source_bit_rates(facts), std::string()) +
           track_filter_options(track_filters);
}

std::string conversion_options(const std::string& source, const std::string& target, TCustomDecoder& probe,
                               const std::vector<std::string>& track_filters) {
    return conversion_options(source, target, source_facts(probe), track_filters);
}

SaveChoices save_choices(const std::string& source_file) {
    const std::string e = std::filesystem::path(source_file).extension().string();
    const std::string eu = upper_text(e), el = lower_text(e);
    SaveChoices out;
    std::string_view list;
    auto first = [&](const std::string& name) {
        out.filter += "*." + upper_text(name) + "|*." + lower_text(name) + "|";
        out.default_extension = name;
    };
    if (is_member(video_source_types, source_file)) {
        list = video_target_types;
        if (is_member(video_target_types, source_file)) {
            out.filter += "*" + eu + "|*" + el + "|";
            out.default_extension = e.substr(1);
        } else if (trim_blanks(eu) == ".RMVB") {
            first("rm");
        } else if (trim_blanks(eu) == ".H264") {
            first("mkv");
        } else {
            first("avi");
        }
    }
    if (is_member(audio_source_types, source_file)) {
        list = audio_target_types;
        if (is_member(audio_target_types, source_file)) {
            out.filter += "*" + eu + "|*" + el + "|";
            out.default_extension = e.substr(1);
        } else {
            first("wav");
        }
    }
    for (size_t pos = list.find("*."); pos != std::string_view::npos; pos = list.find("*.", pos + 2)) {
        const size_t end = list.find(';', pos);
        const std::string name(list.substr(pos + 2, end - pos - 2));
        if (upper_text(trim_blanks(name)) == upper_text(out.default_extension)) continue;
        out.filter += "*." + upper_text(name) + "|*." + lower_text(name) + "|";
    }
    return out;
}

}  // namespace sonorix
