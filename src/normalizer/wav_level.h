// The batch normalizer's work: measure the level of WAV files and bring them
// to one level, the average of all of them (-m) or a fixed one (-a).
#pragma once

#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

namespace sonorix::normalizer {

enum class LevelKind {
    Loudness,  // EBU R128 integrated loudness, LUFS
    Rms,       // mean power of all samples of all channels, dBFS
};

struct Measurement {
    double level_db = 0;  // -inf: nothing to measure (silence, or too short for a loudness block)
    double peak = 0;      // largest |sample|; 1 is full scale
};

// Reads the whole file once; throws std::runtime_error with the reason.
Measurement measure(const std::filesystem::path& file, LevelKind kind);

struct Gain {
    double db = 0;
    bool limited = false;  // lowered so the file's peak stays below full scale
};

// The gain that moves level_db to target_db, limited by the peak.
Gain gain_for(const Measurement& m, double target_db);

// The file arguments as paths, each taken literally ('*', '?' and '[' are
// parts of a name like any other character).
std::vector<std::filesystem::path> file_arguments(const std::vector<std::string>& args);

// The whole program. Every file is measured before any is rewritten; a file
// that cannot be measured fails the run with no file changed. Prints one
// marker line per file ("Applying adjustment of ..." or "... not
// adjusting..."). Returns the exit status.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace sonorix::normalizer
