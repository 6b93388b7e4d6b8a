// One run of ReplayGain tagging, the same for sonorix-cli's tag verb and the
// window's list: what each file is, its loudness measured by the engine's
// one-pass meter (work tasks, several at once), the tags chosen (an album
// pools its files' gated blocks), and the tags written into the files
// themselves, one work task a file.
//
// Threads: the run lives on the main thread. A measuring task's worker fills
// only its file's MeterReadings, a writing task's worker only its file's
// outcome; the main thread reads them from the task's termination event on.
// The writing tasks must run one at a time (TagLib is never run on two
// threads at once).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "workflow/batch_job.h"
#include "workflow/replaygain_tags.h"

namespace sonorix {

class TCustomDecoder;
class TCustomEncoder;
struct MeterReadings;
struct TTerminateInfo;

struct TagFile {
    std::string path;
    TagFormat format = TagFormat::None;
    std::optional<double> loudness;  // LUFS, as the meter gave it
    std::optional<GainTags> tags;    // chosen (none when removing)
    std::string error;               // why it failed; the file is unchanged
    bool refused = false;            // takes no tags: no member of any album
    bool written = false;            // its tags were written (or removed)
    bool stopped = false;            // the run stopped before it was written
};

class TagRun {
public:
    // The ceiling lowers no gain here: the tags carry the plain gain to the
    // reference, the player keeps the peak in hand.
    TagRun(const std::vector<std::string>& paths, AlbumGroups album, bool remove);
    ~TagRun();

    std::vector<TagFile> files;
    bool remove() const { return remove_; }
    AlbumGroups album() const { return job_.album(); }

    // What file is, from the probe holding it: the tags it takes, or why it
    // takes none.
    void classify(size_t file, TCustomDecoder& probe);
    // The caller could not open file: it fails with reason.
    void refuse(size_t file, const std::string& reason);

    // Adds the measurement of every file that takes tags (none when
    // removing); how many were added.
    int add_measurements(TCustomEncoder& encoder);
    // A termination event of the measuring encoder (one task's end).
    void measured(const TTerminateInfo& info);
    // Once every measurement has ended: each file's tags, an album's gain
    // and peak from its files together.
    void choose_tags();

    // Adds the writing (or removal) of every file still without an error;
    // keep_time keeps the files' modification times. How many were added.
    int add_writes(TCustomEncoder& encoder, bool keep_time);
    // A termination event of the writing encoder. A file written just as the
    // run was stopped counts as written: its worker tells.
    void written(const TTerminateInfo& info);
    // After a stop: the files that were to be written and were not.
    void stopped();

    // Tags written, removed, failed.
    int count_written() const;
    // What a written file now holds: "REPLAYGAIN_TRACK_GAIN -3.12 dB,
    // REPLAYGAIN_TRACK_PEAK 0.501308" (or "R128_TRACK_GAIN -768"), "removed".
    std::string tags_text(size_t file) const;

private:
    struct Outcome;
    BatchJob job_;  // the measurement's rows and the album's pooling
    bool remove_;
    std::vector<int64_t> durations_;  // microseconds, -1 when not known
    std::map<int, size_t> measuring_, writing_;
    std::map<size_t, std::shared_ptr<MeterReadings>> readings_;
    std::map<size_t, std::shared_ptr<Outcome>> outcomes_;
};

}  // namespace sonorix
