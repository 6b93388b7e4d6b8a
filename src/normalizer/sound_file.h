// WAV files through libsndfile: reading in blocks, and rewriting a file in
// place through a temporary file beside it. Streams; never holds a file whole.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

namespace sonorix::normalizer {

struct SndfileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
};
using SoundHandle = std::unique_ptr<SNDFILE, SndfileCloser>;

struct SoundReader {
    SoundHandle handle;
    SF_INFO info{};
};

// A program that rewrites files calls this first, before it starts any
// thread: an interrupt, hang-up or termination then removes the temporary
// files of the rewrites in progress before the program ends by it. (A kill
// cannot be caught; the originals are whole then too.)
void remove_temporary_files_on_signals();

// Opens a WAV file (RIFF, extensible or RF64) of 8- to 32-bit PCM or float
// samples; anything else throws std::runtime_error with the reason. raw:
// integer samples come as their integer values (exact both ways) instead of
// scaled to +-1 full scale.
SoundReader open_wav(const std::filesystem::path& file, bool raw);

// 16-bit samples in the machine's byte order: the common case, read as they
// are stored, without the library's conversion.
bool is_native_16_bit(const SF_INFO& info);

// Hands consecutive blocks of interleaved samples to each (samples, frames)
// up to the end of the file; a read error throws. Sample: float (enough to
// measure, half the memory traffic), double (exact for 32-bit samples) or,
// where is_native_16_bit, int16_t as stored.
template <class Sample>
void read_blocks(SoundReader& reader, const std::function<void(Sample*, sf_count_t)>& each);

// Multiplies every sample by gain (saturating at full scale) and keeps the
// format, sample type, channels, rate, channel map and text tags. The result
// is written to a temporary file beside the file's real location and renamed
// over it only when every byte reached the disk; on any failure the original
// is untouched and the temporary file removed. Throws with the reason.
void rewrite_with_gain(const std::filesystem::path& file, double gain);

}  // namespace sonorix::normalizer
