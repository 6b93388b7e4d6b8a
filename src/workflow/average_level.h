// The pieces of the average-level run that are not conversions: the run's
// private folder of intermediate WAV files, the option texts of its two
// conversion phases, and the batch normalizer process between them with the
// markers of its output. No widgets; the window and sonorix-cli share them.
// Main thread only.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sonorix {

class TCustomDecoder;
struct SourceFacts;

// A fresh folder of the run's own (mkdtemp under $TMPDIR, mode 0700), so no
// other run's files are ever averaged in or deleted. Removed with everything
// in it when the object goes, unless removed before.
class IntermediateFolder {
public:
    // Nothing, with the system's reason in error, when it cannot be made.
    static std::unique_ptr<IntermediateFolder> make(std::string& error);
    ~IntermediateFolder();
    IntermediateFolder(const IntermediateFolder&) = delete;
    IntermediateFolder& operator=(const IntermediateFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The intermediate file of the track-th decoded audio track of row n:
    // "n.wav" for the first, "n-1.wav", "n-2.wav", ... for the others,
    // whatever the source is named.
    std::filesystem::path file(size_t row, size_t track = 0) const;
    // Deletes the files of rows 0..rows-1 one by one, calling step after
    // each row, then the folder with whatever the normalizer left in it.
    void remove(size_t rows, const std::function<void()>& step = {});

private:
    explicit IntermediateFolder(std::filesystem::path path) : path_(std::move(path)) {}
    std::filesystem::path path_;
    bool removed_ = false;
};

// The audio tracks of the source the probe holds that the run adjusts, as
// indices among its audio tracks: every one, each a programme of its own;
// only the main one where the target becomes a WAV file (an audio type no
// target list has), which holds one stream.
std::vector<int> average_tracks(const std::string& source, const SourceFacts& facts);

// Phase 1's output options for audio track audio_index of the source the
// probe holds: " -y", that track only, samples at the decoder's precision
// (float decoders, lossy ones included, give float, so nothing above full
// scale is clipped; 32-bit integers stay 32-bit; lossless sources deeper
// than 16 bits give 24 bits; 16-bit stays 16-bit), and an RF64 header once
// the file passes 4 GB. Channels and rate stay the source's.
std::string intermediate_options(const SourceFacts& facts, int audio_index = 0);
std::string intermediate_options(TCustomDecoder& probe, int audio_index = 0);

// Phase 3's output options. The source is the task's first input and the
// adjusted WAV of tracks[j] its input j + 1, so the source's own stream
// numbers, tags and chapters read as they are. In the source's stream order:
// each adjusted track in the place of the track it came from, with that
// track's flags, language and title; every other stream of a video source;
// the cover art of an audio source whose container the target keeps. Then
// the list's codec options; the other streams are copied as they are, and
// each adjusted track keeps its own codec and precision, where the container
// stays (as the probe finds the source's container, not as its extension
// says).
std::string average_mux_options(const std::string& source, const std::string& target, const SourceFacts& facts,
                                const std::vector<int>& tracks);

// How far one marker advances the bar of 100: round(100 / rows), ties to
// even (3 rows: 33, 8 rows: 12, 1 row: 100).
int marker_step(size_t rows);

// The normalizer program: $SONORIX_NORMALIZER when set, else
// sonorix-normalize beside the running program.
std::string normalizer_program();

// The normalizer's output, read as it comes: the markers of the files it
// adjusted or left alone, each counted once however the output is cut into
// reads, the adjustments it names, and its last lines for an error text.
class NormalizerOutput {
public:
    void add(const char* data, size_t size);
    void end();  // the output is complete: a last line without its end counts

    int markers() const { return markers_; }
    // "Applying adjustment of X.XXdB to FILE...": X by FILE.
    const std::map<std::string, double>& adjustments() const { return adjustments_; }
    std::string last_lines() const;

private:
    void line(std::string text);
    std::string pending_;
    int markers_ = 0;
    std::map<std::string, double> adjustments_;
    std::deque<std::string> last_;
};

// The normalizer run over the intermediate files: "-m" and each file as its
// own argument; standard output and error merged into one pipe read without
// blocking, no standard input. Killed and reaped when the object goes.
class NormalizerRun {
public:
    NormalizerRun() = default;
    ~NormalizerRun();
    NormalizerRun(const NormalizerRun&) = delete;
    NormalizerRun& operator=(const NormalizerRun&) = delete;

    // False, with failure() set, when the pipe or the process cannot be made.
    bool start(const std::string& program, const std::vector<std::filesystem::path>& files);
    // Reads what is waiting, waiting up to timeout_ms for output or the
    // process's end; true while the run goes on. Output that is waiting is
    // always read before the end is looked at.
    bool pump(int timeout_ms);
    // Ends a run that is still going (SIGTERM, then SIGKILL).
    void kill();

    const NormalizerOutput& output() const { return output_; }
    // Why the run failed ("exited with status 1", "was killed by signal 9",
    // "could not be started: ..."); nothing after a clean end.
    const std::optional<std::string>& failure() const { return failure_; }
    // The text for the user: the program, why, and its last output lines.
    std::string failure_text() const;

private:
    void ended(int status);
    std::string program_;
    pid_t pid_ = -1;
    int fd_ = -1;
    NormalizerOutput output_;
    std::optional<std::string> failure_;
};

}  // namespace sonorix
