#include "batch/batch_rules.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <numeric>

#include "engine/FFDecode.h"
#include "single/text.h"
#include "single/output_options.h"
#include "single/source_types.h"

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

bool same_container(const std::string& source, const std::string& target) {
    return lower_text(fs::path(source).extension().string()) == lower_text(fs::path(target).extension().string());
}

void batch_codec_options(const std::string& source, const std::string& target, const SourceFacts& facts,
                         const BatchSourceBitRates& rates, std::string& options, std::string& video_filters) {
    if (!same_container(source, target)) {
        options += ffcodec(target, facts) + " -q:v 0";
        if (is_member(video_target_types, target)) {
            const std::string w = std::to_string(facts.width), h = std::to_string(facts.height);
            const std::string size = ffframesize(w, h, target, facts);
            if (size != w + ":" + h) {
                video_filters += ",scale=" + size;
                options += " -aspect " + size;
            }
        }
        options += " -q:a 0";
        return;
    }
    options += " -c:v copy";
    if (rates.audio <= 0 || rates.audio > rates.file) {
        options += " -q:a 0";
    } else {
        options += " -b:a " + std::to_string(rates.audio);
    }
}

BatchSourceBitRates source_bit_rates(TCustomDecoder& probe) {
    BatchSourceBitRates rates;
    TAudioStreamInfo audio;
    if (probe.AudioStreamCount > 0) probe.GetAudioStreamInfo(-1, audio);
    rates.audio = audio.BitRate;
    TFileStreamInfo info;
    probe.GetFileInfo(info);
    rates.file = info.BitRate;
    return rates;
}

void batch_codec_options(const std::string& source, const std::string& target, TCustomDecoder& probe,
                         std::string& options, std::string& video_filters) {
    batch_codec_options(source, target, source_facts(probe), source_bit_rates(probe), options, video_filters);
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
