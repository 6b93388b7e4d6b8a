// Attachments, metadata and chapters of a new output file.
#include <climits>
#include <cstdlib>

#include "transcoder/FFmpeg.h"

namespace sonorix {

void TCustomFFmpeg::add_attachments(TOptionsContext& o, AVFormatContext* oc) {
    for (const std::string& name : o.attachments) {
        AVIOContext* pb = nullptr;
        arm_write_stamp();
        const int ret = avio_open2(&pb, name.c_str(), AVIO_FLAG_READ, &oc->interrupt_callback, nullptr);
        write_stamp = INT64_MAX;
        if (ret < 0) options_.raise_format("Could not open attachment file %s.", name.c_str());
        const int64_t size = avio_size(pb);
        if (size <= 0) {
            avio_closep(&pb);
            options_.raise_format("Could not get size of the attachment %s.", name.c_str());
        }
        if (size > INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE) {
            avio_closep(&pb);
            options_.raise_format("Attachment %s too large to fit into memory.", name.c_str());
        }
        TOutputStream& ost = new_output_stream(o, oc, AVMEDIA_TYPE_ATTACHMENT, -1);
        ost.stream_copy = true;
        ost.attachment = true;
        AVCodecParameters* par = ost.st->codecpar;
        par->extradata = static_cast<uint8_t*>(av_mallocz(static_cast<size_t>(size) + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!par->extradata) {
            avio_closep(&pb);
            options_.raise_error("av_mallocz() failed");
        }
        par->extradata_size = static_cast<int>(size);
        avio_read(pb, par->extradata, static_cast<int>(size));
        avio_closep(&pb);
        const size_t slash = name.find_last_of("/\\");
        av_dict_set(&ost.st->metadata, "filename", slash == std::string::npos ? name.c_str() : name.c_str() + slash + 1,
                    0);
    }
}

std::vector<AVDictionary**> TCustomFFmpeg::metadata_targets(AVFormatContext* ctx, const std::string& specifier) {
    std::vector<AVDictionary**> out;
    const char type = specifier.empty() ? 'g' : specifier[0];
    const std::string rest = specifier.size() > 2 ? specifier.substr(2) : std::string();
    switch (type) {
    case 'g': out.push_back(&ctx->metadata); break;
    case 's':
        for (unsigned i = 0; i < ctx->nb_streams; ++i) {
            if (options_.check_stream_specifier(ctx, ctx->streams[i], rest) > 0)
                out.push_back(&ctx->streams[i]->metadata);
        }
        break;
    case 'c': {
        const int index = std::atoi(rest.c_str());
        if (index < 0 || index >= static_cast<int>(ctx->nb_chapters)) {
            options_.raise_format("Invalid chapter index %d in metadata specifier.", index);
        }
        out.push_back(&ctx->chapters[index]->metadata);
        break;
    }
    case 'p': {
        const int index = std::atoi(rest.c_str());
        if (index < 0 || index >= static_cast<int>(ctx->nb_programs)) {
            options_.raise_format("Invalid metadata specifier %s.", specifier.c_str());
        }
        out.push_back(&ctx->programs[index]->metadata);
        break;
    }
    default: options_.raise_format("Invalid metadata specifier %s.", specifier.c_str());
    }
    return out;
}

void TCustomFFmpeg::apply_metadata_maps(TOptionsContext& o, AVFormatContext* oc) {
    for (const auto& entry : o.metadata_map) {
        const std::string& arg = entry.u;
        const size_t colon = arg.find(':');
        const int file = std::atoi(arg.substr(0, colon).c_str());
        if (file < 0) continue;  // "-1": copy nothing
        if (file >= static_cast<int>(input_files.size())) {
            options_.raise_format("Invalid input file index %d while processing metadata maps", file);
        }
        AVFormatContext* ic = input_files[static_cast<size_t>(file)].ctx.get();
        const std::vector<AVDictionary**> from =
            metadata_targets(ic, colon == std::string::npos ? std::string() : arg.substr(colon + 1));
        if (from.empty()) continue;
        for (AVDictionary** to : metadata_targets(oc, entry.specifier))
            av_dict_copy(to, *from.front(), AV_DICT_DONT_OVERWRITE);
    }
}

void TCustomFFmpeg::copy_metadata(TOptionsContext& o, TOutputFile& of) {
    AVFormatContext* oc = of.ctx.get();
    if (!input_files.empty()) {
        AVFormatContext* ic = input_files[0].ctx.get();
        if (!o.metadata_global_manual && ic) {
            av_dict_copy(&oc->metadata, ic->metadata, AV_DICT_DONT_OVERWRITE);
            if (of.recording_time != INT64_MAX) av_dict_set(&oc->metadata, "duration", nullptr, 0);
            av_dict_set(&oc->metadata, "creation_time", nullptr, 0);
        }
        // Chapters from -map_chapters, else from the first input that has any,
        // cut to the recorded range; a negative index copies none.
        int chapters_file = o.chapters_input_file;
        if (chapters_file == INT_MAX) {
            chapters_file = -1;
            for (size_t i = 0; i < input_files.size(); ++i) {
                if (input_files[i].ctx && input_files[i].ctx->nb_chapters) {
                    chapters_file = static_cast<int>(i);
                    break;
                }
            }
        } else if (chapters_file >= static_cast<int>(input_files.size())) {
            options_.raise_format("Invalid input file index %d in chapter mapping.", chapters_file);
        }
        if (chapters_file >= 0) {
            {
                const TInputFile& f = input_files[static_cast<size_t>(chapters_file)];
                for (unsigned c = 0; c < f.ctx->nb_chapters; ++c) {
                    const AVChapter* in = f.ctx->chapters[c];
                    const int64_t offset = of.start_time - f.ts_offset;
                    const int64_t start =
                        std::max<int64_t>(0, av_rescale_q(in->start, in->time_base, AV_TIME_BASE_Q) - offset);
                    if (of.recording_time != INT64_MAX && start > of.recording_time) break;
                    const int64_t end = av_rescale_q(in->end, in->time_base, AV_TIME_BASE_Q) - offset;
                    if (end < 0) continue;
                    auto** grown = static_cast<AVChapter**>(
                        av_realloc_array(oc->chapters, oc->nb_chapters + 1, sizeof(AVChapter*)));
                    if (!grown) break;
                    oc->chapters = grown;
                    auto* out = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
                    if (!out) break;
                    out->id = in->id;
                    out->time_base = AV_TIME_BASE_Q;
                    out->start = start;
                    out->end = of.recording_time != INT64_MAX ? std::min(end, of.recording_time) : end;
                    if (!o.metadata_chapters_manual) av_dict_copy(&out->metadata, in->metadata, 0);
                    oc->chapters[oc->nb_chapters++] = out;
                }
            }
        }
    }
    for (size_t i = static_cast<size_t>(of.ost_index); i < output_streams.size(); ++i) {
        TOutputStream& ost = *output_streams[i];
        if (TInputStream* ist = get_input_stream(ost); ist && !o.metadata_streams_manual) {
            av_dict_copy(&ost.st->metadata, ist->st->metadata, AV_DICT_DONT_OVERWRITE);
        }
    }
    apply_metadata_maps(o, oc);
    for (const auto& entry : o.metadata) {
        const std::string& text = entry.u;
        const size_t eq = text.find('=');
        if (eq == std::string::npos) options_.raise_format("No \"=\" character in metadata string %s.", text.c_str());
        const std::string key = text.substr(0, eq);
        const std::string value = text.substr(eq + 1);
        const char* v = value.empty() ? nullptr : value.c_str();
        const std::string& specifier = entry.specifier;
        if (specifier.empty() || specifier == "g") {
            av_dict_set(&oc->metadata, key.c_str(), v, 0);
        } else if (specifier[0] == 's') {
            const std::string stream_spec =
                specifier.size() > 2 && specifier[1] == ':' ? specifier.substr(2) : std::string();
            for (unsigned i = 0; i < oc->nb_streams; ++i) {
                if (options_.check_stream_specifier(oc, oc->streams[i], stream_spec) > 0) {
                    av_dict_set(&oc->streams[i]->metadata, key.c_str(), v, 0);
                }
            }
        } else if (specifier[0] == 'c') {
            const int index = std::atoi(specifier.c_str() + (specifier.size() > 1 ? 2 : 1));
            if (index < 0 || index >= static_cast<int>(oc->nb_chapters)) {
                options_.raise_format("Invalid chapter index %d in metadata specifier.", index);
            }
            av_dict_set(&oc->chapters[index]->metadata, key.c_str(), v, 0);
        } else {
            options_.raise_format("Invalid metadata specifier %s.", specifier.c_str());
        }
    }
}

}  // namespace sonorix
