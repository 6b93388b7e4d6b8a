// The measuring component both pages use: FFdetect, whose meter tasks (see
// workflow/meter_task.h) fill the readings of the measurement or of the
// checks running, and timer_ffdetect, through which the run goes on. The
// flow that started the measurement or the checks (the meter's client) gets
// their end.
//
// Threads: main thread only; FFdetect's events arrive through the engine's
// main-thread queue, and a task's readings are the main thread's from its
// termination event on.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QObject>

#include "app/flow.h"
#include "engine/FFEncode.h"
#include "workflow/meter_task.h"

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
    // Meter tasks that run at once: one per core of the two-core machines
    // the program is made for; a list of short files keeps both busy.
    static constexpr int kMeterTasks = 2;

    explicit LevelMeter(QObject* owner);

    TFFEncoder FFdetect;
    QTimer* timer_ffdetect;

    // The last measurement's results.
    std::shared_ptr<MeterReadings> track_readings;  // every audio track
    std::string max_volume_text;                    // the single page's main track headroom
    bool peak_failed = false;                       // the measurement failed or was stopped
    std::string peak_error;                         // a failed measurement's text

    // No value of an earlier measurement may stand in for the next one's.
    void clear_results();
    // Runs the meter task set up on FFdetect for client, which fills
    // readings. The analysis dialog is the client's.
    void measure(MeterClient& client, std::shared_ptr<MeterReadings> readings);
    // Runs every meter task set up on FFdetect for client, kMeterTasks at a
    // time: row_ended gets each task's end while the run is not cancelled,
    // measured() the end of them all.
    void measure_rows(MeterClient& client, std::function<void(const TTerminateInfo&)> row_ended);
    // Runs the checks set up on FFdetect for client, kMeterTasks at a time,
    // each filling its readings.
    void check(MeterClient& client, std::vector<std::shared_ptr<MeterReadings>> readings);
    // Checks rather than a measurement ran last.
    bool checking() const { return checking_; }
    const std::vector<std::shared_ptr<MeterReadings>>& check_readings() const { return check_readings_; }
    // The client's run goes on through timer_ffdetect.
    void continue_later();

    void FFdetectTerminate(TObject* Sender, const TTerminateInfo& ATerminateInfo);
    void timer_ffdetectTimer();

private:
    MeterClient* client_ = nullptr;
    std::function<void(const TTerminateInfo&)> row_ended_;  // set while rows are measured
    bool checking_ = false;
    std::vector<std::shared_ptr<MeterReadings>> check_readings_;
    size_t check_index_ = 0;  // the checks ended
};

}  // namespace sonorix::ui
