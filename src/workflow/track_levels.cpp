#include "workflow/track_levels.h"

#include <algorithm>
#include <cmath>

#include "engine/FFDecode.h"
#include "engine/track_meter.h"
#include "base/FFBase.h"
#include "base/libav.h"
#include "workflow/output_options.h"

namespace sonorix {

TrackReading track_reading(const TrackMeasure& measure) {
    TrackReading r;
    r.peak_db = measure.sample_peak_db;
    r.mean_db = measure.rms_db;
    r.loudness.integrated = measure.integrated;
    r.loudness.range = measure.range;
    r.loudness.true_peak = measure.true_peak;
    if (measure.integrated) r.loudness.sample_peak = measure.sample_peak_db;
    r.loudness.blocks = measure.blocks;
    r.lossy = measure.lossy;
    return r;
}

int audio_track_count(const SourceFacts& facts) {
    return static_cast<int>(
        std::count_if(facts.streams.begin(), facts.streams.end(), [](const StreamFacts& s) { return s.kind == 'a'; }));
}

int main_audio_track(TCustomDecoder& probe) {
    SourceFacts facts;
    facts.streams = source_streams(probe);
    return main_audio_track(facts);
}

int main_audio_track(const SourceFacts& facts) {
    int audio = 0;
    for (const StreamFacts& s : facts.streams) {
        if (s.kind != 'a') continue;
        if (s.disposition & AV_DISPOSITION_DEFAULT) return audio;
        ++audio;
    }
    return 0;
}

std::optional<double> headroom_gain(const TrackReading& reading) {
    if (!reading.peak_db || !std::isfinite(*reading.peak_db)) return std::nullopt;
    // A peak of -3.461 gets 3.46 dB, one of +3.004 gets -3.01 dB.
    return std::floor(-*reading.peak_db * 100.0 + 1e-9) / 100.0;
}

std::vector<bool> lossy_audio_tracks(const SourceFacts& facts) {
    std::vector<bool> lossy;
    for (const StreamFacts& s : facts.streams) {
        if (s.kind == 'a') lossy.push_back(s.lossy);
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
