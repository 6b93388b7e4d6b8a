#include "workflow/lossless_task.h"

#include <atomic>
#include <cmath>

#include "engine/FFEncode.h"
#include "workflow/batch_job.h"

namespace sonorix {

std::string lossless_refusal_text(const std::string& why) {
    return "cannot change the volume without re-encoding: " + why;
}

std::string gains_text(const std::vector<lossless::AppliedGain>& gains) {
    std::string text;
    for (size_t t = 0; t < gains.size(); ++t) {
        if (!text.empty()) text += "; ";
        if (gains.size() > 1) text += "track " + std::to_string(t + 1) + ": ";
        text += lossless::gain_text(gains[t]);
    }
    return text;
}

std::string lossless_status(const std::string& gains, const std::string& refusal) {
    if (!refusal.empty()) return "converted by re-encoding, as the lossless path was refused: " + refusal;
    return "converted without re-encoding: " + gains;
}

std::vector<lossless::GainRequest> volume_change_requests(int percent) {
    const double db = percent > 0 ? 20 * std::log10(percent / 100.0) : -HUGE_VAL;
    return {{db, lossless::StepRounding::Nearest, std::nullopt}};
}

std::vector<lossless::GainRequest> measured_requests(BatchMode mode, const std::vector<TrackGain>& tracks,
                                                     double ceiling) {
    std::vector<lossless::GainRequest> requests;
    const bool loudness = mode == BatchMode::Loudness;
    for (const TrackGain& t : tracks) {
        lossless::GainRequest q{t.gain, loudness ? lossless::StepRounding::Nearest : lossless::StepRounding::Down,
                                std::nullopt};
        if (loudness && t.true_peak && std::isfinite(*t.true_peak)) q.limit_db = ceiling - *t.true_peak;
        requests.push_back(q);
    }
    return requests;
}

int add_lossless_task(TCustomEncoder& encoder, const std::string& source, const std::string& target,
                      std::vector<lossless::GainRequest> requests, bool refusal_fails, int64_t duration,
                      std::shared_ptr<lossless::RemuxResult> result) {
    return encoder.AddWorkTask(
        [source, target, requests = std::move(requests), refusal_fails, result](
            const std::atomic<bool>& stop, const std::function<void(double)>& progress) {
            *result = lossless::change_gain(source, target, requests, stop, progress);
            switch (result->end) {
            case lossless::RemuxEnd::Completed:
            case lossless::RemuxEnd::Stopped: return std::string();
            // A file to be re-encoded did not fail: its task ends complete,
            // so the run's checks still follow.
            case lossless::RemuxEnd::Refused:
                return refusal_fails ? lossless_refusal_text(result->text) : std::string();
            case lossless::RemuxEnd::Failed: break;
            }
            return result->text;
        },
        duration);
}

lossless::RemuxResult plan_lossless(const std::string& source, const std::string& target,
                                    const std::vector<lossless::GainRequest>& requests) {
    lossless::RemuxResult plan;
    plan.end = lossless::RemuxEnd::Refused;
    const std::atomic<bool> never{false};
    // The order of change_gain: a track of another codec names the likelier
    // reason, then the container, then each field's room.
    const lossless::Survey survey = lossless::survey_file(source, never);
    plan.text = survey.refusal;
    if (plan.text.empty()) plan.text = lossless::container_refusal(source, target);
    if (plan.text.empty()) plan.text = lossless::plan_gains(survey, requests, plan.gains);
    if (plan.text.empty()) plan.end = lossless::RemuxEnd::Completed;
    return plan;
}

}  // namespace sonorix
