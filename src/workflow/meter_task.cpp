#include "workflow/meter_task.h"

#include "engine/FFDecode.h"
#include "engine/FFEncode.h"
#include "engine/track_meter.h"
#include "workflow/output_options.h"

namespace sonorix {

int add_meter_task(TCustomEncoder& encoder, const std::string& file, LevelKind kind, bool blocks, int64_t duration,
                   std::shared_ptr<MeterReadings> readings, bool lossy_only, bool with_facts) {
    const MeterRequest request{.loudness = kind == LevelKind::Loudness, .blocks = blocks, .lossy_only = lossy_only};
    return encoder.AddWorkTask(
        [file, request, duration, readings, with_facts](const std::atomic<bool>& stop,
                                                        const std::function<void(double)>& progress) {
            readings->start = std::chrono::steady_clock::now();
            if (with_facts) {
                TFFDecoder probe;
                readings->facts = load_source_facts(probe, file);
            }
            const MeterResult result = measure_tracks(file, request, &stop, [&](int64_t position, int64_t length) {
                const int64_t whole = length > 0 ? length : duration;
                if (whole > 0) progress(static_cast<double>(position) / static_cast<double>(whole));
            });
            if (result.stopped) return std::string();
            if (!result.error.empty()) {
                readings->error = result.error;
                return result.error;
            }
            for (const TrackMeasure& t : result.tracks) readings->tracks.push_back(track_reading(t));
            readings->main_track = result.main_track;
            return std::string();
        },
        duration);
}

}  // namespace sonorix
