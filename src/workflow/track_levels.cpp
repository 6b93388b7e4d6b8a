#include "workflow/track_levels.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "engine/FFDecode.h"
#include "engine/track_meter.h"
#include "base/FFBase.h"
#include "base/libav.h"

namespace sonorix {

namespace {

// astats reads every sample format as it comes (float above full scale too)
// and tells the peak to the millionth of a dB; volumedetect would convert to
// 16 bits first and tell a tenth.
constexpr const char* kPeakChain =
    "astats=metadata=0:measure_perchannel=none:measure_overall=Peak_level+RMS_level+Number_of_samples";
constexpr const char* kLoudnessChain = ",ebur128=peak=true:dualmono=true:framelog=verbose";

// "[Parsed_NAME_K @ 0x...]": K, the filter's place in the graph.
std::optional<int> filter_place(const std::string& line) {
    const size_t at = line.find("[Parsed_");
    if (at == std::string::npos) return std::nullopt;
    const size_t end = line.find(" @ ", at);
    if (end == std::string::npos) return std::nullopt;
    const size_t underscore = line.rfind('_', end);
    if (underscore == std::string::npos || underscore < at + 8) return std::nullopt;
    char* stop = nullptr;
    const long place = std::strtol(line.c_str() + underscore + 1, &stop, 10);
    if (stop != line.c_str() + end || place < 0) return std::nullopt;
    return static_cast<int>(place);
}

}  // namespace

std::string track_measurement_options(int tracks, LevelKind kind) {
    std::string chain = kPeakChain;
    if (kind == LevelKind::Loudness) chain += kLoudnessChain;
    if (tracks <= 0) return " -af \"" + chain + "\" -f null -vn";  // the task tells there is no audio
    std::string graph, maps;
    for (int i = 0; i < tracks; ++i) {
        const std::string label = "[t" + std::to_string(i) + "]";
        graph += (i ? ";" : "") + Format("[0:a:%d]", i) + chain + label;
        maps += " -map \"" + label + "\"";
    }
    return " -filter_complex \"" + graph + "\"" + maps + " -f null";
}

TrackReadings::TrackReadings(int tracks, LevelKind kind)
    : tracks_(static_cast<size_t>(std::max(tracks, 1))), filters_per_track_(kind == LevelKind::Loudness ? 2 : 1) {}

void TrackReadings::read(const std::string& line) {
    if (tracks_.empty()) return;
    if (const auto place = filter_place(line)) {
        // A target may hold fewer or more tracks than its source: grow.
        current_ = static_cast<size_t>(*place / filters_per_track_);
        if (current_ >= tracks_.size() && current_ < 256) tracks_.resize(current_ + 1);
        current_ = std::min(current_, tracks_.size() - 1);
    }
    TrackReading& t = tracks_[current_];
    t.loudness.read(line);
    // astats's overall section: "Peak level dB: -3.461234", "RMS level dB: ...".
    if (line.find("Peak level dB:") != std::string::npos) t.peak_db = number_after(line, "Peak level dB:");
    if (line.find("RMS level dB:") != std::string::npos) t.mean_db = number_after(line, "RMS level dB:");
    // No sample at all is no level, not silence.
    if (number_after(line, "Number of samples:") == 0.0) t.peak_db = t.mean_db = std::nullopt;
}

TrackReading track_reading(const TrackMeasure& measure) {
    TrackReading r;
    r.peak_db = measure.sample_peak_db;
    r.mean_db = measure.rms_db;
    r.loudness.integrated = measure.integrated;
    r.loudness.range = measure.range;
    r.loudness.true_peak = measure.true_peak;
    if (measure.integrated) r.loudness.sample_peak = measure.sample_peak_db;
    r.loudness.blocks = measure.blocks;
    return r;
}

int audio_track_count(TCustomDecoder& probe) { return std::max(probe.AudioStreamCount, 0); }

int main_audio_track(TCustomDecoder& probe) {
    const AVFormatContext* fc = probe.FormatContext();
    if (!fc) return 0;
    int audio = 0;
    for (unsigned i = 0; i < fc->nb_streams; ++i) {
        const AVStream* st = fc->streams[i];
        if (st->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) continue;
        if (st->disposition & AV_DISPOSITION_DEFAULT) return audio;
        ++audio;
    }
    return 0;
}

std::optional<double> headroom_gain(const TrackReading& reading) {
    if (!reading.peak_db || !std::isfinite(*reading.peak_db)) return std::nullopt;
    // A peak of -3.461 gets 3.46 dB, one of +3.004 gets -3.01 dB.
    return std::floor(-*reading.peak_db * 100.0 + 1e-9) / 100.0;
}

std::vector<bool> lossy_audio_tracks(TCustomDecoder& probe) {
    std::vector<bool> lossy;
    const AVFormatContext* fc = probe.FormatContext();
    for (unsigned i = 0; fc && i < fc->nb_streams; ++i) {
        const AVCodecParameters* par = fc->streams[i]->codecpar;
        if (par->codec_type != AVMEDIA_TYPE_AUDIO) continue;
        const AVCodecDescriptor* d = avcodec_descriptor_get(par->codec_id);
        lossy.push_back(d && (d->props & AV_CODEC_PROP_LOSSY));
    }
    return lossy;
}

std::string track_filter_options(const std::vector<std::string>& chains) {
    auto text = [](std::string chain) {
        if (!chain.empty() && chain[0] == ',') chain.erase(0, 1);
        return chain;
    };
    if (chains.empty()) return {};
    if (std::all_of(chains.begin(), chains.end(), [&](const std::string& c) { return c == chains[0]; })) {
        return text(chains[0]).empty() ? std::string() : " -af " + text(chains[0]);
    }
    std::string out;
    for (size_t i = 0; i < chains.size(); ++i) {
        if (!text(chains[i]).empty()) out += Format(" -filter:a:%zu ", i) + text(chains[i]);
    }
    return out;
}

}  // namespace sonorix
