// The files behind a task's names: which names are files and which protocol
// URLs, file identity, inputs whose reads wait in slices a stop can end, and
// the temporary file a target is written under until the task completes.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "base/libav.h"

namespace sonorix {

// Temporary files are ".NAME.XXXXXX.part" beside their target (NAME the
// target's name, shortened to fit the folder's name limit): a killed run
// leaves files of this pattern only.
inline constexpr const char* kTempSuffix = ".part";

// A name as the libraries are to see it.
struct MediaName {
    bool local = true;  // a file of the file system; otherwise a protocol URL
    std::string path;   // local: the file's path
    std::string url;    // what the libraries open: "file:" + path where the name would read as a protocol
};

// Local unless the part before the first ':' is a protocol the libraries know
// for that direction and no file of that name exists.
MediaName classify_name(const std::string& name, bool output);

struct FileIdentity {
    dev_t device;
    ino_t inode;
    bool operator==(const FileIdentity&) const = default;
};
// The identity of an existing local file (links followed); none otherwise.
std::optional<FileIdentity> file_identity(const std::string& name);

// Opens an input's bytes where the libraries' own opening would take a file
// name with a colon for a protocol, or would wait on a FIFO, pipe or device
// without asking the interrupt call-back (which the reads here do in short
// slices). 0 with *pb null when the libraries open the name themselves.
int open_input_io(const std::string& name, const AVIOInterruptCB& callback, AVDictionary** options, AVIOContext** pb);
// Closes and frees an I/O context that open_input_io made.
void close_input_io(AVIOContext* pb);

// The process's file-creation mask, read without setting it: setting it even
// for a moment would give files that other threads create then no mask.
mode_t current_umask();

// Creates the empty temporary file for target with the given permissions;
// empty (errno set) when that fails.
std::string make_temp_file(const std::string& target, mode_t mode);

// Moves a finished temporary file onto its target once its bytes are on the
// disk; with no_replace an existing target stays as it is (EEXIST). 0 or a
// negative error code.
int commit_temp_file(const std::string& temp, const std::string& target, bool no_replace);

}  // namespace sonorix
