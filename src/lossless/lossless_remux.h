// A volume change without re-encoding: the source is remuxed through
// libavformat with every packet copied, and only the gain fields of its audio
// tracks move (MP3 and AAC-LC in every packet, Opus in its header). The new
// file is written under a temporary name beside the target and renamed onto
// it once complete; a failure or a stop removes it.
//
// Threads: everything here runs on the caller's thread (a task's worker) and
// shares nothing; `stop` is read between packets and inside blocking reads.
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "lossless/aac_gain.h"
#include "lossless/bits.h"
#include "lossless/gain_steps.h"

namespace sonorix::lossless {

enum class GainCodec { Mp3, Aac, Opus };

// One audio track as the lossless path sees it.
struct TrackSurvey {
    int stream_index = -1;  // in the source
    GainCodec codec = GainCodec::Mp3;
    GainRoom room;  // in the codec's units: steps of 2^(1/4), or 1/256 dB for Opus
    AacConfig aac;
};

struct Survey {
    std::vector<TrackSurvey> tracks;  // every audio track, in order
    std::string refusal;              // why the file cannot take the path; empty when it can
    bool stopped = false;
};

// One track's gain: none keeps the track as it is (a silent track of a
// Normalize). limit_db is a bound the rounded gain may not pass (the gain
// that puts the true peak on the ceiling).
struct GainRequest {
    std::optional<double> db;
    StepRounding rounding = StepRounding::Nearest;
    std::optional<double> limit_db;
};

struct AppliedGain {
    int units = 0;                   // steps, or 1/256 dB for Opus
    double db = 0;                   // what the units give
    std::optional<double> asked_db;  // none: the track was kept as it is
};

// "+4.52 dB, asked +5.10 dB".
std::string gain_text(const AppliedGain& gain);

// Why a target of this name would not keep the source's container (another
// extension, or one whose muxer is not of the source's family); empty when
// it keeps it.
std::string container_refusal(const std::string& source, const std::string& target);

// Opens source and reads every packet of its MP3 and AAC tracks once (no
// decoding; a file of Opus tracks only is not read past its headers): each
// audio track's codec check and room, for a caller that asks before it
// writes (change_gain finds the same as it goes).
Survey survey_file(const std::string& source, const std::atomic<bool>& stop);

// Each track's units for its request (requests: one per audio track, or one
// for all); empty, or the refusal when a gain would push a field past its
// range.
std::string plan_gains(const Survey& survey, const std::vector<GainRequest>& requests, std::vector<AppliedGain>& gains);

enum class RemuxEnd { Completed, Refused, Failed, Stopped };

struct RemuxResult {
    RemuxEnd end = RemuxEnd::Failed;
    std::string text;                // the refusal or the failure
    std::vector<AppliedGain> gains;  // per audio track, once planned
};

// The share of the source read so far, 0 to 1.
using ShareDone = std::function<void(double share)>;

// The whole change: codec and container checks, the plan, then the remux of
// source into target with every audio track moved by its planned units, in
// one pass (a packet whose fields would leave their range refuses the file
// as it comes, and what was written is removed). An existing target is
// replaced (a link's file, the link kept) and keeps its permissions.
RemuxResult change_gain(const std::string& source, const std::string& target, const std::vector<GainRequest>& requests,
                        const std::atomic<bool>& stop, const ShareDone& progress = {});

}  // namespace sonorix::lossless
