// One run of the list in the modes Volume Change and Normalize: its rows,
// their measurement, distinct targets, option texts and conversion tasks on
// an encoder component. The window's handlers and sonorix-cli both drive it,
// so both write the same files. Main thread only.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sonorix {

class TCustomEncoder;
struct TTerminateInfo;

enum class BatchMode { VolumeChange, Normalize };

// What the Max-dB cell shows for a row whose peak is not known.
extern const char* const kNoPeakCell;
// Why such a row is not converted, when its measurement gave no reason.
extern const char* const kNoPeakReason;

struct BatchRow {
    enum class State { Waiting, Skipped, Converting, Completed, Failed, Stopped };

    std::string source;
    std::string max_db;  // the headroom as the Max-dB cell shows it ("3.5"), kNoPeakCell
    std::filesystem::path target;
    std::string options;  // the conversion's output option text
    State state = State::Waiting;
    std::string reason;  // why it was skipped, or the failed task's text
    int task = -1;       // its conversion task
};

class BatchJob {
public:
    BatchJob(BatchMode mode, int percent, std::filesystem::path output_folder, std::string prefix,
             const std::vector<std::string>& sources);

    BatchMode mode() const { return mode_; }
    const std::filesystem::path& output_folder() const { return output_folder_; }
    std::vector<BatchRow> rows;

    // Adds row's peak measurement (audio only, into the null device) to
    // encoder; the task index, or -1 with the message to show.
    int add_measurement(TCustomEncoder& encoder, size_t row, bool audio_hook, std::string& message) const;
    // The measurement of row ended: the headroom its "max_volume:" line gave
    // (empty: none) and a failed task's text. Without a headroom the row
    // shows kNoPeakCell and is not converted.
    void measured(size_t row, const std::string& headroom, const std::string& failure);
    void skip(size_t row, const std::string& reason);
    bool to_convert(size_t row) const { return rows[row].state == BatchRow::State::Waiting; }

    // Names every row still to convert, all at once (see distinct_targets).
    void plan_targets();
    // ",volume=1.5" or ",volume=3.5dB".
    std::string audio_filters(size_t row) const;
    // For each row still to convert, in order: open_row makes the encoder's
    // probe hold the row's file (false: the row is skipped for the reason it
    // gives); then the option text from the probe, and, unless dry, AddTask
    // and SetOutput. Plans the targets first. A failing AddTask or SetOutput
    // ends the set-up with the message to show; the tasks added are not
    // started.
    using OpenRow = std::function<bool(size_t row, std::string& reason)>;
    std::optional<std::string> add_conversions(TCustomEncoder& encoder, const OpenRow& open_row, bool dry = false);
    int conversion_tasks() const;

    // A termination event of the conversion component.
    void conversion_ended(const TTerminateInfo& info);

    // The gain of row in dB: the headroom, or 20 log10 of the factor; none
    // for an unmeasured row or a factor of 0.
    std::optional<double> gain_db(size_t row) const;
    // "Process is finished!", followed by the rows not converted and why.
    std::string finish_text() const;

private:
    BatchMode mode_;
    int percent_;
    std::filesystem::path output_folder_;
    std::string prefix_;
};

// A state as one word: "waiting", "skipped", "completed", ...
const char* state_name(BatchRow::State state);

}  // namespace sonorix
