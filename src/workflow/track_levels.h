// Every audio track of a file as a programme of its own: its reading, its
// gain, and what the probe tells of a file's tracks. The readings come from
// the engine's one-pass meter (see meter_task.h), which reads the peak at the
// decoder's own precision, so a float source above full scale reads above 0 dB.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "workflow/loudness.h"

namespace sonorix {

class TCustomDecoder;
struct SourceFacts;
struct TrackMeasure;

enum class LevelKind {
    Peak,      // sample peak and mean level
    Loudness,  // and integrated loudness, range and true peak
};

struct TrackReading {
    std::optional<double> peak_db;  // sample peak, dBFS; -inf for digital silence
    std::optional<double> mean_db;  // RMS level over all channels, dBFS
    LoudnessReading loudness;       // Loudness only
    bool lossy = false;             // its codec drops information: a check looks at it
};

// The one-pass meter's figures of a track as the measurement's reading.
TrackReading track_reading(const TrackMeasure& measure);

// The audio tracks of a file's facts, and the main one among them: the one
// flagged default, else the first (index among audio tracks); the main one
// of the file the probe holds too.
int audio_track_count(const SourceFacts& facts);
int main_audio_track(const SourceFacts& facts);
int main_audio_track(TCustomDecoder& probe);

// Normalize's gain of a track: its headroom, rounded down to 0.01 dB so the
// peak never passes full scale; none for a silent or unmeasured track.
std::optional<double> headroom_gain(const TrackReading& reading);

// The audio tracks whose decoded samples differ from what the coder was
// given (MP3, AAC, Vorbis, ...), by index among audio tracks.
std::vector<bool> lossy_audio_tracks(const SourceFacts& facts);

// The audio filter options of a conversion: " -af CHAIN" when every track
// takes the same chain (leading "," removed), else " -filter:a:N CHAIN" for
// each track with a chain of its own.
std::string track_filter_options(const std::vector<std::string>& chains);

}  // namespace sonorix
