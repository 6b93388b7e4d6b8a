// Test media made at test time with the libraries' own encoders: short files
// with an exactly known peak level, duration, channel counts and streams.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace sonorix::test {

struct MediaSpec {
    // The peak of audio stream i.
    double peak_of(size_t i) const { return i < audio_peaks_db.size() ? audio_peaks_db[i] : peak_db; }

    // The container is chosen from the file name's extension: .wav (16-bit
    // PCM), .mp3, .flac, .ogg (Vorbis), .m4a (AAC), .aac (ADTS), .mp4
    // (H.264 + AAC), .mkv (H.264 + Vorbis, or as the codecs below say),
    // .avi (MPEG-4 Part 2 + MP3).
    // Exact to the sample for PCM and FLAC; lossy files decode to within one
    // coder frame (where the container cannot mark the coder's priming, as
    // ADTS, MKV and AVI, it plays as leading silence inside that length).
    double duration_seconds = 1.0;
    int sample_rate = 44100;
    // One entry per audio stream, its channel count; empty gives no audio.
    std::vector<int> audio_channels = {2};
    // Peak of every audio stream in dBFS: the largest decoded sample
    // magnitude is 10^(peak_db/20) of full scale (within 0.1 dB after lossy
    // coding). Every channel carries the same tone, faded in and out over
    // 100 ms; lossy coders drop it from an LFE channel (5.1 and wider).
    double peak_db = -6.0;
    // Per audio stream, in order: its own peak in dBFS (peak_db where missing).
    // Above 0 only for float sample formats ("pcm_f32le").
    std::vector<double> audio_peaks_db;
    double tone_hz = 441.0;
    // The tone's phase at its crest sample: with 45 at a quarter of the rate
    // every sample reads cos 45 deg of the tone's amplitude (peak_db), which
    // lies between them (the true peak).
    double tone_phase_degrees = 0;
    // White noise of that peak instead of the tone (the same in every
    // channel, under the same fades): what lossy coders' noise tools act on.
    bool noise = false;

    bool video = false;
    int width = 320;
    int height = 240;
    int frame_rate_num = 25;
    int frame_rate_den = 1;

    bool subtitle = false;     // one text subtitle stream (containers that take one)
                               // with a cue each second: "Cue 1", "Cue 2", ...
    int subtitle_streams = 1;  // with subtitle: how many such streams

    // What a film or an album carries besides its tracks.
    bool attachment = false;                                // a font file "font.ttf" (Matroska)
    bool cover = false;                                     // a 16x16 PNG cover picture (attached picture; in Ogg
                                                            // the comment that carries it)
    int chapters = 0;                                       // spread evenly, titled "Chapter 1", "Chapter 2", ...
    std::vector<std::pair<std::string, std::string>> tags;  // file tags: {"title", "A"}, ...
    // Per audio stream, in order: its flags (AV_DISPOSITION_*, as given; the
    // muxer's own choice when missing) and its "language" tag.
    std::vector<int> audio_dispositions;
    std::vector<std::string> audio_languages;
    // Per audio stream, in order: its bit rate in bit/s for lossy coders (the
    // generator's own choice when missing or 0).
    std::vector<int> audio_bit_rates;
    // Set on every audio encoder before it opens, by option name (its own
    // or the codec context's): {"joint_stereo", "0"}, {"flags", "+qscale"},
    // {"aac_pns", "1"}, {"profile", "aac_main"}, ...
    std::vector<std::pair<std::string, std::string>> audio_encoder_options;
    std::vector<std::string> audio_titles;  // their "title" (and "handler_name") tag
    int bits = 0;                           // 24: 24-bit samples (FLAC; WAV becomes pcm_s24le)

    // Override the container's default encoders by name ("libx264", "mpeg4",
    // "libmp3lame", "aac", "libvorbis", "flac", "pcm_s16le", ...).
    std::string audio_codec;
    std::vector<std::string> audio_codecs;  // per audio stream, in order (audio_codec where missing or empty)
    std::string video_codec;
    std::string subtitle_codec;  // "mov_text" (MP4), "subrip" (MKV), "ass", ...
};

// Writes the file and returns its path; throws std::runtime_error with the
// reason when the libraries refuse.
std::filesystem::path make_media(const std::filesystem::path& path, const MediaSpec& media = {});

// Largest absolute decoded sample of an audio stream (the first by default;
// audio_stream counts audio streams only), in dBFS, and the decoded duration
// in seconds (both measured by decoding with the libraries).
struct MeasuredAudio {
    double peak_db = 0;
    double rms_db = 0;  // mean level over all samples of all channels, dBFS
    double duration_seconds = 0;
    int channels = 0;
    int sample_rate = 0;
};
MeasuredAudio measure_audio(const std::filesystem::path& path, int audio_stream = 0);

}  // namespace sonorix::test
