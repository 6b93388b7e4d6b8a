// A media file's format as a person reads it: "MP3 · 192 kb/s · stereo",
// "FLAC · 44.1 kHz · mono", "H.264 · AAC 5.1 + stereo".
#pragma once

#include <string>

struct AVFormatContext;

namespace sonorix {

// From an opened file's streams: the first video stream's codec (attached
// pictures are covers, not video), then the audio tracks. One audio track
// of an audio file adds its bit rate (lossy) or sample rate (lossless).
std::string readable_format(const AVFormatContext* file);

}  // namespace sonorix
