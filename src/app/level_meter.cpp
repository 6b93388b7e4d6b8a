#include "app/level_meter.h"

#include <algorithm>
#include <utility>

#include <QProgressBar>
#include <QTimer>

#include "app/dialogs.h"
#include "app/forms.h"
#include "app/messages.h"
#include "app/p_analyze.h"
#include "app/p_batchaudioc.h"

namespace sonorix::ui {

LevelMeter::LevelMeter(QObject* owner) : QObject(owner) {
    setObjectName("level_meter");
    timer_ffdetect = continuation_timer(this, "timer_ffdetect");
    connect(timer_ffdetect, &QTimer::timeout, this, [this] { timer_ffdetectTimer(); });
    FFdetect.OnTerminate = [this](TObject* s, const TTerminateInfo& i) { FFdetectTerminate(s, i); };
}

void LevelMeter::clear_results() {
    max_volume_text.clear();
    peak_failed = false;
    peak_error.clear();
}

void LevelMeter::measure(MeterClient& client, std::shared_ptr<MeterReadings> readings) {
    client_ = &client;
    checking_ = false;
    row_ended_ = nullptr;
    track_readings = std::move(readings);
    FFdetect.ThreadPriority = tpIdle;
    FFdetect.StartTask(1);
}

void LevelMeter::measure_rows(MeterClient& client, std::function<void(const TTerminateInfo&)> row_ended) {
    client_ = &client;
    checking_ = false;
    row_ended_ = std::move(row_ended);
    track_readings.reset();
    FFdetect.ThreadPriority = tpIdle;
    FFdetect.StartTask(kMeterTasks);
}

void LevelMeter::check(MeterClient& client, std::vector<std::shared_ptr<MeterReadings>> readings) {
    client_ = &client;
    checking_ = true;
    check_readings_ = std::move(readings);
    check_index_ = 0;
    row_ended_ = nullptr;
    FFdetect.ThreadPriority = tpNormal;
    FFdetect.StartTask(kMeterTasks);
}

void LevelMeter::continue_later() { timer_ffdetect->start(); }

void LevelMeter::FFdetectTerminate(TObject*, const TTerminateInfo& ATerminateInfo) {
    if (checking_) {
        // A check that fails leaves its target as it is; the others count.
        end_phase(
            ATerminateInfo, false,
            [this] {
                ++check_index_;
                batchaudioc->show_percent(
                    static_cast<int>(100 * check_index_ / std::max<size_t>(1, check_readings_.size())));
            },
            [] {}, [this] { timer_ffdetect->start(); });
        return;
    }
    // The client tells a failure: a list row is skipped with it, the single
    // page shows it. A row stopped by Cancel is left as it was.
    const bool cancelled = client_ && client_->cancelled();
    end_phase(
        ATerminateInfo, cancelled,
        [&] {
            if (row_ended_) {
                if (!cancelled) row_ended_(ATerminateInfo);
            } else if (ATerminateInfo.Failed) {
                peak_failed = true;
                peak_error = ATerminateInfo.ErrorText;
            } else if (!ATerminateInfo.Completed) {
                peak_failed = true;
            }
        },
        [] {
            analyzeaudio->timer1->stop();
            close_form(analyzeaudio);
        },
        [this] {
            if (client_) client_->measured();
        });
}

void LevelMeter::timer_ffdetectTimer() {
    timer_ffdetect->stop();
    if (client_) client_->meter_done();
}

}  // namespace sonorix::ui
