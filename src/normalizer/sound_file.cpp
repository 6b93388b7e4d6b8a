#include "normalizer/sound_file.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>

namespace sonorix::normalizer {

namespace fs = std::filesystem;

namespace {

constexpr size_t kBlockSamples = 1 << 16;  // samples of all channels per block
constexpr size_t kWriteBuffer = 1 << 20;   // bytes gathered before one write to the disk
constexpr const char* kTempSuffix = ".normalizing";

std::runtime_error write_error(int error) {
    return std::runtime_error(std::string("cannot write the adjusted file: ") + std::strerror(error));
}

// The temporary file as libsndfile's virtual I/O: every byte the library
// writes (samples, header, trailing chunks, the header again at close) comes
// through here, so a failed write is recorded and never lost inside the
// library, whose close does not report it. Writes are gathered into large
// blocks, and the kernel is asked to start writing each block out at once so
// the final fsync has little left to wait for.
class TempWriter {
public:
    explicit TempWriter(int fd) : fd_(fd) { buffer_.reserve(kWriteBuffer); }

    static SF_VIRTUAL_IO io() {
        SF_VIRTUAL_IO v{};
        v.get_filelen = [](void* self) { return static_cast<TempWriter*>(self)->length(); };
        v.seek = [](sf_count_t offset, int whence, void* self) {
            return static_cast<TempWriter*>(self)->seek(offset, whence);
        };
        v.read = [](void* data, sf_count_t count, void* self) {
            return static_cast<TempWriter*>(self)->read(data, count);
        };
        v.write = [](const void* data, sf_count_t count, void* self) {
            return static_cast<TempWriter*>(self)->write(data, count);
        };
        v.tell = [](void* self) { return static_cast<TempWriter*>(self)->pos_; };
        return v;
    }

    // The first error of any write, or 0; flushes what is gathered.
    int finish() {
        flush();
        return error_;
    }

private:
    sf_count_t buffer_end() const { return buffer_at_ + static_cast<sf_count_t>(buffer_.size()); }
    sf_count_t length() const { return std::max(written_end_, buffer_end()); }

    sf_count_t seek(sf_count_t offset, int whence) {
        const sf_count_t base = whence == SEEK_CUR ? pos_ : whence == SEEK_END ? length() : 0;
        if (base + offset < 0) return -1;
        pos_ = base + offset;
        return pos_;
    }

    sf_count_t read(void* data, sf_count_t count) {
        if (!flush()) return 0;
        const ssize_t n = ::pread(fd_, data, static_cast<size_t>(count), pos_);
        if (n <= 0) return 0;
        pos_ += n;
        return n;
    }

    sf_count_t write(const void* data, sf_count_t count) {
        if (error_) return 0;
        if (pos_ != buffer_end() && !flush()) return 0;
        if (buffer_.empty()) buffer_at_ = pos_;
        const char* bytes = static_cast<const char*>(data);
        buffer_.insert(buffer_.end(), bytes, bytes + count);
        pos_ += count;
        if (buffer_.size() >= kWriteBuffer && !flush()) return 0;
        return count;
    }

    bool flush() {
        if (error_) return false;
        size_t done = 0;
        while (done < buffer_.size()) {
            const ssize_t n =
                ::pwrite(fd_, buffer_.data() + done, buffer_.size() - done, buffer_at_ + static_cast<sf_count_t>(done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                error_ = n == 0 ? ENOSPC : errno;
                return false;
            }
            done += static_cast<size_t>(n);
        }
        if (done) {
            // Only a hint: a failure shows again at the fsync.
            ::sync_file_range(fd_, buffer_at_, static_cast<off_t>(done), SYNC_FILE_RANGE_WRITE);
        }
        written_end_ = std::max(written_end_, buffer_end());
        buffer_at_ = buffer_end();
        buffer_.clear();
        return true;
    }

    int fd_;
    std::vector<char> buffer_;
    sf_count_t buffer_at_ = 0;  // file offset of buffer_[0]
    sf_count_t pos_ = 0;
    sf_count_t written_end_ = 0;  // end of what reached the file
    int error_ = 0;
};

// The library keeps the reason an open failed in one place for all threads:
// opens are taken one at a time so each reads its own.
std::mutex open_mutex;

// The temporary files being written, for the signal thread to remove.
std::mutex temp_files_mutex;
std::set<std::string> temp_files;

// A temporary file created exclusively beside target under a name of its
// own, so nothing in the way is ever taken over and only a file of ours is
// removed on failure.
class TempFile {
public:
    explicit TempFile(const fs::path& target) {
        std::string name = target.filename().string();
        if (name.size() > 200) name.resize(200);  // room for the additions within NAME_MAX
        std::string pattern = (target.parent_path() / ("." + name + ".XXXXXX" + kTempSuffix)).string();
        // Made and noted under one lock: the signal thread sees every file.
        std::lock_guard lock(temp_files_mutex);
        fd_ = ::mkostemps(pattern.data(), static_cast<int>(std::strlen(kTempSuffix)), O_CLOEXEC);
        if (fd_ < 0) throw std::runtime_error(std::string("cannot write beside it: ") + std::strerror(errno));
        path_ = pattern;
        temp_files.insert(pattern);
    }
    ~TempFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!path_.empty()) {
            ::unlink(path_.c_str());
            forget();
        }
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    int fd() const { return fd_; }

    // Every byte on the disk before the original goes: a failed sync or
    // close (a full disk, a network file system) keeps the original.
    void commit(const fs::path& target) {
        if (::fsync(fd_) != 0) throw write_error(errno);
        const int closed = ::close(fd_);
        fd_ = -1;  // closed even when close reports an error
        if (closed != 0) throw write_error(errno);
        if (::rename(path_.c_str(), target.c_str()) != 0) throw write_error(errno);
        forget();
        path_.clear();
    }

private:
    void forget() {
        std::lock_guard lock(temp_files_mutex);
        temp_files.erase(path_.string());
    }

    int fd_ = -1;
    fs::path path_;
};

void scale_16_bit(int16_t* samples, size_t count, float gain) {
    // Adding 1.5 * 2^23 rounds to the nearest integer (ties to even, as the
    // library rounds) in a form the loop can be vectorized with.
    constexpr float kRound = 12582912.0f;
    for (size_t i = 0; i < count; ++i) {
        const float v = std::min(std::max(static_cast<float>(samples[i]) * gain, -32768.0f), 32767.0f);
        samples[i] = static_cast<int16_t>(static_cast<int32_t>((v + kRound) - kRound));
    }
}

bool is_wav_container(int format) {
    const int major = format & SF_FORMAT_TYPEMASK;
    return major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX || major == SF_FORMAT_RF64;
}

bool is_plain_samples(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_PCM_16:
    case SF_FORMAT_PCM_24:
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT:
    case SF_FORMAT_DOUBLE: return true;
    default: return false;
    }
}

void copy_tags(SNDFILE* from, SNDFILE* to, int channels) {
    std::vector<int> map(static_cast<size_t>(channels));
    if (sf_command(from, SFC_GET_CHANNEL_MAP_INFO, map.data(), static_cast<int>(map.size() * sizeof(int)))) {
        sf_command(to, SFC_SET_CHANNEL_MAP_INFO, map.data(), static_cast<int>(map.size() * sizeof(int)));
    }
    for (int tag = SF_STR_FIRST; tag <= SF_STR_LAST; ++tag) {
        if (const char* text = sf_get_string(from, tag)) sf_set_string(to, tag, text);
    }
}

}  // namespace

void remove_temporary_files_on_signals() {
    sigset_t signals;
    sigemptyset(&signals);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, sig);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread([signals] {
        int sig = 0;
        if (sigwait(&signals, &sig) != 0) return;
        // The lock stays taken: no new temporary file starts after this.
        temp_files_mutex.lock();
        for (const std::string& path : temp_files) ::unlink(path.c_str());
        // Ends the process as the signal would have, for the caller to see.
        ::signal(sig, SIG_DFL);
        pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
        ::raise(sig);
    }).detach();
}

bool is_native_16_bit(const SF_INFO& info) {
    const int endian = info.format & SF_FORMAT_ENDMASK;
    const bool big = endian == SF_ENDIAN_BIG || (endian == SF_ENDIAN_CPU && std::endian::native == std::endian::big);
    return (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16 && big == (std::endian::native == std::endian::big);
}

SoundReader open_wav(const fs::path& file, bool raw) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) throw std::runtime_error(std::strerror(errno));
    // A pipe or a device would block or never end.
    if (!S_ISREG(st.st_mode)) throw std::runtime_error("not a regular file");
    SoundReader reader;
    {
        std::lock_guard lock(open_mutex);
        reader.handle.reset(sf_open(file.c_str(), SFM_READ, &reader.info));
        if (!reader.handle) throw std::runtime_error(std::string("not a readable WAV file: ") + sf_strerror(nullptr));
    }
    if (!is_wav_container(reader.info.format)) throw std::runtime_error("not a WAV file");
    // Past 4 GB a RIFF header cannot give the size of the samples, so the
    // library would see only part of them and a rewrite would lose the rest.
    if ((reader.info.format & SF_FORMAT_TYPEMASK) != SF_FORMAT_RF64 && st.st_size >= (int64_t{1} << 32)) {
        throw std::runtime_error("larger than a WAV header can describe (4 GB; RF64 can)");
    }
    if (!is_plain_samples(reader.info.format)) throw std::runtime_error("unsupported sample format");
    if (reader.info.channels < 1) throw std::runtime_error("no channels");
    if (raw) {
        sf_command(reader.handle.get(), SFC_SET_NORM_DOUBLE, nullptr, SF_FALSE);
        sf_command(reader.handle.get(), SFC_SET_NORM_FLOAT, nullptr, SF_FALSE);
    }
    return reader;
}

template <class Sample>
void read_blocks(SoundReader& reader, const std::function<void(Sample*, sf_count_t)>& each) {
    const auto channels = static_cast<size_t>(reader.info.channels);
    const size_t frames = std::max<size_t>(1, kBlockSamples / channels);
    std::vector<Sample> block(frames * channels);
    SNDFILE* file = reader.handle.get();
    auto read = [&]() -> sf_count_t {
        if constexpr (std::is_same_v<Sample, int16_t>) {
            const auto frame_bytes = static_cast<sf_count_t>(channels * sizeof(int16_t));
            return sf_read_raw(file, block.data(), static_cast<sf_count_t>(frames) * frame_bytes) / frame_bytes;
        } else if constexpr (std::is_same_v<Sample, float>) {
            return sf_readf_float(file, block.data(), static_cast<sf_count_t>(frames));
        } else {
            return sf_readf_double(file, block.data(), static_cast<sf_count_t>(frames));
        }
    };
    for (sf_count_t n; (n = read()) > 0;) each(block.data(), n);
    if (sf_error(file) != SF_ERR_NO_ERROR) throw std::runtime_error(std::string("read error: ") + sf_strerror(file));
}

template void read_blocks<int16_t>(SoundReader&, const std::function<void(int16_t*, sf_count_t)>&);
template void read_blocks<float>(SoundReader&, const std::function<void(float*, sf_count_t)>&);
template void read_blocks<double>(SoundReader&, const std::function<void(double*, sf_count_t)>&);

void rewrite_with_gain(const fs::path& file, double gain) {
    // A link is followed: the file it names is rewritten, the link stays.
    const fs::path target = fs::canonical(file);
    SoundReader in = open_wav(target, true);
    struct stat original {};
    if (::stat(target.c_str(), &original) != 0) throw std::runtime_error(std::strerror(errno));

    TempFile temp(target);
    if (::fchmod(temp.fd(), original.st_mode & 07777) != 0) throw write_error(errno);
    TempWriter writer(temp.fd());
    SF_VIRTUAL_IO io = TempWriter::io();
    SF_INFO out_info{};
    out_info.samplerate = in.info.samplerate;
    out_info.channels = in.info.channels;
    out_info.format = in.info.format;
    SoundHandle out;
    {
        std::lock_guard lock(open_mutex);
        out.reset(sf_open_virtual(&io, SFM_WRITE, &out_info, &writer));
        if (!out) {
            if (const int error = writer.finish()) throw write_error(error);
            throw std::runtime_error(std::string("cannot write this format: ") + sf_strerror(nullptr));
        }
    }
    copy_tags(in.handle.get(), out.get(), in.info.channels);
    sf_command(out.get(), SFC_SET_NORM_DOUBLE, nullptr, SF_FALSE);
    sf_command(out.get(), SFC_SET_CLIPPING, nullptr, SF_TRUE);

    auto failed_write = [&] {
        if (const int error = writer.finish()) throw write_error(error);
        throw std::runtime_error(std::string("cannot write the adjusted file: ") + sf_strerror(out.get()));
    };
    const auto channels = static_cast<size_t>(in.info.channels);
    if (is_native_16_bit(in.info)) {
        // From the stored bytes to the stored bytes: a third of the work of
        // the library's round trip through doubles.
        const auto g = static_cast<float>(gain);
        read_blocks<int16_t>(in, [&](int16_t* samples, sf_count_t frames) {
            const size_t count = static_cast<size_t>(frames) * channels;
            scale_16_bit(samples, count, g);
            const auto bytes = static_cast<sf_count_t>(count * sizeof(int16_t));
            if (sf_write_raw(out.get(), samples, bytes) != bytes) failed_write();
        });
    } else {
        read_blocks<double>(in, [&](double* samples, sf_count_t frames) {
            const size_t count = static_cast<size_t>(frames) * channels;
            for (size_t i = 0; i < count; ++i) samples[i] *= gain;
            if (sf_writef_double(out.get(), samples, frames) != frames) failed_write();
        });
    }
    // The close writes the final header; its failures show in the writer.
    const int closed = sf_close(out.release());
    if (const int error = writer.finish()) throw write_error(error);
    if (closed != 0)
        throw std::runtime_error(std::string("cannot write the adjusted file: ") + sf_error_number(closed));
    temp.commit(target);
}

}  // namespace sonorix::normalizer
