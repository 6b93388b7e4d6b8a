#include "workflow/replaygain_tags.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <taglib/apetag.h>
#include <taglib/flacfile.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>
#include <taglib/opusfile.h>
#include <taglib/textidentificationframe.h>
#include <taglib/vorbisfile.h>
#include <taglib/xiphcomment.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <vector>

#include "base/libav.h"
#include "engine/FFDecode.h"
#include "workflow/text.h"

namespace sonorix {

namespace {

namespace fs = std::filesystem;

constexpr const char* kTrackGain = "replaygain_track_gain";
constexpr const char* kTrackPeak = "replaygain_track_peak";
constexpr const char* kAlbumGain = "replaygain_album_gain";
constexpr const char* kAlbumPeak = "replaygain_album_peak";
constexpr const char* kR128Track = "r128_track_gain";
constexpr const char* kR128Album = "r128_album_gain";
constexpr std::array<const char*, 6> kAllNames = {kTrackGain, kTrackPeak, kAlbumGain,
                                                  kAlbumPeak, kR128Track, kR128Album};
// M4A's freeform items: mean "com.apple.iTunes", the name in lower case.
constexpr const char* kItunesPrefix = "----:com.apple.iTunes:";

// A number with a "." whatever the locale, -0 written as 0.
std::string fixed(double value, int decimals) {
    char text[64];
    const double scale = std::pow(10.0, decimals);
    const double r = std::round(value * scale) / scale + 0.0;
    const auto [end, ec] = std::to_chars(text, text + sizeof text, r, std::chars_format::fixed, decimals);
    return ec == std::errc() ? std::string(text, end) : std::string("0");
}

// The name/text pairs to write (lower-case names), and the names that go
// away first: the written ones, and in Opus the REPLAYGAIN_* fields of the
// same scope, which R128_* stands in for.
struct Change {
    std::vector<std::pair<std::string, std::string>> set;
    std::vector<std::string> drop;
};

Change change_of(TagFormat format, const GainTags* tags) {
    Change c;
    if (!tags) {
        c.drop.assign(kAllNames.begin(), kAllNames.end());
        return c;
    }
    const bool album = tags->album_gain.has_value();
    if (format == TagFormat::Opus) {
        c.set.emplace_back(kR128Track, std::to_string(r128_gain(tags->track_gain)));
        c.drop = {kR128Track, kTrackGain, kTrackPeak};
        if (album) {
            c.set.emplace_back(kR128Album, std::to_string(r128_gain(*tags->album_gain)));
            c.drop.insert(c.drop.end(), {kR128Album, kAlbumGain, kAlbumPeak});
        }
        return c;
    }
    c.set = {{kTrackGain, gain_text(tags->track_gain)}, {kTrackPeak, peak_text(tags->track_peak)}};
    if (album) {
        c.set.emplace_back(kAlbumGain, gain_text(*tags->album_gain));
        c.set.emplace_back(kAlbumPeak, peak_text(tags->album_peak.value_or(tags->track_peak)));
    }
    for (const auto& [name, text] : c.set) c.drop.push_back(name);
    return c;
}

bool dropped(const Change& c, const std::string& lower_name) {
    return std::find(c.drop.begin(), c.drop.end(), lower_name) != c.drop.end();
}

bool known(const std::string& lower_name) {
    return std::find(kAllNames.begin(), kAllNames.end(), lower_name) != kAllNames.end();
}

std::string lower(const TagLib::String& s) { return lower_text(s.to8Bit(true)); }

// ID3v2: one TXXX frame per name (whatever case another tagger gave the
// description); an APE tag's stale ReplayGain items go too.
void change_mp3(TagLib::MPEG::File& file, const Change& c) {
    TagLib::ID3v2::Tag* tag = file.ID3v2Tag(true);
    const TagLib::ID3v2::FrameList frames = tag->frameList("TXXX");
    for (TagLib::ID3v2::Frame* frame : frames) {
        const auto* txxx = dynamic_cast<TagLib::ID3v2::UserTextIdentificationFrame*>(frame);
        if (txxx && dropped(c, lower(txxx->description()))) tag->removeFrame(frame);
    }
    for (const auto& [name, text] : c.set) {
        tag->addFrame(new TagLib::ID3v2::UserTextIdentificationFrame(upper_text(name), TagLib::StringList(text),
                                                                     TagLib::String::Latin1));
    }
    if (TagLib::APE::Tag* ape = file.APETag(false)) {
        for (const std::string& name : c.drop) ape->removeItem(upper_text(name));
    }
}

void change_xiph(TagLib::Ogg::XiphComment& comment, const Change& c) {
    for (const std::string& name : c.drop) comment.removeFields(upper_text(name));
    for (const auto& [name, text] : c.set) comment.addField(upper_text(name), text, true);
}

void change_mp4(TagLib::MP4::Tag& tag, const Change& c) {
    std::vector<TagLib::String> gone;
    const std::string prefix = lower_text(kItunesPrefix);
    for (const auto& item : tag.itemMap()) {
        const std::string key = lower(item.first);
        if (key.rfind(prefix, 0) == 0 && dropped(c, key.substr(prefix.size()))) gone.push_back(item.first);
    }
    for (const auto& key : gone) tag.removeItem(key);
    for (const auto& [name, text] : c.set) {
        tag.setItem(kItunesPrefix + name, TagLib::MP4::Item(TagLib::StringList(TagLib::String(text))));
    }
}

// Applies the change to the file at path (the copy) and saves it.
std::string change_file(const std::string& path, TagFormat format, const Change& c) {
    auto saved = [](bool ok) { return ok ? std::string() : std::string("the tags could not be saved"); };
    const char* unreadable = "the tags could not be read";
    switch (format) {
    case TagFormat::Mp3: {
        TagLib::MPEG::File file(path.c_str(), false);
        if (!file.isValid()) return unreadable;
        // A v2.3 tag stays v2.3 (players that read no v2.4 keep
        // reading it); ID3v1 and APE stay as they are, no tag is copied
        // into another.
        const bool v3 = file.hasID3v2Tag() && file.ID3v2Tag()->header()->majorVersion() == 3;
        change_mp3(file, c);
        int tags = TagLib::MPEG::File::ID3v2;
        if (file.hasAPETag()) tags |= TagLib::MPEG::File::APE;
        return saved(file.save(tags, TagLib::File::StripNone, v3 ? TagLib::ID3v2::v3 : TagLib::ID3v2::v4,
                               TagLib::File::DoNotDuplicate));
    }
    case TagFormat::Flac: {
        TagLib::FLAC::File file(path.c_str(), false);
        if (!file.isValid()) return unreadable;
        change_xiph(*file.xiphComment(true), c);
        return saved(file.save());
    }
    case TagFormat::OggVorbis: {
        TagLib::Ogg::Vorbis::File file(path.c_str(), false);
        if (!file.isValid() || !file.tag()) return unreadable;
        change_xiph(*file.tag(), c);
        return saved(file.save());
    }
    case TagFormat::Opus: {
        TagLib::Ogg::Opus::File file(path.c_str(), false);
        if (!file.isValid() || !file.tag()) return unreadable;
        change_xiph(*file.tag(), c);
        return saved(file.save());
    }
    case TagFormat::Mp4: {
        TagLib::MP4::File file(path.c_str(), false);
        if (!file.isValid() || !file.tag()) return unreadable;
        change_mp4(*file.tag(), c);
        return saved(file.save());
    }
    case TagFormat::None: break;
    }
    return "this kind of file takes no ReplayGain tags";
}

// The tags the file holds are those the change leaves. An MP3's APE tag,
// which read_tags does not read, may hold stale ones: it is rewritten.
bool unchanged(const std::string& path, TagFormat format, const Change& c) {
    if (format == TagFormat::Mp3) {
        TagLib::MPEG::File file(path.c_str(), false);
        if (!file.isValid() || file.hasAPETag()) return false;
    }
    const std::map<std::string, std::string> now = read_tags(path, format);
    std::map<std::string, std::string> after = now;
    for (const std::string& name : c.drop) after.erase(name);
    for (const auto& [name, text] : c.set) after[name] = text;
    return after == now;
}

std::string system_error(const std::string& what, int error) { return what + ": " + std::strerror(error); }

// Owner, group and the others may not write it (root too is kept off a
// file its owner made read-only).
bool read_only(const struct stat& st) { return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0; }

bool copy_bytes(int from, int to) {
    // In the kernel where it can (a file system may share the blocks);
    // through a buffer where it cannot.
    for (bool copied = false;;) {
        const ssize_t n = ::copy_file_range(from, nullptr, to, nullptr, size_t{1} << 30, 0);
        if (n == 0) return true;
        copied |= n > 0;
        if (n > 0 || errno == EINTR) continue;
        if (copied || (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)) return false;
        break;
    }
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t n = ::read(from, buffer.data(), buffer.size());
        if (n == 0) return true;
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(to, buffer.data() + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return false;
            done += w;
        }
    }
}

// The temporary copy beside the file: removed unless it was renamed onto it.
class TemporaryCopy {
public:
    ~TemporaryCopy() {
        if (fd_ >= 0) ::close(fd_);
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    // A copy of source (open as from, stat st) beside it, with its
    // permissions and, where allowed, its owner.
    std::string make(const fs::path& source, int from, const struct stat& st) {
        // A short name: one beside a long file name stays within NAME_MAX.
        std::string name = (source.parent_path() / ".sonorix-tag-XXXXXX").string();
        fd_ = ::mkstemp(name.data());
        if (fd_ < 0) return system_error("cannot make a temporary copy in " + source.parent_path().string(), errno);
        path_ = name;
        if (!copy_bytes(from, fd_)) return system_error("cannot copy the file", errno);
        if (::fchmod(fd_, st.st_mode & 07777) != 0)
            return system_error("cannot give the copy the file's permissions", errno);
        // Only root may give the copy another owner; anyone else owns the
        // file they may rewrite, or shares its group.
        if ((st.st_uid != ::geteuid() || st.st_gid != ::getegid()) && ::fchown(fd_, st.st_uid, st.st_gid) != 0 &&
            ::geteuid() == 0) {
            return system_error("cannot give the copy the file's owner", errno);
        }
        return {};
    }
    // Flushes the copy to disk and closes it, with the given times when asked.
    std::string finish(const struct timespec* times) {
        if (times && ::futimens(fd_, times) != 0) return system_error("cannot keep the modification time", errno);
        if (::fsync(fd_) != 0) return system_error("cannot write the copy", errno);
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) return system_error("cannot write the copy", errno);
        return {};
    }
    std::string rename_onto(const fs::path& target) {
        if (::rename(path_.c_str(), target.c_str()) != 0) return system_error("cannot replace the file", errno);
        path_.clear();
        return {};
    }
    const std::string& path() const { return path_; }

private:
    int fd_ = -1;
    std::string path_;
};

}  // namespace

TagFormat tag_format(TCustomDecoder& probe, std::string& reason) {
    const AVFormatContext* fc = probe.FormatContext();
    if (!fc || !fc->iformat) {
        reason = "the file could not be opened";
        return TagFormat::None;
    }
    std::vector<AVCodecID> audio;
    bool video = false;
    for (unsigned i = 0; i < fc->nb_streams; ++i) {
        const AVStream* st = fc->streams[i];
        const AVMediaType type = st->codecpar->codec_type;
        if (type == AVMEDIA_TYPE_AUDIO) audio.push_back(st->codecpar->codec_id);
        // A cover picture is no video.
        if (type == AVMEDIA_TYPE_VIDEO && !(st->disposition & AV_DISPOSITION_ATTACHED_PIC)) video = true;
    }
    const std::string container = fc->iformat->name;
    if (video) {
        reason = "a video file takes no ReplayGain tags here";
        return TagFormat::None;
    }
    if (audio.empty()) {
        reason = "No audio stream";
        return TagFormat::None;
    }
    if (audio.size() > 1) {
        reason = "a file of several audio tracks takes no ReplayGain tags here";
        return TagFormat::None;
    }
    const AVCodecID codec = audio[0];
    if (container == "mp3" && (codec == AV_CODEC_ID_MP3 || codec == AV_CODEC_ID_MP2 || codec == AV_CODEC_ID_MP1)) {
        return TagFormat::Mp3;
    }
    if (container == "flac" && codec == AV_CODEC_ID_FLAC) return TagFormat::Flac;
    if (container == "ogg" && codec == AV_CODEC_ID_VORBIS) return TagFormat::OggVorbis;
    if (container == "ogg" && codec == AV_CODEC_ID_OPUS) return TagFormat::Opus;
    if (container.find("mp4") != std::string::npos && (codec == AV_CODEC_ID_AAC || codec == AV_CODEC_ID_ALAC)) {
        return TagFormat::Mp4;
    }
    const AVCodecDescriptor* d = avcodec_descriptor_get(codec);
    reason = std::string("a ") + (d ? d->name : "unknown") + " file in a " + container +
             " container takes no ReplayGain tags here (MP3, FLAC, Ogg Vorbis, Opus and M4A do)";
    return TagFormat::None;
}

const char* tag_format_name(TagFormat format) {
    switch (format) {
    case TagFormat::Mp3: return "MP3";
    case TagFormat::Flac: return "FLAC";
    case TagFormat::OggVorbis: return "Ogg Vorbis";
    case TagFormat::Opus: return "Opus";
    case TagFormat::Mp4: return "M4A";
    case TagFormat::None: break;
    }
    return "none";
}

double replaygain_of(double loudness) { return kReplayGainReference - loudness; }

double peak_ratio(double peak_db) { return std::pow(10.0, peak_db / 20.0); }

std::string gain_text(double db) {
    std::string text = fixed(db, 2);
    return (text[0] == '-' ? text : "+" + text) + " dB";
}

std::string peak_text(double ratio) { return fixed(ratio, 6); }

int r128_gain(double replaygain_db) {
    const double q78 = std::round((replaygain_db - (kReplayGainReference - kOpusReference)) * 256.0);
    return static_cast<int>(std::clamp(q78, -32768.0, 32767.0));
}

std::string write_tags(const std::string& path, TagFormat format, const GainTags* tags, bool keep_time) {
    // A link keeps pointing at the file: the file it names is replaced.
    std::error_code ec;
    const fs::path real = fs::canonical(path, ec);
    if (ec) return system_error("cannot find the file", ec.value());
    struct stat st {};
    if (::stat(real.c_str(), &st) != 0) return system_error("cannot read the file's status", errno);
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    if (read_only(st) || ::access(real.c_str(), W_OK) != 0) return "the file is read-only";
    // Renaming the copy onto one name of several would part them.
    if (st.st_nlink > 1) return "the file has other hard links, which would keep the old tags";
    const fs::path folder = real.parent_path();
    struct stat folder_st {};
    if (::stat(folder.c_str(), &folder_st) != 0) return system_error("cannot read the folder's status", errno);
    if (read_only(folder_st) || ::access(folder.c_str(), W_OK | X_OK) != 0) {
        return "the folder " + folder.string() + " is read-only (the tags are written through a copy beside the file)";
    }
    const Change change = change_of(format, tags);
    // A file that holds these tags already is left alone (its time too).
    if (unchanged(real.string(), format, change)) return {};
    const int from = ::open(real.c_str(), O_RDONLY | O_CLOEXEC);
    if (from < 0) return system_error("cannot open the file", errno);
    TemporaryCopy copy;
    std::string failure = copy.make(real, from, st);
    ::close(from);
    if (!failure.empty()) return failure;
    failure = change_file(copy.path(), format, change);
    if (!failure.empty()) return failure;
    // What was saved is read back before it replaces anything.
    const auto written = read_tags(copy.path(), format);
    for (const auto& [name, text] : change.set) {
        const auto it = written.find(name);
        if (it == written.end() || it->second != text) return "the tags did not read back as written";
    }
    for (const std::string& name : change.drop) {
        const bool rewritten =
            std::any_of(change.set.begin(), change.set.end(), [&](const auto& s) { return s.first == name; });
        if (!rewritten && written.count(name)) return "the tags did not read back as written";
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    failure = copy.finish(keep_time ? times : nullptr);
    if (!failure.empty()) return failure;
    failure = copy.rename_onto(real);
    if (!failure.empty()) return failure;
    // The rename lasts once the folder is on disk too.
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return {};
}

std::map<std::string, std::string> read_tags(const std::string& path, TagFormat format) {
    std::map<std::string, std::string> found;
    // A name held twice (in two cases, or with two values) reads as its
    // texts joined by a line break: no tag of one text.
    auto take = [&](const std::string& name, const TagLib::String& text) {
        if (!known(name)) return;
        const auto [it, added] = found.emplace(name, text.to8Bit(true));
        if (!added) it->second += "\n" + text.to8Bit(true);
    };
    auto from_xiph = [&](const TagLib::Ogg::XiphComment* comment) {
        if (!comment) return;
        for (const auto& field : comment->fieldListMap()) {
            for (const TagLib::String& text : field.second) take(lower(field.first), text);
        }
    };
    switch (format) {
    case TagFormat::Mp3: {
        TagLib::MPEG::File file(path.c_str(), false);
        if (!file.isValid() || !file.hasID3v2Tag()) break;
        for (const TagLib::ID3v2::Frame* frame : file.ID3v2Tag()->frameList("TXXX")) {
            const auto* txxx = dynamic_cast<const TagLib::ID3v2::UserTextIdentificationFrame*>(frame);
            // The first field is the description; the texts follow.
            const TagLib::StringList fields = txxx ? txxx->fieldList() : TagLib::StringList();
            for (unsigned k = 1; k < fields.size(); ++k) take(lower(txxx->description()), fields[k]);
        }
        break;
    }
    case TagFormat::Flac: {
        TagLib::FLAC::File file(path.c_str(), false);
        if (file.isValid()) from_xiph(file.xiphComment(false));
        break;
    }
    case TagFormat::OggVorbis: {
        TagLib::Ogg::Vorbis::File file(path.c_str(), false);
        if (file.isValid()) from_xiph(file.tag());
        break;
    }
    case TagFormat::Opus: {
        TagLib::Ogg::Opus::File file(path.c_str(), false);
        if (file.isValid()) from_xiph(file.tag());
        break;
    }
    case TagFormat::Mp4: {
        TagLib::MP4::File file(path.c_str(), false);
        if (!file.isValid() || !file.tag()) break;
        const std::string prefix = lower_text(kItunesPrefix);
        for (const auto& item : file.tag()->itemMap()) {
            const std::string key = lower(item.first);
            const TagLib::StringList texts = item.second.toStringList();
            if (key.rfind(prefix, 0) != 0) continue;
            for (const TagLib::String& text : texts) take(key.substr(prefix.size()), text);
        }
        break;
    }
    case TagFormat::None: break;
    }
    return found;
}

}  // namespace sonorix
