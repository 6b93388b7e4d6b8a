// The batch normalizer's work: measure the average level of WAV files and
// rewrite them in place with a gain, streaming, never holding a file whole.
#pragma once

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

namespace sonorix::normalizer {

enum class SampleKind { Int16, Int24, Int32, Float32 };

struct WavLayout {
    SampleKind kind = SampleKind::Int16;
    int channels = 0;
    int sample_rate = 0;
    int64_t data_offset = 0;  // first byte of the samples
    int64_t data_bytes = 0;   // whole frames only
    int bytes_per_sample = 2;
};

// Reads the header; throws std::runtime_error with the reason for anything
// that is not PCM 16/24/32-bit or 32-bit float WAV.
WavLayout read_layout(const std::filesystem::path& file);

// Mean power of all samples of all channels in dBFS; -inf for silence.
double average_level_db(const std::filesystem::path& file, const WavLayout& layout);

// Multiplies every sample by gain (saturating), writing a temporary file in
// the same folder that then replaces the original; the original is untouched
// on any failure. Returns the number of samples that had to be clipped.
int64_t apply_gain(const std::filesystem::path& file, const WavLayout& layout, double gain_db);

// Expands each argument: a path with '*' or '?' is matched in its folder
// (sorted), any other path is taken as it is.
std::vector<std::filesystem::path> expand_arguments(const std::vector<std::string>& args);

// The whole program: "-m" brings every file to the average of their levels;
// without it every file is brought to target_db. Prints one line per file.
// Returns the exit status.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace sonorix::normalizer
