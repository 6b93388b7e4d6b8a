// A measurement as an engine work task: every audio track of one file read
// once by the engine's meter on the task's worker, which opens the file when
// the task starts. Every front end's measurement and check is one of these.
//
// Threads: add_meter_task runs on the main thread; the worker fills the
// readings and is done with them before the task's OnTerminate is posted, so
// the main thread reads them from that handler on.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "workflow/track_levels.h"

namespace sonorix {

class TCustomEncoder;
struct SourceFacts;

struct MeterReadings {
    std::vector<TrackReading> tracks;             // one per audio track
    size_t main_track = 0;                        // in tracks: flagged default, else the first
    std::string error;                            // why the file could not be measured
    std::chrono::steady_clock::time_point start;  // when the worker began
    // The file's facts where asked for, read on the worker before the
    // measurement; null when not asked for or when it cannot be probed.
    std::shared_ptr<const SourceFacts> facts;
};

// Adds the measurement of file (duration in microseconds, for the progress;
// -1 when not known); the task index. With blocks (Loudness only) each
// track's 400 ms blocks are kept for an album; with lossy_only a file
// without a lossy audio track is not decoded (see MeterRequest).
int add_meter_task(TCustomEncoder& encoder, const std::string& file, LevelKind kind, bool blocks, int64_t duration,
                   std::shared_ptr<MeterReadings> readings, bool lossy_only = false, bool with_facts = false);

}  // namespace sonorix
