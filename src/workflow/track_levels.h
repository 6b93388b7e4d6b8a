// Every audio track of a file measured on its own, in one pass: one chain of
// filters per track in one complex graph, whose results are told apart by the
// place of the filter that logs them ("Parsed_astats_2" belongs to the third
// chain). The peak is read at the decoder's own precision, so a float source
// above full scale reads above 0 dB.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "workflow/loudness.h"

namespace sonorix {

class TCustomDecoder;
struct TrackMeasure;

enum class LevelKind {
    Peak,      // sample peak and mean level
    Loudness,  // and integrated loudness, range and true peak
};

// The measurement's output options for a file with `tracks` audio tracks,
// into the null device. Mono counts as dual mono, as the normalizer counts it.
std::string track_measurement_options(int tracks, LevelKind kind);

struct TrackReading {
    std::optional<double> peak_db;  // sample peak, dBFS; -inf for digital silence
    std::optional<double> mean_db;  // RMS level over all channels, dBFS
    LoudnessReading loudness;       // Loudness only
};

// Reads the measurement's log lines, as the task logs them, into one reading
// per track.
class TrackReadings {
public:
    TrackReadings() = default;
    TrackReadings(int tracks, LevelKind kind);
    void read(const std::string& line);
    const std::vector<TrackReading>& tracks() const { return tracks_; }
    bool empty() const { return tracks_.empty(); }

private:
    std::vector<TrackReading> tracks_;
    int filters_per_track_ = 1;
    size_t current_ = 0;  // the track of the last line that named its filter
};

// The one-pass meter's figures of a track as the measurement's reading.
TrackReading track_reading(const TrackMeasure& measure);

// The audio tracks of the file the probe holds, and the main one among them:
// the one flagged default, else the first (index among audio tracks).
int audio_track_count(TCustomDecoder& probe);
int main_audio_track(TCustomDecoder& probe);

// Normalize's gain of a track: its headroom, rounded down to 0.01 dB so the
// peak never passes full scale; none for a silent or unmeasured track.
std::optional<double> headroom_gain(const TrackReading& reading);

// The audio tracks whose decoded samples differ from what the coder was
// given (MP3, AAC, Vorbis, ...), by index among audio tracks.
std::vector<bool> lossy_audio_tracks(TCustomDecoder& probe);

// The audio filter options of a conversion: " -af CHAIN" when every track
// takes the same chain (leading "," removed), else " -filter:a:N CHAIN" for
// each track with a chain of its own.
std::string track_filter_options(const std::vector<std::string>& chains);

}  // namespace sonorix
