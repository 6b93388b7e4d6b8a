// The levels of every audio track of a file in one pass: each track decoded
// once, at the decoder's own precision (a float source above full scale
// reads above 0 dB), its sample peak and mean level taken, and when asked
// its loudness (BS.1770 through libebur128), loudness range and true peak.
//
// Threads: measure_tracks runs wholly on the calling thread (a task's
// worker); stop may be set from any thread and is looked at between
// packets; progress is called on the calling thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sonorix {

struct MeterRequest {
    bool loudness = false;  // integrated loudness, range and true peak
    // With loudness: the momentary loudness of every whole 400 ms block, one
    // every 100 ms, which an album's loudness pools.
    bool blocks = false;
    // Decode only a file with a lossy audio track; any other comes back with
    // its tracks' kinds alone (a target that decodes to exactly what was
    // written needs no check).
    bool lossy_only = false;
};

struct TrackMeasure {
    // Over all channels, dBFS; none when the track gave no sample at all,
    // -inf for digital silence.
    std::optional<double> sample_peak_db;
    std::optional<double> rms_db;
    int64_t frames = 0;
    bool lossy = false;  // its codec drops information (MP3, AAC, Vorbis, ...)
    // Loudness only. A track below the absolute gate (-70 LUFS) reads -70.
    std::optional<double> integrated;  // LUFS
    std::optional<double> range;       // LU
    std::optional<double> true_peak;   // dBTP
    std::vector<float> blocks;         // LUFS, when asked
    // How many true-peak blocks the interpolator ran over, of how many.
    int64_t true_peak_blocks = 0;
    int64_t true_peak_blocks_interpolated = 0;
};

struct MeterResult {
    std::vector<TrackMeasure> tracks;  // one per audio track, in file order (none: no audio)
    size_t main_track = 0;             // in tracks: the one flagged default, else the first
    std::string error;                 // empty when the file was read to its end
    bool stopped = false;              // stop was set: the figures are not whole
};

// Position and duration of the file, in microseconds (duration -1 when the
// file does not tell it).
using MeterProgressEvent = std::function<void(int64_t position, int64_t duration)>;

MeterResult measure_tracks(const std::string& file_name, const MeterRequest& request,
                           const std::atomic<bool>* stop = nullptr, const MeterProgressEvent& progress = {});

}  // namespace sonorix
