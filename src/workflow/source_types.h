// Which files may be loaded and which formats a source may become, and the
// duration text of the file list.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sonorix {

extern const std::string_view video_source_types;
extern const std::string_view audio_source_types;
extern const std::string_view video_target_types;
extern const std::string_view audio_target_types;

// The upper-cased extension of file_name with its dot occurs in list. A name
// without extension is never a member.
bool is_member(std::string_view list, const std::string& file_name);

// Microseconds as "%.2d:%.2d:%.2d.%.3d"; hours are not limited to two digits.
std::string duration_text(int64_t duration);

// The open dialog's filter: all, audio, video.
std::string source_file_filter();

// a and b name one file: the same file by identity (links, "..", another
// spelling the file system folds), or, for a file not there yet, the same
// normalized path.
bool same_file(const std::string& a, const std::string& b);

}  // namespace sonorix
