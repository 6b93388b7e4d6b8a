// The lossless path as both pages, the CLI and its dry run take it: each
// audio track's gain request with its one rounding, the engine work task
// that changes a file by them, and the plan read from a file without writing.
//
// Threads: the requests and the plan are the caller's; what a work task
// leaves in its RemuxResult is its worker's until the task's termination
// event, and the main thread's from then on.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lossless/lossless_remux.h"

namespace sonorix {

class TCustomEncoder;
enum class BatchMode;

// The text a file fails with when it cannot take the lossless path.
std::string lossless_refusal_text(const std::string& why);

// Each track's gain: "+4.52 dB, asked +5.10 dB" (with "track N: " before
// each when there is more than one), joined by "; ".
std::string gains_text(const std::vector<lossless::AppliedGain>& gains);

// Which path a converted file took, as the window's results say it:
// "converted without re-encoding: <gains>", or "converted by re-encoding,
// as the lossless path was refused: <refusal>".
std::string lossless_status(const std::string& gains, const std::string& refusal);

// Volume Change: one request for every track, the nearest step to the
// factor (0 % is silence, which no gain field reaches: refused).
std::vector<lossless::GainRequest> volume_change_requests(int percent);

// One audio track's measured gain (none: kept as it is) and true peak.
struct TrackGain {
    std::optional<double> gain;
    std::optional<double> true_peak;  // dBTP, Loudness only
};

// Normalize and Loudness: one request per track. Normalize rounds down
// (no peak passes full scale, so no second pass is needed); Loudness to the
// nearest step, never past the true-peak ceiling.
std::vector<lossless::GainRequest> measured_requests(BatchMode mode, const std::vector<TrackGain>& tracks,
                                                     double ceiling);

// Adds to encoder a work task running lossless::change_gain of source into
// target; result gets its end. A refusal fails the task with
// lossless_refusal_text only when refusal_fails; otherwise the task
// completes and result tells the refusal, for the caller to re-encode.
// duration (microseconds) scales its progress. The task's index, or -1.
int add_lossless_task(TCustomEncoder& encoder, const std::string& source, const std::string& target,
                      std::vector<lossless::GainRequest> requests, bool refusal_fails, int64_t duration,
                      std::shared_ptr<lossless::RemuxResult> result);

// What the change would do, read from source without writing anything:
// Completed with each track's gain, or Refused (container, codec, a field's
// range) or Failed with the reason.
lossless::RemuxResult plan_lossless(const std::string& source, const std::string& target,
                                    const std::vector<lossless::GainRequest>& requests);

}  // namespace sonorix
