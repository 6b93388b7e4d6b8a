#include "transcoder/FFmpegFiles.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "transcoder/FFmpeg.h"

namespace sonorix {

namespace {

namespace fs = std::filesystem;

// Characters the libraries take for a protocol name before a ':'.
constexpr const char* kSchemeChars = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.";
constexpr int kPollSliceMs = 20;
constexpr int kInputBufferSize = 32768;

// The protocol name a name starts with ("http" of "http://..."), or empty.
std::string scheme_of(const std::string& name) {
    const size_t len = name.find_first_not_of(kSchemeChars);
    if (len == 0 || len == std::string::npos || name[len] != ':') return {};
    return name.substr(0, len);
}

bool is_protocol(const std::string& scheme, bool output) {
    void* opaque = nullptr;
    while (const char* name = avio_enum_protocols(&opaque, output ? 1 : 0)) {
        if (scheme == name) return true;
    }
    return false;
}

// An input read in slices: the interrupt call-back is asked between them.
struct PolledInput {
    int fd;
    bool owned;
    AVIOInterruptCB callback;
};

int polled_read(void* opaque, uint8_t* buf, int size) {
    auto* in = static_cast<PolledInput*>(opaque);
    for (;;) {
        if (in->callback.callback && in->callback.callback(in->callback.opaque)) return AVERROR_EXIT;
        pollfd p{in->fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, kPollSliceMs);
        if (ready < 0 && errno != EINTR) return AVERROR(errno);
        if (ready <= 0) continue;
        const ssize_t n = ::read(in->fd, buf, static_cast<size_t>(size));
        if (n > 0) return static_cast<int>(n);
        if (n == 0) return AVERROR_EOF;
        if (errno != EAGAIN && errno != EINTR) return AVERROR(errno);
    }
}

int open_polled(int fd, bool owned, const AVIOInterruptCB& callback, AVIOContext** pb) {
    auto* buffer = static_cast<unsigned char*>(av_malloc(kInputBufferSize));
    auto* state = new PolledInput{fd, owned, callback};
    *pb = buffer ? avio_alloc_context(buffer, kInputBufferSize, 0, state, &polled_read, nullptr, nullptr) : nullptr;
    if (!*pb) {
        av_free(buffer);
        if (owned) ::close(fd);
        delete state;
        return AVERROR(ENOMEM);
    }
    (*pb)->seekable = 0;
    return 0;
}

std::string never_overwrite_text(const std::string& target) {
    return target + ": the target already exists and -n forbids replacing it";
}

}  // namespace

mode_t current_umask() {
    if (FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        unsigned mask = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, status)) found = std::sscanf(line, "Umask: %o", &mask) == 1;
        std::fclose(status);
        if (found) return static_cast<mode_t>(mask);
    }
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return mask;
}

MediaName classify_name(const std::string& name, bool output) {
    MediaName m{true, name, name};
    const std::string scheme = scheme_of(name);
    if (scheme.empty()) return m;
    if (scheme == "file") {
        m.path = name.substr(scheme.size() + 1);
        return m;
    }
    struct stat st;
    if (::lstat(name.c_str(), &st) == 0 || !is_protocol(scheme, output)) {
        m.url = "file:" + name;
        return m;
    }
    m.local = false;
    m.path.clear();
    return m;
}

std::optional<FileIdentity> file_identity(const std::string& name) {
    const MediaName m = classify_name(name, false);
    struct stat st;
    if (!m.local || ::stat(m.path.c_str(), &st) != 0) return std::nullopt;
    return FileIdentity{st.st_dev, st.st_ino};
}

int open_input_io(const std::string& name, const AVIOInterruptCB& callback, AVDictionary** options, AVIOContext** pb) {
    *pb = nullptr;
    if (scheme_of(name) == "pipe") {
        // The process's own descriptor (standard input without a number).
        char* end = nullptr;
        const long fd = std::strtol(name.c_str() + 5, &end, 10);
        const bool numbered = end != name.c_str() + 5 && *end == '\0' && fd >= 0 && fd <= INT_MAX;
        return open_polled(numbered ? static_cast<int>(fd) : 0, false, callback, pb);
    }
    const MediaName m = classify_name(name, false);
    if (!m.local) return 0;  // network protocols ask the call-back themselves
    struct stat st;
    if (::stat(m.path.c_str(), &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode))) {
        // Opened without waiting for a FIFO's writer; reads wait in slices.
        const int fd = ::open(m.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return AVERROR(errno);
        return open_polled(fd, true, callback, pb);
    }
    if (m.url == name) return 0;
    return avio_open2(pb, m.url.c_str(), AVIO_FLAG_READ, &callback, options);
}

void close_input_io(AVIOContext* pb) {
    if (!pb) return;
    if (pb->read_packet != &polled_read) {
        avio_closep(&pb);
        return;
    }
    auto* state = static_cast<PolledInput*>(pb->opaque);
    if (state->owned) ::close(state->fd);
    delete state;
    av_freep(&pb->buffer);
    avio_context_free(&pb);
}

void InputContextCloser::operator()(AVFormatContext* ctx) const {
    // An I/O context the core opened itself is not closed by the library.
    AVIOContext* own = ctx && (ctx->flags & AVFMT_FLAG_CUSTOM_IO) ? ctx->pb : nullptr;
    avformat_close_input(&ctx);
    close_input_io(own);
}

std::string make_temp_file(const std::string& target, mode_t mode) {
    const fs::path path(target);
    const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
    long limit = ::pathconf(folder.c_str(), _PC_NAME_MAX);
    if (limit <= 0) limit = NAME_MAX;
    const std::string before = ".";
    const std::string after = std::string(".XXXXXX") + kTempSuffix;
    std::string name = path.filename().string();
    const size_t room = static_cast<size_t>(limit) - before.size() - after.size();
    if (name.size() > room) {
        // Cut before a character, not inside one (UTF-8 continuation bytes are 10xxxxxx).
        size_t cut = room;
        for (int i = 0; i < 3 && cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80; ++i) --cut;
        name.resize(cut);
    }
    std::string pattern = (folder / (before + name + after)).string();
    const int fd = ::mkostemps(pattern.data(), static_cast<int>(std::strlen(kTempSuffix)), O_CLOEXEC);
    if (fd < 0) return {};
    ::fchmod(fd, mode);  // mkostemps makes the file private
    ::close(fd);
    return pattern;
}

int commit_temp_file(const std::string& temp, const std::string& target, bool no_replace) {
    const int fd = ::open(temp.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return AVERROR(errno);
    const int synced = ::fsync(fd) == 0 ? 0 : AVERROR(errno);
    ::close(fd);
    if (synced < 0) return synced;
    if (!no_replace) return ::rename(temp.c_str(), target.c_str()) == 0 ? 0 : AVERROR(errno);
    if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return AVERROR(errno);
    // A file system without that flag: a new link fails on an existing name too.
    if (::link(temp.c_str(), target.c_str()) != 0) return AVERROR(errno);
    ::unlink(temp.c_str());
    return 0;
}

std::string TCustomFFmpeg::output_error_text(const TOutputFile& of, int code) const {
    return "Cannot write " + of.target_name + ": " + error_code_text(code);
}

std::string TCustomFFmpeg::open_target(TOutputFile& of) {
    AVFormatContext* oc = of.ctx.get();
    const std::string& name = of.target_name;
    const MediaName m = classify_name(name, true);
    std::string url = m.url;  // a protocol URL or a device is written as it goes
    if (m.local) {
        struct stat st;
        const bool exists = ::stat(m.path.c_str(), &st) == 0;
        mode_t mode = 0666 & ~current_umask();
        bool device = false;
        if (exists) {
            const FileIdentity id{st.st_dev, st.st_ino};
            for (const TInputFile& f : input_files) {
                if (file_identity(f.ctx->url) == id) {
                    return name + ": the target is the same file as the input " + f.ctx->url;
                }
            }
            if (S_ISDIR(st.st_mode)) return name + ": the target is a folder";
            if (options_.no_file_overwrite && !options_.file_overwrite) return never_overwrite_text(name);
            device = S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode);
            if (!device && !S_ISREG(st.st_mode)) {
                return name + ": the target is not a regular file or a device (a FIFO or a socket) and is not written";
            }
            if (!device && ((st.st_mode & 0222) == 0 || ::access(m.path.c_str(), W_OK) != 0)) {
                return name + ": the target is read-only";
            }
            mode = st.st_mode & 0777;
        }
        if (!device) {
            // Through a link: the file it points to is replaced and the link stays.
            struct stat link;
            std::error_code ec;
            of.final_name = m.path;
            if (exists && ::lstat(m.path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
                const fs::path real = fs::canonical(m.path, ec);
                if (!ec) of.final_name = real.string();
            }
            of.temp_name = make_temp_file(of.final_name, mode);
            if (of.temp_name.empty()) return error_code_text(name, AVERROR(errno));
            of.no_replace = options_.no_file_overwrite && !options_.file_overwrite;
            // Muxers that reopen their output (faststart) find the file being written by its URL.
            url = classify_name(of.temp_name, true).url;
            av_freep(&oc->url);
            oc->url = av_strdup(url.c_str());
        }
    }
    const AVIOInterruptCB callback{&write_interrupt, this};
    arm_write_stamp();
    const int ret =
        oc->url ? avio_open2(&oc->pb, url.c_str(), AVIO_FLAG_WRITE, &callback, of.opts.address()) : AVERROR(ENOMEM);
    write_stamp = INT64_MAX;
    if (ret < 0) {
        if (!of.temp_name.empty()) ::unlink(of.temp_name.c_str());
        of.temp_name.clear();
        return error_code_text(name, ret);
    }
    return {};
}

std::string TCustomFFmpeg::close_output(TOutputFile& of) {
    AVFormatContext* oc = of.ctx.get();
    if (!oc || (oc->oformat->flags & AVFMT_NOFILE) || !oc->pb) return {};
    avio_flush(oc->pb);
    int ret = oc->pb->error;
    const int closed = avio_closep(&oc->pb);
    if (ret >= 0) ret = closed;
    return ret < 0 ? with_library_detail(output_error_text(of, ret)) : std::string();
}

std::string TCustomFFmpeg::commit_output(TOutputFile& of) {
    const int ret = commit_temp_file(of.temp_name, of.final_name, of.no_replace);
    if (ret == 0) return {};
    return ret == AVERROR(EEXIST) && of.no_replace ? never_overwrite_text(of.target_name) : output_error_text(of, ret);
}

}  // namespace sonorix
