// One run of the list: its rows, their measurement (Normalize) or their
// intermediate files (average level), distinct targets, option texts and
// conversion tasks on an encoder component. The window's handlers and sonorix-cli both drive it,
// so both write the same files. Main thread only.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sonorix {

namespace lossless {
struct AppliedGain;
struct GainRequest;
struct RemuxResult;
}  // namespace lossless
class IntermediateFolder;
struct LoudnessReading;
struct MeterReadings;
struct TrackReading;
class NormalizerOutput;
struct SourceFacts;
class TCustomDecoder;
class TCustomEncoder;
struct TTerminateInfo;

enum class BatchMode { VolumeChange, Normalize, AverageLevel, Loudness };

// Volume Change, Normalize and Loudness: whether a row's lossy tracks have
// their gain fields moved (every packet copied) instead of being re-encoded.
// Prefer re-encodes a row that cannot take that path; Only fails it with
// the reason.
enum class LosslessUse { Never, Prefer, Only };

// Album mode: the files of a group keep their levels relative to each other
// (one gain for the group). The group is the whole list, or each folder.
enum class AlbumGroups { None, List, Folder };

// What the Max-dB cell shows for a row whose peak is not known.
extern const char* const kNoPeakCell;
// Why such a row is not converted, when its measurement gave no reason.
extern const char* const kNoPeakReason;

// One audio track of a row: a programme of its own, measured and given its
// own gain (Volume Change: the one factor of the run).
struct TrackLevel {
    int audio_index = 0;               // among the source's audio tracks: the N of a:N
    std::optional<double> peak_db;     // sample peak, dBFS, at the source's precision
    std::optional<double> integrated;  // LUFS
    std::optional<double> range;       // LU
    std::optional<double> true_peak;   // dBTP
    std::optional<double> gain;        // dB it is converted with; none: not converted
    double below_target = 0;           // LU the true-peak ceiling keeps it below the loudness target
    bool second_pass = false;          // converted again: its lossy target passed the peak limit
    std::vector<float> blocks;         // Loudness in an album: its 400 ms blocks' momentary loudness
    std::optional<double> applied;     // lossless: the gain its fields moved by (gain: what was asked)
};

struct BatchRow {
    // Decoding: its intermediate file is being written (average level).
    enum class State { Waiting, Skipped, Decoding, Converting, Completed, Failed, Stopped };

    std::string source;
    std::string max_db;  // the headroom as the Max-dB cell shows it ("3.5"), kNoPeakCell; the gain in Loudness mode
    std::filesystem::path target;
    std::string options;  // the conversion's output option text
    State state = State::Waiting;
    std::string reason;  // why it was skipped, or the failed task's text
    int task = -1;       // its conversion task (or its decoding task)
    // The gain in dB: the headroom, the loudness gain, the normalizer's
    // adjustment (average level), or a second pass's lowered gain.
    std::optional<double> gain;
    double below_target = 0;   // LU the true-peak ceiling keeps it below the loudness target
    bool second_pass = false;  // converted again: its lossy target passed the peak limit
    // Every audio track of the source in order (Normalize, Loudness and
    // average level fill them); the row's gain and Max-dB are the main track's.
    std::vector<TrackLevel> tracks;
    size_t main_track = 0;  // in tracks: the one flagged default, else the first
    // Album mode: the row's group ("list", or its folder) and the group's
    // loudness (LUFS, Loudness) or smallest headroom (dB, Normalize).
    std::string album;
    std::optional<double> album_level;
    std::optional<double> album_gain;  // the group's gain before any second pass
    bool within = false;               // skipped: its gain was within the skip threshold (nothing to do)
    // The path its conversion takes or took: gain fields moved with every
    // packet copied, or re-encoded (also after a refusal, given in
    // lossless_refusal, when the run prefers the lossless path).
    bool lossless = false;
    std::string lossless_refusal;
    // What one probe of its file told, with the file's stamp then: every
    // later phase reads these and probes again only when the stamp changed.
    std::shared_ptr<const SourceFacts> facts;
};

class BatchJob {
public:
    BatchJob(BatchMode mode, int percent, std::filesystem::path output_folder, std::string prefix,
             const std::vector<std::string>& sources);

    BatchMode mode() const { return mode_; }
    // Loudness mode's target (LUFS) and true-peak ceiling (dBTP).
    void set_loudness(double target, double ceiling);
    // Normalize and Loudness: one gain per group (see settle_gains).
    void set_album(AlbumGroups groups) { album_ = groups; }
    AlbumGroups album() const { return album_; }
    // Volume Change, Normalize and Loudness (see LosslessUse).
    void set_lossless(LosslessUse use) { lossless_ = use; }
    LosslessUse lossless() const { return lossless_; }
    // Rows whose every gain is smaller than db (absolute) are skipped.
    void set_skip_within(std::optional<double> db) { skip_within_ = db; }
    const std::filesystem::path& output_folder() const { return output_folder_; }
    std::vector<BatchRow> rows;

    // Adds row's measurement to encoder as a work task: the engine's meter
    // opens the file when the task starts and reads every audio track once
    // (in Loudness mode the loudness too, and in an album the blocks), so
    // nothing is opened here. readings is the task's worker's until the
    // task's termination event, the main thread's from then on. The task index.
    int add_measurement(TCustomEncoder& encoder, size_t row, std::shared_ptr<MeterReadings>& readings);
    // The measurement of row ended, with a reading per audio track and a
    // failed task's text. Each track gets its own gain: its headroom
    // (Normalize) or what brings it to the target under the ceiling
    // (Loudness). A row with no measured track shows kNoPeakCell and is
    // skipped, as is a silent one.
    void measured(size_t row, const std::vector<TrackReading>& tracks, const std::string& failure);
    // The same from the meter's readings, whose main track becomes the row's.
    void measured(size_t row, const MeterReadings& readings, const std::string& failure);
    void skip(size_t row, const std::string& reason);
    // Once every row is measured (or the normalizer's adjustments are in):
    // in album mode each group's one gain for every track of its files --
    // Normalize the smallest headroom of any track, Loudness what brings the
    // group's loudness (the main tracks' blocks pooled) to the target, lowered
    // for the whole group so no track's true peak passes the ceiling. Then
    // the rows whose gain is within the skip threshold are skipped with
    // their figure.
    void settle_gains();
    bool to_convert(size_t row) const { return rows[row].state == BatchRow::State::Waiting; }

    // Makes probe hold row's file (false: none, for the reason it gives).
    using OpenRow = std::function<bool(size_t row, std::string& reason)>;
    // The facts of row's file: the kept ones while its stamp stays, else
    // open_row's probe is read and they are kept. Nothing, with the reason,
    // when the file does not open.
    const SourceFacts* row_facts(size_t row, TCustomDecoder& probe, const OpenRow& open_row, std::string& reason);

    // Average level, phase 1: for each row still to convert, one task of
    // encoder per audio track it adjusts, decoding that track into its own
    // intermediate file in folder (the row's kept facts give the tracks and
    // their sample formats; the encoder's own probe opens a source that has
    // none or has changed). A failing AddTask or
    // SetOutput fails that row with the message.
    std::optional<std::string> add_decodes(TCustomEncoder& encoder, const IntermediateFolder& folder);
    // A termination event of the decoding component: a row whose tracks
    // are all decoded waits for its conversion; one with a failed or stopped
    // track is not converted.
    void decode_ended(const TTerminateInfo& info);
    // The intermediate files of the rows that go on to the normalizer, every
    // track's.
    std::vector<std::filesystem::path> intermediate_files() const;
    // The normalizer's adjustments, by intermediate file: each track's gain
    // (0 dB for a file it left alone), and the row's gain that of its main
    // track.
    void normalized(const NormalizerOutput& output);

    // Names every row still to convert, all at once (see distinct_targets;
    // keep_existing numbers past the files already in the folder).
    void plan_targets(bool keep_existing = false);
    // The rows to convert whose target is already there (a file, a folder,
    // a link): the user's, replaced only when the user says so.
    std::vector<size_t> existing_targets() const;
    // The audio filter chain of each audio track (",volume=3.46dB"); one
    // chain for all in Volume Change.
    std::vector<std::string> audio_filters(size_t row) const;
    // For each row still to convert, in order: its facts (row_facts; a row
    // whose file does not open is skipped for the reason open_row gives);
    // then the option text from them, and, unless dry, AddTask and SetOutput
    // (average level: the intermediate file, then the source as the second
    // input). Plans the targets first. A failing AddTask, AddInput or
    // SetOutput fails that row with the message; the others are added (with
    // the encoder's DeferSetup such failures come with the task's end). At
    // most max_tasks tasks are added; the rows after them wait for the next
    // call, so a long list can run in slices of bounded memory. With the
    // lossless path a row's task is the remux of its source (a work task;
    // a dry run reads the file for its gains, and such a row has no
    // options); one whose file refuses that path waits again, for a
    // re-encoding task of the next call (Prefer), or fails.
    std::optional<std::string> add_conversions(TCustomEncoder& encoder, TCustomDecoder& probe, const OpenRow& open_row,
                                               bool dry = false, size_t max_tasks = SIZE_MAX);
    // Rows still waiting for a conversion task.
    size_t waiting_rows() const;
    int conversion_tasks() const;

    // A termination event of the conversion component.
    void conversion_ended(const TTerminateInfo& info);
    // A lossless row's gain per track: "+4.52 dB, asked +5.10 dB" (with
    // "track N: " before each when the file has more than one); empty for
    // other rows.
    std::string lossless_text(size_t row) const;

    // Normalize and Loudness: the decoded peak and loudness of each completed
    // row's target, as a meter task of encoder each (see add_measurement)
    // that decodes only a target with a lossy track, so no target is opened
    // here; readings gets each task's readings. Returns the rows in task
    // order; none when there is nothing to check.
    std::vector<size_t> add_checks(TCustomEncoder& encoder, std::vector<std::shared_ptr<MeterReadings>>& readings);
    // The reading of every audio track of the check: a lossy track whose peak
    // (or true peak) passed the limit puts the row back to convert with that track's gain
    // lowered by the overshoot and a margin; its target is kept.
    void checked(size_t row, const std::vector<TrackReading>& tracks);
    // After every checked(): in album mode a group with a row to convert
    // again is converted again whole, every file lowered by the group's
    // largest lowering, so the levels stay relative.
    void checks_ended();
    int second_passes() const;

    // The gain of row in dB: the headroom, 20 log10 of the factor, or the
    // normalizer's adjustment; none when not known or for a factor of 0.
    std::optional<double> gain_db(size_t row) const;
    // "Process is finished!" (with errors, when a row failed), how many rows
    // were converted, skipped and failed, then the failed and skipped rows
    // with their reasons (and, with the lossless path, each lossless file's
    // gains and each re-encoded one's refusal).
    std::string finish_text() const;
    // "3 converted, 1 skipped, 1 failed." (", 2 stopped" when some were).
    std::string counts_text() const;
    bool any_failed() const;

private:
    BatchMode mode_;
    int percent_;
    double loudness_target_ = -16, ceiling_ = -1;
    AlbumGroups album_ = AlbumGroups::None;
    std::optional<double> skip_within_;
    LosslessUse lossless_ = LosslessUse::Never;
    // By row: what its running remux reports, written by the task's worker
    // and read here only after the task's termination event.
    std::map<size_t, std::shared_ptr<lossless::RemuxResult>> remuxes_;
    // Each audio track's request of the lossless path (see lossless_task.h).
    std::vector<lossless::GainRequest> lossless_requests(size_t row) const;
    // The row's remux task, or -1 with why the row cannot take that path.
    int add_remux(TCustomEncoder& encoder, const SourceFacts& facts, size_t row, std::string& why);
    // The gains a remux applied (or a dry run plans) become the tracks' own.
    void take_gains(size_t row, const std::vector<lossless::AppliedGain>& gains);
    std::string group_of(size_t row) const;
    void apply_album();
    std::filesystem::path output_folder_;
    std::string prefix_;
    const IntermediateFolder* folder_ = nullptr;  // average level, from add_decodes on
    // The row's main track's figures become the row's own.
    void take_main_track(size_t row);
    // Average level: each decoding task and its row.
    struct Decode {
        int task;
        size_t row;
        bool ended = false;
    };
    std::vector<Decode> decodes_;
};

// What the Max-dB cell shows: the main track's figure, and how many tracks
// more the file has ("3.5 (+1)").
std::string max_db_cell(const std::string& main_figure, size_t tracks);

// A state as one word: "waiting", "skipped", "completed", ...
const char* state_name(BatchRow::State state);

}  // namespace sonorix
