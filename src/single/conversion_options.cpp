#include "single/conversion_options.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "engine/FFDecode.h"
#include "single/text.h"
#include "single/source_types.h"

namespace sonorix {

namespace {




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
    append_filter_chain(options, "-vf", video_filters);
    append_filter_chain(options, "-af", audio_filters);
    return options;
}

std::string conversion_options(const std::string& source, const std::string& target, TCustomDecoder& probe,
                               const std::string& audio_filters) {
    return conversion_options(source, target, source_facts(probe), source_bit_rates(probe), audio_filters);
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
