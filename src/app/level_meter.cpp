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
    FFLogger1.SetActive(false);
    FFLogger1.SetOnLog([this](TObject* s, int t, TLogLevel l, const std::string& m) { FFLogger1Log(s, t, l, m); });
}

void LevelMeter::clear_results() {
    max_volume_text.clear();
    peak_failed = false;
    peak_error.clear();
}

void LevelMeter::measure(MeterClient& client, TrackReadings readings) {
    client_ = &client;
    checking_ = false;
    track_readings = std::move(readings);
    // The logger listens before the task can print its result.
    FFLogger1.SetActive(true);
    FFdetect.ThreadPriority = tpIdle;
    FFdetect.StartTask(1);
}

void LevelMeter::check(MeterClient& client, size_t count) {
    client_ = &client;
    checking_ = true;
    check_readings_.assign(count, TrackReadings(1, LevelKind::Loudness));
    check_index_ = 0;
    FFLogger1.SetActive(true);
    FFdetect.ThreadPriority = tpNormal;
    FFdetect.StartTask(1);
}

void LevelMeter::continue_later() { timer_ffdetect->start(); }

void LevelMeter::FFLogger1Log(TObject*, int, TLogLevel, const std::string& ALogMsg) {
    if (!checking_) {
        track_readings.read(ALogMsg);
    } else if (check_index_ < check_readings_.size()) {
        check_readings_[check_index_].read(ALogMsg);
    }
}

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
            [] {},
            [this] {
                FFLogger1.SetActive(false);
                timer_ffdetect->start();
            });
        return;
    }
    FFLogger1.SetActive(false);
    end_phase(
        ATerminateInfo, client_ && client_->cancelled(),
        [&] {
            if (ATerminateInfo.Failed) {
                peak_failed = true;
                peak_error = ATerminateInfo.ErrorText;
                Application.MessageBox(ATerminateInfo.ErrorText, Application.Title, MB_ICONWARNING);
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
