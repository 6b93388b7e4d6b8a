#include "lossless/lossless_remux.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <span>

#include "base/FFBase.h"
#include "base/libav.h"
#include "lossless/mp3_gain.h"
#include "lossless/opus_gain.h"
#include "transcoder/FFmpegErrors.h"
#include "transcoder/FFmpegFiles.h"

namespace sonorix::lossless {

namespace {

namespace fs = std::filesystem;

// A gain already on a unit must not lose it to the last bits of a double.
constexpr double kSlack = 1e-9;

// Whether the Matroska demuxer takes a track's coder delay off its times
// while the muxer does not put it back (libavformat 59, FFmpeg 5.1).
constexpr bool kMatroskaDemuxerOwnsDelay = LIBAVFORMAT_VERSION_MAJOR == 59;

struct InputCloser {
    void operator()(AVFormatContext* ctx) const { avformat_close_input(&ctx); }
};
using InputPtr = std::unique_ptr<AVFormatContext, InputCloser>;

struct OutputCloser {
    void operator()(AVFormatContext* ctx) const {
        if (ctx && ctx->pb) avio_closep(&ctx->pb);
        avformat_free_context(ctx);
    }
};
using OutputPtr = std::unique_ptr<AVFormatContext, OutputCloser>;

struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;

int stop_asked(void* opaque) { return static_cast<const std::atomic<bool>*>(opaque)->load() ? 1 : 0; }

AVIOInterruptCB interrupt_of(const std::atomic<bool>& stop) {
    return {&stop_asked, const_cast<std::atomic<bool>*>(&stop)};
}

// Opens source with its streams described; empty, or why not.
std::string open_source(const std::string& source, const std::atomic<bool>& stop, bool describe, InputPtr& input) {
    AVFormatContext* ic = avformat_alloc_context();
    if (!ic) return error_code_text(source, AVERROR(ENOMEM));
    ic->interrupt_callback = interrupt_of(stop);
    const std::string url = classify_name(source, false).url;
    int ret = avformat_open_input(&ic, url.c_str(), nullptr, nullptr);  // frees ic on failure
    if (ret < 0) return error_code_text(source, ret);
    input.reset(ic);
    if (describe && (ret = avformat_find_stream_info(ic, nullptr)) < 0) return error_code_text(source, ret);
    return {};
}

// The muxers that write the container a demuxer reads.
struct Family {
    const char* demuxer;
    std::vector<const char*> muxers;
};
const Family kFamilies[] = {
    {"mp3", {"mp3"}},
    {"aac", {"adts"}},
    {"ogg", {"ogg", "oga", "opus"}},
    {"matroska,webm", {"matroska", "webm"}},
    {"mov,mp4,m4a,3gp,3g2,mj2", {"mp4", "mov", "ipod", "3gp", "3g2"}},
    {"avi", {"avi"}},
};

std::string lower_extension(const std::string& name) {
    std::string ext = fs::path(name).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext;
}

// The muxer for target when it keeps the container of a file demuxer reads.
const AVOutputFormat* same_container(const AVInputFormat* demuxer, const std::string& source, const std::string& target,
                                     std::string& why) {
    if (lower_extension(source) != lower_extension(target)) {
        why = "the target's format differs from the source's (" + fs::path(target).extension().string() + ")";
        return nullptr;
    }
    const AVOutputFormat* muxer = av_guess_format(nullptr, target.c_str(), nullptr);
    for (const Family& family : kFamilies) {
        if (std::strcmp(family.demuxer, demuxer->name) != 0) continue;
        for (const char* name : family.muxers) {
            if (muxer && std::strcmp(name, muxer->name) == 0) return muxer;
        }
        why = std::string("the target's name does not keep the source's container (") + demuxer->name + ")";
        return nullptr;
    }
    why = std::string("the lossless path writes MP3, AAC, Ogg, Matroska, WebM, MP4, MOV and AVI files, not ") +
          demuxer->long_name;
    return nullptr;
}

std::string track_name(size_t audio_index, const AVCodecParameters* par) {
    return Format("audio track %zu (%s)", audio_index + 1, avcodec_get_name(par->codec_id));
}

// Each audio track's codec check and, for Opus, its room (from the header).
Survey describe_tracks(AVFormatContext* ic) {
    Survey survey;
    for (unsigned i = 0; i < ic->nb_streams && survey.refusal.empty(); ++i) {
        const AVCodecParameters* par = ic->streams[i]->codecpar;
        if (par->codec_type != AVMEDIA_TYPE_AUDIO) continue;
        TrackSurvey track;
        track.stream_index = static_cast<int>(i);
        const std::string name = track_name(survey.tracks.size(), par);
        const std::span<const uint8_t> extradata(par->extradata,
                                                 par->extradata ? static_cast<size_t>(par->extradata_size) : 0);
        std::string why;
        switch (par->codec_id) {
        case AV_CODEC_ID_MP3: track.codec = GainCodec::Mp3; break;
        case AV_CODEC_ID_AAC:
            track.codec = GainCodec::Aac;
            // Spectral band replication found by the decoder (implicit
            // signalling) would keep its own level: not AAC-LC.
            if (par->profile == FF_PROFILE_AAC_HE || par->profile == FF_PROFILE_AAC_HE_V2) {
                why = "HE-AAC is not changed without re-encoding";
            } else {
                aac_config(extradata, track.aac, why);
            }
            break;
        case AV_CODEC_ID_OPUS:
            track.codec = GainCodec::Opus;
            opus_survey(extradata, track.room, why);
            break;
        default: why = "the lossless path takes MP3, AAC-LC and Opus only"; break;
        }
        if (!why.empty()) survey.refusal = name + ": " + why;
        survey.tracks.push_back(track);
    }
    if (survey.refusal.empty() && survey.tracks.empty()) survey.refusal = "the file has no audio track";
    return survey;
}

// The position of the input as a share of its size; -1 when unknown.
double share_read(AVFormatContext* ic) {
    if (!ic->pb) return -1;
    const int64_t size = avio_size(ic->pb);
    if (size <= 0) return -1;
    return std::clamp(static_cast<double>(avio_tell(ic->pb)) / static_cast<double>(size), 0.0, 1.0);
}

// Reports the share read at most once per percent.
class ShareReporter {
public:
    explicit ShareReporter(const ShareDone& done, double from, double span) : done_(done), from_(from), span_(span) {}
    void report(AVFormatContext* ic) {
        if (!done_) return;
        const double share = share_read(ic);
        if (share < 0 || share < last_ + 0.01) return;
        last_ = share;
        done_(from_ + span_ * share);
    }

private:
    const ShareDone& done_;
    double from_, span_;
    double last_ = 0;
};

// Reads the MP3 and AAC packets of the tracks: their rooms narrowed, or the
// refusal of the first packet an editor cannot change.
void survey_packets(AVFormatContext* ic, Survey& survey, const std::atomic<bool>& stop, ShareReporter* reporter) {
    std::vector<int> track_of(ic->nb_streams, -1);
    bool any = false;
    for (size_t t = 0; t < survey.tracks.size(); ++t) {
        if (survey.tracks[t].codec == GainCodec::Opus) continue;
        track_of[static_cast<size_t>(survey.tracks[t].stream_index)] = static_cast<int>(t);
        any = true;
    }
    if (!any) return;
    PacketPtr pkt(av_packet_alloc());
    if (!pkt) {
        survey.refusal = error_code_text(AVERROR(ENOMEM));
        return;
    }
    for (;;) {
        if (stop) {
            survey.stopped = true;
            return;
        }
        const int ret = av_read_frame(ic, pkt.get());
        if (ret == AVERROR_EOF) return;
        if (ret < 0) {
            if (stop)
                survey.stopped = true;
            else
                survey.refusal = "the source cannot be read to its end: " + error_code_text(ret);
            return;
        }
        const int t = pkt->stream_index < static_cast<int>(track_of.size())
                          ? track_of[static_cast<size_t>(pkt->stream_index)]
                          : -1;
        if (t >= 0 && pkt->size > 0) {
            TrackSurvey& track = survey.tracks[static_cast<size_t>(t)];
            const std::span<const uint8_t> data(pkt->data, static_cast<size_t>(pkt->size));
            std::string why;
            const bool ok = track.codec == GainCodec::Mp3 ? mp3_survey(data, track.room, why)
                                                          : aac_survey(track.aac, data, track.room, why);
            if (!ok) {
                survey.refusal =
                    track_name(static_cast<size_t>(t), ic->streams[pkt->stream_index]->codecpar) + ": " + why;
                return;
            }
        }
        av_packet_unref(pkt.get());
        if (reporter) reporter->report(ic);
    }
}

double unit_db(GainCodec codec) { return codec == GainCodec::Opus ? 1.0 / 256 : kStepDb; }

int units_for(GainCodec codec, double db, StepRounding rounding) {
    return codec == GainCodec::Opus ? opus_gain_q8(db, rounding) : steps_for(db, rounding);
}

// The output stream's codec tag: the source's, unless the muxer knows the
// codec by another tag.
uint32_t copied_tag(const AVOutputFormat* muxer, const AVCodecParameters* in) {
    const AVCodecTag* const* table = muxer->codec_tag;
    unsigned tag = 0;
    const bool keep = !table || av_codec_get_id(table, in->codec_tag) == in->codec_id ||
                      !av_codec_get_tag2(table, in->codec_id, &tag);
    return keep ? in->codec_tag : 0;
}

// The output's streams, each a copy of its source stream with the Opus
// headers' gains added; chapters and tags as they are.
std::string copy_streams(AVFormatContext* ic, AVFormatContext* oc, const Survey& survey,
                         const std::vector<AppliedGain>& gains) {
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        const AVStream* in = ic->streams[i];
        AVStream* out = avformat_new_stream(oc, nullptr);
        if (!out) return error_code_text(AVERROR(ENOMEM));
        int ret = avcodec_parameters_copy(out->codecpar, in->codecpar);
        if (ret < 0) return error_code_text(ret);
        AVCodecParameters* par = out->codecpar;
        par->codec_tag = copied_tag(oc->oformat, in->codecpar);
        // The muxer sets the block size of a variable-rate MP3 track itself.
        if (par->codec_id == AV_CODEC_ID_MP3 &&
            (par->block_align == 1 || par->block_align == 576 || par->block_align == 1152)) {
            par->block_align = 0;
        }
        out->time_base = in->time_base;
        out->disposition = in->disposition;
        out->avg_frame_rate = in->avg_frame_rate;
        out->r_frame_rate = in->r_frame_rate;
        out->sample_aspect_ratio = in->sample_aspect_ratio;
        if ((ret = av_dict_copy(&out->metadata, in->metadata, 0)) < 0) return error_code_text(ret);
        for (int s = 0; s < in->nb_side_data; ++s) {
            const AVPacketSideData& side = in->side_data[s];
            uint8_t* data = av_stream_new_side_data(out, side.type, side.size);
            if (!data) return error_code_text(AVERROR(ENOMEM));
            std::memcpy(data, side.data, side.size);
        }
    }
    for (size_t t = 0; t < survey.tracks.size(); ++t) {
        if (survey.tracks[t].codec != GainCodec::Opus || gains[t].units == 0) continue;
        AVCodecParameters* par = oc->streams[survey.tracks[t].stream_index]->codecpar;
        std::string why;
        if (!opus_apply(std::span<uint8_t>(par->extradata, static_cast<size_t>(par->extradata_size)), gains[t].units,
                        why)) {
            return why;
        }
    }
    if (av_dict_copy(&oc->metadata, ic->metadata, 0) < 0) return error_code_text(AVERROR(ENOMEM));
    for (unsigned c = 0; c < ic->nb_chapters; ++c) {
        const AVChapter* in = ic->chapters[c];
        auto** grown =
            static_cast<AVChapter**>(av_realloc_array(oc->chapters, oc->nb_chapters + 1, sizeof(AVChapter*)));
        if (!grown) return error_code_text(AVERROR(ENOMEM));
        oc->chapters = grown;
        auto* out = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
        if (!out) return error_code_text(AVERROR(ENOMEM));
        out->id = in->id;
        out->time_base = in->time_base;
        out->start = in->start;
        out->end = in->end;
        oc->chapters[oc->nb_chapters++] = out;
        if (av_dict_copy(&out->metadata, in->metadata, 0) < 0) return error_code_text(AVERROR(ENOMEM));
    }
    return {};
}

// The file a target names: a link's file, so that the link stays.
std::string file_behind(const std::string& target) {
    std::error_code ec;
    if (fs::is_symlink(target, ec)) {
        const fs::path real = fs::canonical(target, ec);
        if (!ec) return real.string();
    }
    return target;
}

mode_t mode_for(const std::string& file) {
    struct stat st;
    if (::stat(file.c_str(), &st) == 0) return st.st_mode & 0777;
    return 0666 & ~current_umask();
}

// Removes the temporary file unless it was renamed onto the target.
class TempFile {
public:
    explicit TempFile(std::string name) : name_(std::move(name)) {}
    ~TempFile() {
        if (!name_.empty()) ::unlink(name_.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& name() const { return name_; }
    void committed() { name_.clear(); }

private:
    std::string name_;
};

// An MP3 file's tags in the forms its source had: the ID3v2 version (the
// muxer writes 2.4 by default) and an ID3v1 tag at the end (none by default).
AVDictionary* mp3_tag_options(const std::string& source, const AVOutputFormat* muxer) {
    AVDictionary* options = nullptr;
    AVIOContext* pb = nullptr;
    if (std::strcmp(muxer->name, "mp3") != 0 ||
        avio_open(&pb, classify_name(source, false).url.c_str(), AVIO_FLAG_READ) < 0) {
        return options;
    }
    const int64_t size = avio_size(pb);
    uint8_t head[4] = {}, tail[3] = {};
    if (avio_read(pb, head, 4) == 4 && std::memcmp(head, "ID3", 3) == 0 && (head[3] == 3 || head[3] == 4)) {
        av_dict_set_int(&options, "id3v2_version", head[3], 0);
    }
    if (size >= 128 && avio_seek(pb, size - 128, SEEK_SET) >= 0 && avio_read(pb, tail, 3) == 3 &&
        std::memcmp(tail, "TAG", 3) == 0) {
        av_dict_set(&options, "write_id3v1", "1", 0);
    }
    avio_closep(&pb);
    return options;
}

// The remux into the open temporary file: Completed, Failed or Stopped.
RemuxResult write_remux(const std::string& source, AVFormatContext* ic, AVFormatContext* oc, const Survey& survey,
                        const std::vector<AppliedGain>& gains, const std::atomic<bool>& stop, ShareReporter& reporter) {
    RemuxResult result{RemuxEnd::Failed, {}, gains};
    auto failed = [&](const std::string& text) {
        result.end = stop ? RemuxEnd::Stopped : RemuxEnd::Failed;
        result.text = stop ? std::string() : with_library_detail(text);
        return result;
    };
    if (std::string problem = copy_streams(ic, oc, survey, gains); !problem.empty()) return failed(problem);
    AVDictionary* options = mp3_tag_options(source, oc->oformat);
    int ret = avformat_write_header(oc, &options);
    av_dict_free(&options);
    if (ret < 0) return failed("Cannot write the header: " + error_code_text(ret));
    // The packets a gain moves in place, by stream.
    std::vector<const TrackSurvey*> edited(ic->nb_streams, nullptr);
    std::vector<int> steps(ic->nb_streams, 0);
    std::vector<size_t> audio_of(ic->nb_streams, 0);
    for (size_t t = 0; t < survey.tracks.size(); ++t) {
        const TrackSurvey& track = survey.tracks[t];
        audio_of[static_cast<size_t>(track.stream_index)] = t;
        if (track.codec == GainCodec::Opus || gains[t].units == 0) continue;
        edited[static_cast<size_t>(track.stream_index)] = &track;
        steps[static_cast<size_t>(track.stream_index)] = gains[t].units;
    }
    // The MP4 muxer ends every text cue with an empty one of its own where
    // the next begins later: the source's empty cues, copied as well, would
    // stand beside those twice.
    const bool muxer_ends_cues =
        oc->oformat->codec_tag && av_codec_get_tag(oc->oformat->codec_tag, AV_CODEC_ID_MOV_TEXT) != 0;
    // 5.1's Matroska demuxer moves a track with a coder delay (Opus) earlier
    // by that delay, and its muxer writes the times as given: without the
    // delay added back the track would start before zero, the muxer would
    // shift every other stream to make up for it, and each change would move
    // the picture against the sound.
    std::vector<int64_t> delay(ic->nb_streams, 0);
    for (unsigned i = 0;
         i < ic->nb_streams && kMatroskaDemuxerOwnsDelay && !std::strcmp(ic->iformat->name, "matroska,webm"); ++i) {
        const AVCodecParameters* par = ic->streams[i]->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_AUDIO && par->initial_padding > 0 && par->sample_rate > 0) {
            delay[i] = av_rescale_q(par->initial_padding, {1, par->sample_rate}, oc->streams[i]->time_base);
        }
    }
    PacketPtr pkt(av_packet_alloc());
    if (!pkt) return failed(error_code_text(AVERROR(ENOMEM)));
    for (;;) {
        if (stop) return failed({});
        ret = av_read_frame(ic, pkt.get());
        if (ret == AVERROR_EOF) break;
        if (ret < 0) return failed("Cannot read the source: " + error_code_text(ret));
        const auto index = static_cast<size_t>(pkt->stream_index);
        if (index >= edited.size()) {  // a stream that appeared while reading
            av_packet_unref(pkt.get());
            continue;
        }
        if (muxer_ends_cues && ic->streams[index]->codecpar->codec_id == AV_CODEC_ID_MOV_TEXT && pkt->size == 2 &&
            pkt->data[0] == 0 && pkt->data[1] == 0) {
            av_packet_unref(pkt.get());
            continue;
        }
        if (const TrackSurvey* track = edited[index]; track && pkt->size > 0) {
            if ((ret = av_packet_make_writable(pkt.get())) < 0) return failed(error_code_text(ret));
            const std::span<uint8_t> data(pkt->data, static_cast<size_t>(pkt->size));
            std::string why;
            const bool ok = track->codec == GainCodec::Mp3 ? mp3_apply(data, steps[index], why)
                                                           : aac_apply(track->aac, data, steps[index], why);
            if (!ok && !stop) {
                result.end = RemuxEnd::Refused;
                result.text = track_name(audio_of[index], ic->streams[index]->codecpar) + ": " + why;
                return result;
            }
            if (!ok) return failed({});
        }
        av_packet_rescale_ts(pkt.get(), ic->streams[index]->time_base, oc->streams[index]->time_base);
        if (delay[index]) {
            if (pkt->pts != AV_NOPTS_VALUE) pkt->pts += delay[index];
            if (pkt->dts != AV_NOPTS_VALUE) pkt->dts += delay[index];
        }
        pkt->pos = -1;
        if ((ret = av_interleaved_write_frame(oc, pkt.get())) < 0)
            return failed("Cannot write a packet: " + error_code_text(ret));
        reporter.report(ic);
    }
    if ((ret = av_write_trailer(oc)) < 0) return failed("Cannot finish the file: " + error_code_text(ret));
    avio_flush(oc->pb);
    ret = oc->pb->error;
    const int closed = avio_closep(&oc->pb);
    if (ret >= 0) ret = closed;
    if (ret < 0) return failed("Cannot write the file: " + error_code_text(ret));
    result.end = RemuxEnd::Completed;
    return result;
}

}  // namespace

std::string gain_text(const AppliedGain& gain) {
    if (!gain.asked_db) return "kept as it is";
    return Format("%+.2f dB, asked %+.2f dB", gain.db + 0.0, *gain.asked_db + 0.0);
}

std::string container_refusal(const std::string& source, const std::string& target) {
    const std::atomic<bool> never{false};
    InputPtr ic;
    if (std::string problem = open_source(source, never, false, ic); !problem.empty()) return problem;
    std::string why;
    same_container(ic->iformat, source, target, why);
    return why;
}

Survey survey_file(const std::string& source, const std::atomic<bool>& stop) {
    InputPtr ic;
    Survey survey;
    if (std::string problem = open_source(source, stop, true, ic); !problem.empty()) {
        survey.refusal = problem;
        survey.stopped = stop;
        return survey;
    }
    survey = describe_tracks(ic.get());
    if (survey.refusal.empty()) survey_packets(ic.get(), survey, stop, nullptr);
    return survey;
}

std::string plan_gains(const Survey& survey, const std::vector<GainRequest>& requests,
                       std::vector<AppliedGain>& gains) {
    gains.clear();
    if (requests.empty() || (requests.size() != 1 && requests.size() < survey.tracks.size())) {
        return "no gain was given for every audio track";
    }
    for (size_t t = 0; t < survey.tracks.size(); ++t) {
        const TrackSurvey& track = survey.tracks[t];
        const GainRequest& request = requests.size() == 1 ? requests[0] : requests[t];
        AppliedGain gain;
        gain.asked_db = request.db;
        if (request.db) {
            if (!std::isfinite(*request.db))
                return Format("audio track %zu: silence is not written without re-encoding", t + 1);
            gain.units = units_for(track.codec, *request.db, request.rounding);
            if (request.limit_db && gain.units * unit_db(track.codec) > *request.limit_db + kSlack) {
                gain.units = units_for(track.codec, *request.limit_db, StepRounding::Down);
            }
            gain.db = gain.units * unit_db(track.codec);
            if (!track.room.allows(gain.units)) {
                return Format(
                    "audio track %zu: a gain of %+.2f dB would push its gain fields out of range (room %+.2f to %+.2f "
                    "dB)",
                    t + 1, gain.db, -track.room.down * unit_db(track.codec), track.room.up * unit_db(track.codec));
            }
        }
        gains.push_back(gain);
    }
    return {};
}

RemuxResult change_gain(const std::string& source, const std::string& target, const std::vector<GainRequest>& requests,
                        const std::atomic<bool>& stop, const ShareDone& progress) {
    RemuxResult result;
    auto end = [&](RemuxEnd how, std::string text) {
        result.end = stop && how != RemuxEnd::Completed ? RemuxEnd::Stopped : how;
        result.text = result.end == RemuxEnd::Stopped ? std::string() : std::move(text);
        return result;
    };
    InputPtr ic;
    if (std::string problem = open_source(source, stop, true, ic); !problem.empty())
        return end(RemuxEnd::Failed, problem);
    // A track of another codec is the likelier reason, and names the track.
    Survey survey = describe_tracks(ic.get());
    if (!survey.refusal.empty()) return end(RemuxEnd::Refused, survey.refusal);
    std::string why;
    const AVOutputFormat* muxer = same_container(ic->iformat, source, target, why);
    if (!muxer) return end(RemuxEnd::Refused, why);
    if (std::string problem = plan_gains(survey, requests, result.gains); !problem.empty())
        return end(RemuxEnd::Refused, problem);
    // One pass: the MP3 and AAC editors refuse a packet whose fields would
    // leave their range (or that they cannot read) as they go, and the file
    // written so far is removed; reading every packet twice (a survey, then
    // the remux) would cost as much as the copy itself.

    const std::string file = file_behind(target);
    TempFile temp(make_temp_file(file, mode_for(file)));
    if (temp.name().empty()) return end(RemuxEnd::Failed, error_code_text(target, AVERROR(errno)));
    AVFormatContext* raw = nullptr;
    const std::string url = classify_name(temp.name(), true).url;
    int ret = avformat_alloc_output_context2(&raw, muxer, nullptr, url.c_str());
    if (ret < 0) return end(RemuxEnd::Failed, error_code_text(target, ret));
    OutputPtr oc(raw);
    oc->interrupt_callback = interrupt_of(stop);
    const AVIOInterruptCB callback = interrupt_of(stop);
    if ((ret = avio_open2(&oc->pb, url.c_str(), AVIO_FLAG_WRITE, &callback, nullptr)) < 0) {
        return end(RemuxEnd::Failed, error_code_text(target, ret));
    }
    ShareReporter written(progress, 0, 1);
    RemuxResult wrote = write_remux(source, ic.get(), oc.get(), survey, result.gains, stop, written);
    oc.reset();
    if (wrote.end == RemuxEnd::Refused) return end(RemuxEnd::Refused, wrote.text);
    if (wrote.end != RemuxEnd::Completed) return end(wrote.end, target + ": " + wrote.text);
    if (stop) return end(RemuxEnd::Stopped, {});
    if ((ret = commit_temp_file(temp.name(), file, false)) < 0)
        return end(RemuxEnd::Failed, error_code_text(target, ret));
    temp.committed();
    if (progress) progress(1.0);
    result.end = RemuxEnd::Completed;
    result.text.clear();
    return result;
}

}  // namespace sonorix::lossless
