// Reading the measured peak out of the measurement's log lines, and the texts
// of the analysis dialog.
#pragma once

#include <optional>
#include <string>

namespace sonorix {

// The measurement's output: the null muxer writes nothing, so the name is a
// label only; the video is not decoded.
extern const char* const kNullDevice;
extern const char* const kMeasurementOptions;  // " -af \"volumedetect\" -f null -vn"

// The headroom text of a line with "max_volume:" ("max_volume: -3.5 dB"
// gives "3.5"; a peak over full scale, "max_volume: 2.0 dB", gives "-2.0");
// nothing for any other line.
std::optional<std::string> max_volume_from_line(const std::string& line);

// The file-name part of path, cut to 46 characters followed by "..." when
// longer. Characters, not bytes: a name is never cut inside a UTF-8 sequence.
std::string analysis_file_label(const std::string& path);

// One tick of the "Analyzing" animation: a dot more, back to "Analyzing"
// beyond 69 characters.
std::string next_analysis_dots(const std::string& label);

}  // namespace sonorix
