#include "workflow/average_level.h"
#include "workflow/track_levels.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "engine/FFDecode.h"
#include "workflow/batch_rules.h"
#include "base/libav.h"
#include "workflow/output_options.h"
#include "workflow/source_types.h"
#include "workflow/text.h"

extern char** environ;

namespace sonorix {

namespace fs = std::filesystem;

// ---- The private folder ----------------------------------------------------

std::unique_ptr<IntermediateFolder> IntermediateFolder::make(std::string& error) {
    const char* tmp = std::getenv("TMPDIR");
    // Absolute, so that no intermediate path starts with '-' (a relative
    // TMPDIR like "-x" would make the normalizer read its files as options).
    std::error_code ec;
    const fs::path base = fs::absolute(tmp && *tmp ? tmp : "/tmp", ec);
    std::string name = (ec ? fs::path("/tmp") : base).string() + "/sonorix-average-XXXXXX";
    if (!::mkdtemp(name.data())) {
        error = std::strerror(errno);
        return nullptr;
    }
    return std::unique_ptr<IntermediateFolder>(new IntermediateFolder(name));
}

IntermediateFolder::~IntermediateFolder() { remove(0); }

fs::path IntermediateFolder::file(size_t row, size_t track) const {
    return path_ / (std::to_string(row) + (track ? "-" + std::to_string(track) : "") + ".wav");
}

void IntermediateFolder::remove(size_t rows, const std::function<void()>& step) {
    if (removed_) return;
    removed_ = true;
    std::error_code ec;
    for (size_t i = 0; i < rows; ++i) {
        fs::remove(file(i), ec);
        for (size_t k = 1; fs::remove(file(i, k), ec); ++k) {}
        if (step) step();
    }
    // The folder is the run's own: whatever is left in it (a normalizer's
    // temporary file, a stopped task's) came from this run.
    fs::remove_all(path_, ec);
}

// ---- Option texts ----------------------------------------------------------

namespace {

// Audio track audio_index (among the audio tracks), or nothing.
const StreamFacts* audio_stream(const SourceFacts& facts, int audio_index) {
    int k = 0;
    for (const StreamFacts& s : facts.streams) {
        if (s.kind == 'a' && k++ == audio_index) return &s;
    }
    return nullptr;
}

// The WAV codec that holds what the decoder gives without loss; empty for
// the container's own 16 bits.
std::string intermediate_codec(const StreamFacts& audio) {
    switch (av_get_packed_sample_fmt(static_cast<AVSampleFormat>(audio.decoded_format))) {
    case AV_SAMPLE_FMT_FLT: return "pcm_f32le";
    case AV_SAMPLE_FMT_DBL: return "pcm_f64le";
    case AV_SAMPLE_FMT_S32:
    case AV_SAMPLE_FMT_S64: {
        const int bits = audio.raw_bits > 0 ? audio.raw_bits : 32;
        return bits > 24 ? "pcm_s32le" : bits > 16 ? "pcm_s24le" : "";
    }
    case AV_SAMPLE_FMT_NONE: break;
    default: return "";
    }
    // The probe did not learn the decoder's format: lossless samples of more
    // than 16 bits keep 24.
    if (!audio.lossless) return "";
    const int bits = audio.raw_bits > 0 ? audio.raw_bits : audio.coded_bits;
    return bits > 16 ? "pcm_s24le" : "";
}

}  // namespace

std::vector<int> average_tracks(const std::string& source, const SourceFacts& facts) {
    const int count = audio_track_count(facts);
    if (count <= 0) return {};
    if (is_member(audio_source_types, source) && !is_member(audio_target_types, source)) {
        return {main_audio_track(facts)};
    }
    std::vector<int> tracks(static_cast<size_t>(count));
    for (size_t k = 0; k < tracks.size(); ++k) tracks[k] = static_cast<int>(k);
    return tracks;
}

std::string intermediate_options(const SourceFacts& facts, int audio_index) {
    std::string options = " -y -map 0:a:" + std::to_string(audio_index);
    if (const StreamFacts* audio = audio_stream(facts, audio_index)) {
        if (const std::string codec = intermediate_codec(*audio); !codec.empty()) options += " -c:a " + codec;
    }
    return options + " -rf64 auto";
}

std::string intermediate_options(TCustomDecoder& probe, int audio_index) {
    SourceFacts facts;
    facts.streams = source_streams(probe);
    return intermediate_options(facts, audio_index);
}

std::string average_mux_options(const std::string& source, const std::string& target, const SourceFacts& facts,
                                const std::vector<int>& tracks) {
    std::string options = " -y";
    const bool video = is_member(video_source_types, source);
    // What the file really is decides, not its extension.
    const bool same_container = sonorix::same_container(source, target, facts);
    std::string per_stream, codecs;
    int out = 0, audio_out = 0;
    for (size_t n = 0, k = 0; n < facts.streams.size(); ++n) {
        const StreamFacts& s = facts.streams[n];
        const std::string from = " 0:s:" + std::to_string(n);
        if (s.kind == 'a') {
            const auto j = std::find(tracks.begin(), tracks.end(), static_cast<int>(k++));
            if (j == tracks.end()) continue;  // a WAV target holds the main track only
            options += " -map " + std::to_string(j - tracks.begin() + 1) + ":a:0";
            per_stream += " -map_metadata:s:" + std::to_string(out) + from;
            if (s.disposition) {
                std::string flags;
                for (int bit = 1; bit > 0 && bit <= s.disposition; bit <<= 1) {
                    const char* name = (s.disposition & bit) ? av_disposition_to_string(bit) : nullptr;
                    if (name) flags += (flags.empty() ? "" : "+") + std::string(name);
                }
                if (!flags.empty()) per_stream += " -disposition:" + std::to_string(out) + " " + flags;
            }
            // Where the container stays, the track keeps its codec and
            // precision (a 24-bit WAV stays 24-bit, FLAC in MKV stays FLAC).
            if (same_container && !s.encoder.empty()) {
                const std::string stream = ":a:" + std::to_string(audio_out);
                if (s.codec != facts.container_audio_codec) codecs += " -c" + stream + " " + s.encoder;
                if (!s.sample_format.empty()) codecs += " -sample_fmt" + stream + " " + s.sample_format;
            }
            ++audio_out;
            ++out;
            continue;
        }
        if (!video && !(s.cover && same_container)) continue;
        options += " -map 0:" + std::to_string(n);
        per_stream += " -map_metadata:s:" + std::to_string(out) + from;
        ++out;
    }
    // Naming one stream's metadata turns off the copy of every other's, so
    // each is named; the file's tags and chapters come from input 0.
    options += per_stream;
    std::string video_filters;
    batch_codec_options(source, target, facts, source_bit_rates(facts), options, video_filters);
    append_filter_chain(options, "-vf", video_filters);
    // After the codec options, which name every audio stream.
    if (video && same_container) options += " -c:s copy";
    return options + codecs;
}

int marker_step(size_t rows) { return rows ? static_cast<int>(std::nearbyint(100.0 / static_cast<double>(rows))) : 0; }

std::string normalizer_program() {
    if (const char* named = std::getenv("SONORIX_NORMALIZER"); named && *named) return named;
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return (ec ? fs::path("sonorix-normalize") : self.parent_path() / "sonorix-normalize").string();
}

// ---- The normalizer's output -----------------------------------------------

namespace {

constexpr std::string_view kAdjusting = "Applying adjustment of";
constexpr std::string_view kNotAdjusting = "not adjusting...";
// A line longer than this counts as ended, so a normalizer printing without
// line ends cannot grow the buffer without bound.
constexpr size_t kLongestLine = 64 * 1024;
constexpr size_t kLastLines = 5;

int occurrences(std::string_view text, std::string_view marker) {
    int n = 0;
    for (size_t at = text.find(marker); at != std::string_view::npos; at = text.find(marker, at + marker.size())) ++n;
    return n;
}

}  // namespace

void NormalizerOutput::add(const char* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        const char c = data[i];
        if (c == '\n' || c == '\r') {
            line(std::move(pending_));
            pending_.clear();
        } else {
            pending_ += c;
            if (pending_.size() >= kLongestLine) {
                line(std::move(pending_));
                pending_.clear();
            }
        }
    }
}

void NormalizerOutput::end() {
    line(std::move(pending_));
    pending_.clear();
}

void NormalizerOutput::line(std::string text) {
    if (trim_blanks(text).empty()) return;
    markers_ += occurrences(text, kAdjusting) + occurrences(text, kNotAdjusting);
    // "Applying adjustment of -3.21dB to /tmp/x/0.wav..."
    if (const size_t at = text.find(kAdjusting); at != std::string::npos) {
        const char* number = text.c_str() + at + kAdjusting.size();
        char* after = nullptr;
        const double db = std::strtod(number, &after);
        const size_t to = text.find(" to ", static_cast<size_t>(after - text.c_str()));
        if (after != number && to != std::string::npos) {
            std::string file = text.substr(to + 4);
            while (!file.empty() && file.back() == '.') file.pop_back();
            adjustments_[file] = db;
        }
    }
    last_.push_back(text.size() > 200 ? text.substr(0, 200) + "..." : std::move(text));
    if (last_.size() > kLastLines) last_.pop_front();
}

std::string NormalizerOutput::last_lines() const {
    std::string text;
    for (const std::string& l : last_) text += (text.empty() ? "" : "\r") + l;
    return text;
}

// ---- The normalizer process ------------------------------------------------

NormalizerRun::~NormalizerRun() { kill(); }

bool NormalizerRun::start(const std::string& program, const std::vector<fs::path>& files) {
    program_ = program;
    int pipe_ends[2];
    if (::pipe2(pipe_ends, O_CLOEXEC) != 0) {
        failure_ = std::string("could not be started: ") + std::strerror(errno);
        return false;
    }
    // "--": whatever its name, every file is a file.
    std::vector<std::string> args{program, "-m", "--"};
    for (const fs::path& f : files) args.push_back(f.string());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDERR_FILENO);
    // Its own process group, so that a stop ends whatever it started too
    // (a wrapper script's children).
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    // A bare name is looked for on PATH, as a shell would.
    const int rc = ::posix_spawnp(&pid_, program.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe_ends[1]);
    if (rc != 0) {
        ::close(pipe_ends[0]);
        pid_ = -1;
        failure_ = std::string("could not be started: ") + std::strerror(rc);
        return false;
    }
    fd_ = pipe_ends[0];
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    return true;
}

bool NormalizerRun::pump(int timeout_ms) {
    if (pid_ < 0) return false;
    if (fd_ >= 0) {
        pollfd p{fd_, POLLIN, 0};
        ::poll(&p, 1, timeout_ms);
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n > 0) {
                output_.add(buffer, static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n == 0) {
                // Every writer is gone: the program is ending.
                ::close(fd_);
                fd_ = -1;
            }
            break;
        }
    }
    int status = 0;
    // Never a blocking wait: a program that closed its output may still run,
    // and the window must not freeze on it.
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == 0) {
        if (fd_ < 0 && timeout_ms > 0) ::usleep(static_cast<useconds_t>(std::min(timeout_ms, 10)) * 1000);
        return true;
    }
    if (fd_ >= 0) {
        // Ended, but something it started may hold the pipe: take what is
        // there and stop listening.
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(fd_, buffer, sizeof buffer)) > 0) output_.add(buffer, static_cast<size_t>(n));
        ::close(fd_);
        fd_ = -1;
    }
    ended(done == pid_ ? status : -1);
    return false;
}

void NormalizerRun::ended(int status) {
    pid_ = -1;
    output_.end();
    if (status == -1) {
        failure_ = "could not be waited for";
    } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        failure_ = "exited with status " + std::to_string(WEXITSTATUS(status));
    } else if (WIFSIGNALED(status)) {
        failure_ =
            "was killed by signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
    }
}

void NormalizerRun::kill() {
    if (pid_ < 0) return;
    // The whole group: the normalizer and anything it started.
    ::kill(-pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 200; ++i) {
        if (::waitpid(pid_, &status, WNOHANG) == pid_) break;
        if (i == 199) {
            ::kill(-pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
        ::usleep(10000);
    }
    // Members that outlived their leader's end are ended too.
    ::kill(-pid_, SIGKILL);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    ended(status);
}

std::string NormalizerRun::failure_text() const {
    std::string text = "The normalizer " + program_ + " " + failure_.value_or("did not fail") + ".";
    const std::string lines = output_.last_lines();
    if (!lines.empty()) text += "\r\rIts last output:\r" + lines;
    return text;
}

}  // namespace sonorix
