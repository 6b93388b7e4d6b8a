// Target naming, codec options and progress arithmetic of the list page.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace sonorix {

class TCustomDecoder;
struct SourceFacts;

// The target of source in output_folder: prefix + name, or "NEW_" + name when
// the folder is the source's own and prefix is empty (compared as folders,
// not as texts); a source type no target list has becomes .wav, .rm, .mkv or
// .avi.
std::filesystem::path batch_target_name(const std::filesystem::path& source, const std::filesystem::path& output_folder,
                                        const std::string& prefix);

// The stream facts batch_codec_options reads besides the source's facts.
struct BatchSourceBitRates {
    int audio = -1;  // first audio stream, bit/s
    int file = -1;   // whole file, bit/s
};

// The bit rates of a source, as its facts tell them.
BatchSourceBitRates source_bit_rates(const SourceFacts& facts);

// The target keeps the source's container: their extensions agree, in any
// letter case.
bool same_container(const std::string& source, const std::string& target);
// ... and the probe found the source to be of the format the target's name
// asks for (a WAV file named .mp3 is no MP3 container).
bool same_container(const std::string& source, const std::string& target, const SourceFacts& facts);

// The rate or quality of every audio track of the source written to target:
// " -b:a RATE" / " -q:a 0" for one choice, else " -b:a:N RATE" per track (N
// counts the source's audio tracks, as they stand in the output with -map
// 0). A lossy track keeps its own rate: the stored one, else the one its
// packets show, never a quality below the source's; lossless targets and
// MP3 (where quality 0 is the best) keep " -q:a 0" where no rate is known.
// keep_container: the source's container stays (see same_container).
std::string audio_rate_options(const std::string& target, const SourceFacts& facts, const BatchSourceBitRates& rates,
                               bool keep_container, const std::string& codec_options = "");

// " -rf64 auto" for a WAV target: RIFF sizes end at 4 GB, past them the
// writer switches to RF64. Empty for other targets.
std::string wav_target_options(const std::string& target);

// Appends the codec options for target to options and the scale filter (with
// its leading ",") to video_filters.
void batch_codec_options(const std::string& source, const std::string& target, const SourceFacts& facts,
                         const BatchSourceBitRates& rates, std::string& options, std::string& video_filters);
void batch_codec_options(const std::string& source, const std::string& target, TCustomDecoder& probe,
                         std::string& options, std::string& video_filters);

// One choice for every audio track as " -OPTION:a VALUE", else " -OPTION:a:N
// VALUE" for each track that has one; nothing for none.
std::string per_track(const char* option, const std::vector<std::string>& values);

// Appends " -vf TEXT" / " -af TEXT" for a filter chain collected with
// leading commas; nothing for an empty chain.
void append_filter_chain(std::string& options, const char* option, std::string chain);

// A task's percentage, rounded half to even; nothing when the duration is not
// known, so that the caller keeps the last value. Always within 0..100.
std::optional<int> task_percent(int64_t position, int64_t duration);

// The plain mean of the task percentages, rounded half to even.
int mean_percent(const std::vector<int>& percents);

}  // namespace sonorix
