// Rules of the file list: the size text of a row, the media files of a
// folder, and target names that no two rows share.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace sonorix {

// Bytes in MB with two decimals at most, rounded half to even on the
// hundredths: 1,500,000 gives "1.43MB", 131,072 gives "0.12MB".
std::string list_size_text(int64_t bytes);

// The list's open dialog filter: video and audio, video, audio.
std::string list_file_filter();

// A target prefix as the options dialog takes one: at most 20 of "-", "_",
// digits and ASCII letters.
bool is_prefix_text(const std::string& prefix);

// The folder trimmed of blanks, with one final "/" ("/" stays "/").
std::string folder_with_separator(const std::string& folder);

// The media files directly inside folder (written with its final "/"),
// sorted by name in byte order; sub-folders are not entered.
std::vector<std::string> folder_media_files(const std::string& folder);

// The command line's files with each folder among them replaced by the media
// files inside it (with recursive, in its sub-folders too, not following
// links to folders), sorted by path in byte order so every run lists them
// alike. The folders that held none are added to empty_folders.
std::vector<std::string> expand_folders(const std::vector<std::string>& args, bool recursive,
                                        std::vector<std::string>& empty_folders);

// The target of each row whose index is in named (the others stay empty):
// batch_target_name, then " (2)", " (3)", ... before the extension until the
// name is no row's source (by identity) and no other row's target. Decided
// for all rows at once, before any task writes. With keep_existing, the
// numbering also passes over every file already there (nothing is replaced).
std::vector<std::filesystem::path> distinct_targets(const std::vector<std::string>& sources,
                                                    const std::vector<size_t>& named,
                                                    const std::filesystem::path& output_folder,
                                                    const std::string& prefix, bool keep_existing = false);

}  // namespace sonorix
