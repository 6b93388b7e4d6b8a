// ReplayGain tags written into the files themselves instead of new files:
// which files take them, the texts the tags hold, and the writing, which
// goes through a copy beside the file renamed onto it, so a failure leaves
// the file as it was. TagLib touches the tags only, never the audio.
// One call at a time, on any one thread (TagRun writes from a work task).
#pragma once

#include <map>
#include <optional>
#include <string>

namespace sonorix {

class TCustomDecoder;

constexpr double kReplayGainReference = -18.0;  // LUFS the REPLAYGAIN_* gains bring a file to
constexpr double kOpusReference = -23.0;        // LUFS of Opus's R128_* gains (RFC 7845)

// The kinds of tag a file takes: ID3v2 TXXX frames (MP3), Xiph comments
// (FLAC, Ogg Vorbis; Opus with R128_* fields) and iTunes freeform items (M4A).
enum class TagFormat { None, Mp3, Flac, OggVorbis, Opus, Mp4 };

// Which tags the file the probe holds takes, from what the file really is
// (not its name); None with the reason for everything else (video, WAV,
// several audio tracks, ...).
TagFormat tag_format(TCustomDecoder& probe, std::string& reason);
const char* tag_format_name(TagFormat format);

// What is written: gains in dB to kReplayGainReference, peaks as linear
// sample-peak ratios. No album values: album tags are left as they are.
struct GainTags {
    double track_gain = 0;
    double track_peak = 0;
    std::optional<double> album_gain, album_peak;
};

// The gain that brings a programme of this loudness (LUFS) to the
// reference, and a peak in dBFS as a linear ratio.
double replaygain_of(double loudness);
double peak_ratio(double peak_db);

// The tags' texts whatever the locale: "-3.12 dB", "+0.50 dB"; "0.987654";
// Opus's Q7.8 gain to kOpusReference ("-768"), held within 16 bits.
std::string gain_text(double db);
std::string peak_text(double ratio);
int r128_gain(double replaygain_db);

// Writes tags into the file at path (through links, into the file they
// name), or with tags null takes every ReplayGain and R128 tag away. The
// copy keeps the file's permissions; keep_time keeps its modification time.
// Empty when done; else the reason, and the file is unchanged.
std::string write_tags(const std::string& path, TagFormat format, const GainTags* tags, bool keep_time);

// The ReplayGain (and R128) tags the file holds, by their lower-case names
// without the iTunes prefix ("replaygain_track_gain", "r128_track_gain");
// a name held twice reads as its texts joined by a line break.
std::map<std::string, std::string> read_tags(const std::string& path, TagFormat format);

}  // namespace sonorix
