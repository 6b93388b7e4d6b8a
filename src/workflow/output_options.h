// Codec, format, sample-rate, channel, frame-rate and frame-size options for
// a target file, chosen from its extension and the source the probe holds.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sonorix {

class TCustomDecoder;

// One stream of the source, as the rules see it.
struct StreamFacts {
    char kind = 'a';    // 'v', 'a', 's', 'd' or 't' (attachment), as in stream specifiers; 'u': unknown
    std::string codec;  // the libraries' codec name: "flac", "pcm_s24le", "subrip"
    // The encoder that writes that codec here; empty when there is none that
    // is not experimental.
    std::string encoder;
    // Audio of a lossless codec: the encoder's sample format that keeps the
    // source's precision; empty when the encoder has no choice to make.
    std::string sample_format;
    int bit_rate = -1;   // bit/s, -1 when not known
    bool cover = false;  // an attached picture (cover art)
    // Audio: bit/s read from the stream's packets where the container stores
    // no rate (Vorbis and Opus in Ogg, WebM, MKV); -1 when not measured.
    int packet_bit_rate = -1;
    int channels = -1;    // audio: channel count
    int disposition = 0;  // AV_DISPOSITION_* flags
    bool lossy = false;   // as the codec describes itself
    bool lossless = false;
    // Audio: the decoder's sample format (AVSampleFormat, -1 when the probe
    // did not learn it) and the bits of each sample (0 when not known).
    int decoded_format = -1;
    int raw_bits = 0;
    int coded_bits = 0;
};

// What tells a file apart from the one that was probed: a later phase of a
// run probes it again only when these changed.
struct SourceStamp {
    std::uintmax_t size = 0;
    std::filesystem::file_time_type modified{};
    bool operator==(const SourceStamp&) const = default;
};

// The file's stamp now; nothing when it cannot be read (gone, unreadable).
std::optional<SourceStamp> source_stamp(const std::filesystem::path& file);

// What the rules read of the source.
struct SourceFacts {
    std::string info;  // the probe's description, lower-cased
    int frame_rate_num = 0;
    int frame_rate_den = 1;
    int width = -1;
    int height = -1;
    int sample_rate = -1;
    int channels = -1;
    // Every stream in file order; empty when not known (then the rules keep
    // to the first audio and video stream).
    std::vector<StreamFacts> streams;
    // The audio codec the source's container gets when none is named.
    std::string container_audio_codec;
    // What the probe found the container to be, as the names and file name
    // extensions of its reader ("wav", "mov", "mp4", "m4a", ...); empty when
    // not known (then the source's extension says).
    std::vector<std::string> container_names;
    // The 3GP default audio codec can be written here.
    bool amr_nb_encoder = true;
    // Bit/s of the first audio stream and of the whole file, -1 when not
    // known; the length in microseconds, -1 when not known.
    int audio_bit_rate = -1;
    int file_bit_rate = -1;
    int64_t duration = -1;
    // The file as it was when these were read; nothing when not taken (then
    // the facts are never taken for current).
    std::optional<SourceStamp> stamp;
};

// Reads the facts from a probe that has the source open (first video and
// first audio stream, and every stream's codec and flags). Kept, they stand
// for the probe until the file's stamp changes; the stamp is the caller's.
SourceFacts source_facts(TCustomDecoder& probe);
// Loads file into probe and reads its facts, with the stamp the file had
// before it was read (one changed meanwhile is read again); null when the
// probe cannot load it.
std::shared_ptr<SourceFacts> load_source_facts(TCustomDecoder& probe, const std::string& file);
// Only every stream's own facts (no packet rates, no second reader): what
// the track rules read.
std::vector<StreamFacts> source_streams(TCustomDecoder& probe);
// Whether facts still stand for file: their stamp is the file's now.
bool facts_current(const SourceFacts& facts, const std::filesystem::path& file);

// The probed container is the one the target's name asks for (the reader
// that opened the source also reads the target's format); true when the
// probe did not say.
bool probed_container_is(const SourceFacts& facts, const std::string& target_file);

// The encoder that writes audio of codec (a codec name) into target_file
// when it names none: the target format's own codec's encoder, or codec's
// own when the format holds it and keep_codec is set.
std::string target_audio_encoder(const std::string& target_file, const std::string& codec, bool keep_codec);

// Bit/s that an audio encoder gets when nothing is known of the source's
// rate: 128 kbit/s for stereo, in proportion for other channel counts.
int fallback_audio_bit_rate(int channels);

// Shortest general decimal form, at most 15 significant digits, "." as the
// separator in every locale: 29.97, 25, 1.5.
std::string real_text(double value);

std::string ffcodec(const std::string& target_file, const SourceFacts& source);
std::string ffcodec(const std::string& target_file, TCustomDecoder& probe);

std::string ffframesize(const std::string& width, const std::string& height, const std::string& target_file,
                        const SourceFacts& source);
std::string ffframesize(const std::string& width, const std::string& height, const std::string& target_file,
                        TCustomDecoder& probe);

}  // namespace sonorix
