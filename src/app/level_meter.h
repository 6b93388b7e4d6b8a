// The measuring component both pages use: FFdetect, the logger whose lines
// it reads into the readings of the measurement or of the checks running,
// and timer_ffdetect, through which the run goes on. The flow that started
// the measurement or the checks (the meter's client) gets their end.
//
// Threads: main thread only; FFdetect's events and the log lines arrive
// through the engine's main-thread queue.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <QObject>

#include "app/flow.h"
#include "base/FFLog.h"
#include "engine/FFEncode.h"
#include "workflow/track_levels.h"

class QTimer;

namespace sonorix::ui {

// The flow a measurement or the checks of the meter run for.
class MeterClient : public Flow {
public:
    // The measurement's final notification, the run not cancelled.
    virtual void measured() = 0;
    // From timer_ffdetect: the run goes on after a measurement or the checks.
    virtual void meter_done() = 0;

protected:
    ~MeterClient() = default;
};

class LevelMeter : public QObject {
public:
    explicit LevelMeter(QObject* owner);

    // The logger comes first: the encoders, freed before it, may still log
    // while they stop.
    TFFLogger FFLogger1;
    TFFEncoder FFdetect;
    QTimer* timer_ffdetect;

    // The last measurement's results.
    TrackReadings track_readings;  // every audio track
    std::string max_volume_text;   // the single page's main track headroom
    bool peak_failed = false;      // the measurement failed or was stopped
    std::string peak_error;        // a failed measurement's text

    // No value of an earlier measurement may stand in for the next one's.
    void clear_results();
    // Runs the measurement set up on FFdetect for client, its lines read into
    // readings. The analysis dialog is the client's.
    void measure(MeterClient& client, TrackReadings readings);
    // Runs the count checks set up on FFdetect for client, one at a time so
    // that each line belongs to the check running.
    void check(MeterClient& client, size_t count);
    // Checks rather than a measurement ran last.
    bool checking() const { return checking_; }
    const std::vector<TrackReadings>& check_readings() const { return check_readings_; }
    // The client's run goes on through timer_ffdetect.
    void continue_later();

    void FFLogger1Log(TObject* Sender, int AThreadID, TLogLevel ALogLevel, const std::string& ALogMsg);
    void FFdetectTerminate(TObject* Sender, const TTerminateInfo& ATerminateInfo);
    void timer_ffdetectTimer();

private:
    MeterClient* client_ = nullptr;
    bool checking_ = false;
    std::vector<TrackReadings> check_readings_;
    size_t check_index_ = 0;  // the check whose lines arrive
};

}  // namespace sonorix::ui
