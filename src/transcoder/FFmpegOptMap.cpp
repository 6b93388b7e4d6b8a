// Handler rows that refer to the task's input files and output streams:
// -map, -map_channel, -map_metadata and -streamid. They raise set-up errors.
#include <charconv>

#include "transcoder/FFmpegOpt.h"

namespace sonorix {

namespace {

constexpr int kMaxStreams = 1024;  // bounds the -streamid table

// A plain decimal index: digits only, in int range.
bool read_index(std::string_view text, int& out) {
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && ptr == text.data() + text.size();
}

// Splits at the first ':'; the second part is empty when there is none.
std::pair<std::string, std::string> split_colon(const std::string& s) {
    const size_t colon = s.find(':');
    if (colon == std::string::npos) return {s, std::string()};
    return {s.substr(0, colon), s.substr(colon + 1)};
}

}  // namespace

int TCustomFFmpegOpt::opt_map(TOptionsContext* o, const std::string&, const std::string& arg) {
    std::string map = arg;
    const bool negative = !map.empty() && map[0] == '-';
    if (negative) map.erase(0, 1);

    int sync_file = -1;
    int sync_stream = -1;
    if (const size_t comma = map.find(','); comma != std::string::npos) {
        const auto [file_text, specifier] = split_colon(map.substr(comma + 1));
        map.resize(comma);
        int index;
        if (!read_index(file_text, index) || index >= static_cast<int>(input_files().size())) {
            raise_format("Invalid sync file index: %s.", file_text.c_str());
        }
        AVFormatContext* ic = input_files()[static_cast<size_t>(index)].ctx.get();
        for (unsigned i = 0; ic && i < ic->nb_streams; ++i) {
            if (check_stream_specifier(ic, ic->streams[i], specifier) > 0) {
                sync_file = index;
                sync_stream = static_cast<int>(i);
                break;
            }
        }
        if (sync_stream < 0) {
            raise_format("Sync stream specification in map %s does not match any streams.", arg.c_str());
        }
    }

    int matched = 0;
    if (!map.empty() && map[0] == '[') {
        const size_t close = map.find(']');
        if (close == std::string::npos) raise_format("Invalid output link label: %s.", arg.c_str());
        const std::string label = map.substr(1, close - 1);
        if (negative) {
            // Removing a label map must not add one.
            for (TStreamMap& m : o->stream_maps) {
                if (!m.linklabel.empty() && m.linklabel == label) {
                    m.disabled = true;
                    ++matched;
                }
            }
        } else {
            TStreamMap m;
            m.linklabel = label;
            o->stream_maps.push_back(std::move(m));
            ++matched;
        }
    } else {
        const auto [file_text, specifier] = split_colon(map);
        int file;
        if (!read_index(file_text, file) || file >= static_cast<int>(input_files().size())) {
            raise_format("Invalid input file index: %s.", file_text.c_str());
        }
        AVFormatContext* ic = input_files()[static_cast<size_t>(file)].ctx.get();
        const unsigned nb_streams = ic ? ic->nb_streams : 0;
        if (negative) {
            for (TStreamMap& m : o->stream_maps) {
                if (m.linklabel.empty() && m.file_index == file && m.stream_index >= 0 &&
                    static_cast<unsigned>(m.stream_index) < nb_streams &&
                    check_stream_specifier(ic, ic->streams[m.stream_index], specifier) > 0) {
                    m.disabled = true;
                    ++matched;
                }
            }
        } else {
            for (unsigned i = 0; i < nb_streams; ++i) {
                if (check_stream_specifier(ic, ic->streams[i], specifier) <= 0) continue;
                TStreamMap m;
                m.file_index = file;
                m.stream_index = static_cast<int>(i);
                m.sync_file_index = sync_file >= 0 ? sync_file : file;
                m.sync_stream_index = sync_file >= 0 ? sync_stream : static_cast<int>(i);
                o->stream_maps.push_back(std::move(m));
                ++matched;
            }
        }
    }
    if (matched == 0) raise_format("Stream map \"%s\" matches no streams.", arg.c_str());
    return 0;
}

// [file.stream.channel|-1][:ofile.ostream]
int TCustomFFmpegOpt::opt_map_channel(TOptionsContext* o, const std::string&, const std::string& arg) {
    const char* usage = "Syntax error, mapchan usage: [file.stream.channel|-1][:syncfile:syncstream]";
    const auto [source, target] = split_colon(arg);
    AudioChannelMap m;

    if (!target.empty() || arg.find(':') != std::string::npos) {
        const size_t sep = target.find_first_of(".:");
        if (sep == std::string::npos || !read_index(target.substr(0, sep), m.ofile_index) ||
            !read_index(target.substr(sep + 1), m.ostream_index)) {
            raise_error(usage);
        }
    }
    if (source == "-1") {
        o->audio_channel_maps.push_back(m);  // a muted output channel
        return 0;
    }
    const size_t dot1 = source.find('.');
    const size_t dot2 = dot1 == std::string::npos ? dot1 : source.find('.', dot1 + 1);
    if (dot2 == std::string::npos || !read_index(source.substr(0, dot1), m.file_index) ||
        !read_index(source.substr(dot1 + 1, dot2 - dot1 - 1), m.stream_index) ||
        !read_index(source.substr(dot2 + 1), m.channel_index)) {
        raise_error(usage);
    }
    if (m.file_index >= static_cast<int>(input_files().size()) || !input_files()[m.file_index].ctx) {
        raise_format("mapchan: invalid input file index: %d", m.file_index);
    }
    AVFormatContext* ic = input_files()[m.file_index].ctx.get();
    if (m.stream_index >= static_cast<int>(ic->nb_streams)) {
        raise_format("mapchan: invalid input file stream index #%d.%d", m.file_index, m.stream_index);
    }
    const AVCodecParameters* par = ic->streams[m.stream_index]->codecpar;
    if (par->codec_type != AVMEDIA_TYPE_AUDIO) {
        raise_format("mapchan: stream #%d.%d is not an audio stream.", m.file_index, m.stream_index);
    }
    if (m.channel_index >= av::channel_count(par)) {
        raise_format("mapchan: invalid audio channel #%d.%d.%d", m.file_index, m.stream_index, m.channel_index);
    }
    o->audio_channel_maps.push_back(m);
    return 0;
}

// -map_metadata[:outspec] infile[:inspec]; a specifier is g, s[:stream],
// c[:index] or p[:index].
int TCustomFFmpegOpt::opt_map_metadata(TOptionsContext* o, const std::string& opt, const std::string& arg) {
    auto check_type = [this](const std::string& specifier) -> char {
        if (specifier.empty()) return 'g';
        const char type = specifier[0];
        if (type != 'g' && type != 's' && type != 'c' && type != 'p') {
            raise_format("Invalid metadata type %s.", specifier.c_str());
        }
        if (specifier.size() > 1) {
            int index;
            if (specifier[1] != ':' || type == 'g' ||
                ((type == 'c' || type == 'p') && !read_index(specifier.substr(2), index))) {
                raise_format("Invalid metadata specifier %s.", specifier.c_str());
            }
        }
        return type;
    };
    const size_t colon = opt.find(':');
    const std::string outspec = colon == std::string::npos ? std::string() : opt.substr(colon + 1);
    const auto [file_text, inspec] = split_colon(arg);
    int file;
    if (!read_int(file_text, file)) raise_format("Invalid metadata specifier %s.", arg.c_str());
    check_type(inspec);
    switch (check_type(outspec)) {
    case 'g': o->metadata_global_manual = 1; break;
    case 's': o->metadata_streams_manual = 1; break;
    case 'c': o->metadata_chapters_manual = 1; break;
    default: break;
    }
    o->metadata_map.push_back({outspec, arg});
    return 0;
}

// -streamid output_stream_index:new_id
int TCustomFFmpegOpt::opt_streamid(TOptionsContext* o, const std::string& opt, const std::string& arg) {
    const size_t colon = arg.find(':');
    if (colon == std::string::npos) {
        raise_format("Invalid value \"%s\" for option \"%s\", required syntax is \"index:value\"", arg.c_str(),
                     opt.c_str());
    }
    const std::string index_text = arg.substr(0, colon);
    const std::string value_text = arg.substr(colon + 1);
    int index, value;
    if (!read_int(index_text, index) || index < 0 || index >= kMaxStreams) {
        raise_format("The value for \"%s\" was \"%s\" which is not within %d - %d", opt.c_str(), index_text.c_str(), 0,
                     kMaxStreams - 1);
    }
    if (!read_int(value_text, value) || value < 0) {
        raise_format("The value for \"%s\" was \"%s\" which is not within %d - %d", opt.c_str(), value_text.c_str(), 0,
                     INT_MAX);
    }
    if (o->streamid_map.size() <= static_cast<size_t>(index)) o->streamid_map.resize(index + 1);
    o->streamid_map[static_cast<size_t>(index)] = value;
    return 0;
}

}  // namespace sonorix
