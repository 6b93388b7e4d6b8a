// The null output, and the texts of the analysis dialog.
#pragma once

#include <optional>
#include <string>

namespace sonorix {

// A conversion that writes nothing: the null muxer opens no file, so the name
// is a label only.
extern const char* const kNullDevice;

// The file-name part of path, cut to 46 characters followed by "..." when
// longer. Characters, not bytes: a name is never cut inside a UTF-8 sequence.
std::string analysis_file_label(const std::string& path);

// One tick of the "Analyzing" animation: a dot more, back to "Analyzing"
// beyond 69 characters.
std::string next_analysis_dots(const std::string& label);

}  // namespace sonorix
