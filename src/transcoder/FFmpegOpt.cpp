// The option parser: splitting, the two-level group parse, applying groups,
// presets, and the core's error raising.
#include "transcoder/FFmpegOpt.h"

#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>

#include "base/FFLoad.h"

namespace sonorix {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::string trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && is_space(s[b])) ++b;
    while (e > b && is_space(s[e - 1])) --e;
    return std::string(s.substr(b, e - b));
}

void replace_all(std::string& s, std::string_view from, std::string_view to) {
    for (size_t pos = 0; (pos = s.find(from, pos)) != std::string::npos; pos += to.size()) {
        s.replace(pos, from.size(), to);
    }
}

std::string lower_ascii(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// The text after the first ':' of a typed name: the stream specifier.
std::string specifier_of(const std::string& opt) {
    const size_t colon = opt.find(':');
    return colon == std::string::npos ? std::string() : opt.substr(colon + 1);
}

// from_chars takes no leading '+'; option texts may carry one.
std::string_view skip_plus(std::string_view text) {
    if (text.size() > 1 && text[0] == '+' && text[1] != '-' && text[1] != '+') text.remove_prefix(1);
    return text;
}

template <class T>
bool read_number(std::string_view text, T& out) {
    text = skip_plus(text);
    if (text.empty()) return false;
    T value{};
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end) return false;
    out = value;
    return true;
}

using ParsedValue = std::variant<std::monostate, std::string, int, int64_t, float, double>;

template <class T>
bool take(T& dst, ParsedValue& value) {
    T* v = std::get_if<T>(&value);
    if (!v) return false;
    dst = std::move(*v);
    return true;
}

template <class T>
struct IsSpecifierList : std::false_type {};
template <class T>
struct IsSpecifierList<TSpecifierList<T>> : std::true_type {};

template <class T>
struct IsCoreSetting : std::false_type {};
template <class T>
struct IsCoreSetting<T TCustomFFmpegOpt::*> : std::true_type {};

// The value of a storing row, read by its flags in the order the table's
// contract gives; number errors raise the general exception.
ParsedValue parse_value(const TOptionDef& po, const std::string& opt, const std::string& arg) {
    const uint32_t f = po.flags;
    if (f & ofString) return arg;
    if (f & (ofBool | ofInt)) {
        int v;
        if (!read_int(arg, v)) {
            throw std::runtime_error(Format("Expected integer for \"%s\" but found \"%s\"", opt.c_str(), arg.c_str()));
        }
        return v;
    }
    if (f & ofInt64) {
        int64_t v;
        if (!read_int64(arg, v)) {
            throw std::runtime_error(Format("Expected int64 for \"%s\" but found \"%s\"", opt.c_str(), arg.c_str()));
        }
        return v;
    }
    if (f & ofTime) {
        int64_t us = 0;
        if (av_parse_time(&us, arg.c_str(), 1) < 0) {
            throw std::runtime_error(
                Format("Invalid %s specification for \"%s\": \"%s\"", "duration", opt.c_str(), arg.c_str()));
        }
        return us;
    }
    if (f & ofFloat) {
        float v;
        if (!read_float(arg, v)) {
            throw std::runtime_error(Format("Expected float for \"%s\" but found \"%s\"", opt.c_str(), arg.c_str()));
        }
        return v;
    }
    if (f & ofDouble) {
        double v;
        if (!read_double(arg, v)) {
            throw std::runtime_error(Format("Expected double for \"%s\" but found \"%s\"", opt.c_str(), arg.c_str()));
        }
        return v;
    }
    return std::monostate{};
}

// False when the row's destination does not take the value its flags read
// (a fault of the table, caught by the table's tests).
bool store_value(TCustomFFmpegOpt& core, TOptionsContext* o, const TOptionDef& po, const std::string& opt,
                 ParsedValue& value) {
    return std::visit(
        [&](auto dest) -> bool {
            using D = decltype(dest);
            if constexpr (std::is_same_v<D, std::monostate> || std::is_same_v<D, THandler> ||
                          std::is_same_v<D, TOptionAlias>) {
                return false;
            } else if constexpr (IsCoreSetting<D>::value) {
                return take(core.*dest, value);
            } else {
                auto& field = o->*dest;
                using F = std::remove_reference_t<decltype(field)>;
                if constexpr (IsSpecifierList<F>::value) {
                    typename F::value_type entry;
                    entry.specifier = specifier_of(opt);
                    if (!take(entry.u, value)) return false;
                    field.push_back(std::move(entry));
                    return true;
                } else {
                    return take(field, value);
                }
            }
        },
        po.dest);
}

// A duration or size limit below zero would end the output before its first
// frame, and the task would complete with nothing in it.
void refuse_negative_limit(const TOptionDef& po, const std::string& opt, const std::string& arg,
                           const ParsedValue& value) {
    const auto* field = std::get_if<int64_t TOptionsContext::*>(&po.dest);
    const auto* number = std::get_if<int64_t>(&value);
    if (!field || !number || *number >= 0) return;
    const char* kind = *field == &TOptionsContext::recording_time   ? "duration"
                       : *field == &TOptionsContext::limit_filesize ? "size"
                                                                    : nullptr;
    if (kind) {
        throw std::runtime_error(Format("Invalid %s specification for \"%s\": \"%s\"", kind, opt.c_str(), arg.c_str()));
    }
}

}  // namespace

std::vector<std::string> split_option_text(std::string_view s, bool* unterminated) {
    std::vector<std::string> args;
    const size_t n = s.size();
    size_t i = 0;
    if (unterminated) *unterminated = false;
    for (;;) {
        while (i < n && is_blank(s[i])) ++i;
        if (i >= n) break;
        std::string arg;
        bool quoted = false;
        while (i < n && (quoted || !is_blank(s[i]))) {
            if (s[i] == '\\') {
                size_t j = i;
                while (j < n && s[j] == '\\') ++j;
                const size_t count = j - i;
                if (j < n && s[j] == '"') {
                    arg.append(count / 2, '\\');
                    if (count % 2) {
                        arg += '"';
                    } else {
                        quoted = !quoted;
                    }
                    i = j + 1;
                } else {
                    arg.append(count, '\\');
                    i = j;
                }
            } else if (s[i] == '"') {
                // Two quotes in a row just end and restart the quoting.
                quoted = !quoted;
                ++i;
            } else {
                arg += s[i++];
            }
        }
        if (quoted && unterminated) *unterminated = true;
        args.push_back(std::move(arg));
    }
    return args;
}

bool read_int(std::string_view text, int& out) { return read_number(text, out); }
bool read_int64(std::string_view text, int64_t& out) { return read_number(text, out); }
bool read_float(std::string_view text, float& out) { return read_number(text, out); }
bool read_double(std::string_view text, double& out) { return read_number(text, out); }

std::optional<TLogLevel> parse_log_level(std::string_view text) {
    static constexpr std::pair<std::string_view, int> kNames[] = {
        {"quiet", -8},   {"panic", 0}, {"fatal", 8},    {"error", 16},
        {"warning", 24}, {"info", 32}, {"verbose", 40}, {"debug", 48},
    };
    int level = 0;
    bool known = false;
    for (const auto& [name, value] : kNames) {
        if (text == name) {
            level = value;
            known = true;
            break;
        }
    }
    if (!known && !read_int(text, level)) return std::nullopt;
    if (level < -8) return llQuiet;
    if (level >= 48) return llDebug;
    const int v = level < 0 ? level + 7 : level;
    const int q = v >= 0 ? v / 8 : -((-v + 7) / 8);  // toward minus infinity
    return static_cast<TLogLevel>(q + 1);
}

// ---------------------------------------------------------------------------

void TOptionGroup::clear() {
    opts.clear();
    codec_opts.clear();
    format_opts.clear();
    sws_dict.clear();
    swr_opts.clear();
}

TCustomFFmpegOpt::TCustomFFmpegOpt(TObject* owner, const std::vector<TInputFile>* inputs,
                                   AVIOInterruptCB write_interrupt)
    : sender_(owner ? owner : this), inputs_(inputs), write_interrupt_(write_interrupt) {}

const std::vector<TInputFile>& TCustomFFmpegOpt::input_files() const {
    static const std::vector<TInputFile> none;
    return inputs_ ? *inputs_ : none;
}

TCustomFFmpegOpt::~TCustomFFmpegOpt() {
    if (progress_avio) avio_closep(&progress_avio);
    sws_freeContext(sws_opts_);
}

void TCustomFFmpegOpt::raise_error(const std::string& message) {
    last_error_ = message;
    log_message(sender_, llFatal, message);
    throw FFmpegException(message);
}

void TCustomFFmpegOpt::raise_format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string message = FormatV(fmt, args);
    va_end(args);
    raise_error(message);
}

void TCustomFFmpegOpt::append_option_error(const std::string& message) {
    option_error_ = option_error_.empty() ? message : option_error_ + "\n" + message;
}

int TCustomFFmpegOpt::fail_option(TLogLevel level, const std::string& message, int code) {
    log_message(sender_, level, message);
    append_option_error(message);
    return code;
}

TInputFile& add_input_file(std::vector<TInputFile>& files, AVFormatContext* ctx) {
    TInputFile file;
    file.ctx.reset(ctx);
    file.nb_streams = ctx ? static_cast<int>(ctx->nb_streams) : 0;
    for (const TInputFile& f : files) file.ist_index += f.nb_streams;
    files.push_back(std::move(file));
    return files.back();
}

const TOptionDef* TCustomFFmpegOpt::find_option(std::string_view name) const {
    name = name.substr(0, name.find(':'));
    for (const TOptionDef& po : option_table()) {
        if (!po.name.empty() && po.name == name) return &po;
    }
    return nullptr;
}

void TCustomFFmpegOpt::init_options_context(TOptionsContext& o) {
    o = TOptionsContext{};
    global_group_.clear();
    file_group_.clear();
    codec_opts_.clear();
    format_opts_.clear();
    sws_dict_.clear();
    swr_opts_.clear();
    o.g = &file_group_;
}

void TCustomFFmpegOpt::release_parse_state() {
    // Cleared vectors keep their capacity: swapped for empty ones.
    global_group_ = TOptionGroup();
    file_group_ = TOptionGroup();
    codec_opts_.clear();
    format_opts_.clear();
    sws_dict_.clear();
    swr_opts_.clear();
    sws_freeContext(sws_opts_);
    sws_opts_ = nullptr;
    std::vector<std::string>().swap(complex_filter_descriptions);
    std::string().swap(option_error_);
    std::string().swap(missing_option_);
}

void TCustomFFmpegOpt::release_options_context(TOptionsContext& o) {
    o = TOptionsContext{};
    file_group_.clear();
}

int TCustomFFmpegOpt::write_option(TOptionsContext* o, const TOptionDef& po, const std::string& opt,
                                   const std::string& arg) {
    // Rows of the file group need the file's context.
    if (!o && (po.flags & (ofPerFile | ofOffset | ofSpec))) return AVERROR(EINVAL);
    const THandler* handler = std::get_if<THandler>(&po.dest);
    const TOptionAlias* alias = std::get_if<TOptionAlias>(&po.dest);
    if (handler || alias) {
        const int ret = handler ? (this->*(*handler))(o, opt, arg) : forward(o, std::string(alias->target), arg);
        if (ret < 0) {
            const std::string message =
                Format("Failed to set value \"%s\" for option \"%s\"", arg.c_str(), opt.c_str());
            return fail_option(llError, message, ret);
        }
        return 0;
    }
    ParsedValue value = parse_value(po, opt, arg);
    refuse_negative_limit(po, opt, arg, value);
    if (!store_value(*this, o, po, opt, value)) return AVERROR_BUG;
    return 0;
}

int TCustomFFmpegOpt::parse_option(TOptionsContext* o, const std::string& opt, const std::optional<std::string>& arg) {
    std::optional<std::string> value = arg;
    const TOptionDef* po = find_option(opt);
    if (!po && opt.starts_with("no")) {
        po = find_option(std::string_view(opt).substr(2));
        if (po && (po->flags & ofBool)) {
            value = "0";
        } else {
            po = nullptr;
        }
    } else if (po && (po->flags & ofBool) && !(po->flags & ofHasArg)) {
        value = "1";
    }
    if (!po) po = find_option("default");
    if (!po) return fail_option(llError, Format("Unrecognized option \"%s\"", opt.c_str()));
    if ((po->flags & ofHasArg) && !value) {
        return fail_option(llError, Format("Missing argument for option \"%s\"", opt.c_str()));
    }
    const int ret = write_option(o, *po, opt, value.value_or("1"));
    if (ret < 0) return ret;
    return (po->flags & ofHasArg) ? 1 : 0;
}

void TCustomFFmpegOpt::move_library_options(TOptionGroup& into) {
    into.codec_opts.merge_from(codec_opts_);
    into.format_opts.merge_from(format_opts_);
    into.sws_dict.merge_from(sws_dict_);
    into.swr_opts.merge_from(swr_opts_);
}

int TCustomFFmpegOpt::parse_groups(TOptionsContext& o, const std::vector<std::string>& args) {
    // A context parsed twice must not apply its earlier options again.
    global_group_.opts.clear();
    o.g->opts.clear();
    auto group_of = [&](const TOptionDef& po) -> TOptionGroup& {
        return (po.flags & (ofPerFile | ofOffset | ofSpec)) ? *o.g : global_group_;
    };
    int ret = 0;
    for (size_t i = 0; i < args.size();) {
        const std::string& arg = args[i];
        if (arg.size() < 2 || arg[0] != '-') {
            if (strict_options) {
                option_error_ = arg.empty() ? "Failed to parse options" : "Failed to parse options on " + arg;
                ret = AVERROR(EINVAL);
                break;
            }
            log_format(sender_, llWarning, "Invalid option %s found while parsing options, ignore", arg.c_str());
            ++i;
            continue;
        }
        const std::string name = arg.substr(1);
        if (const TOptionDef* po = find_option(name)) {
            if (po->flags & ofHasArg) {
                if (i + 1 >= args.size()) {
                    ret = fail_option(llError, Format("Missing argument for option \"%s\".", name.c_str()));
                    break;
                }
                group_of(*po).opts.push_back({po, name, args[i + 1]});
                i += 2;
            } else {
                group_of(*po).opts.push_back({po, name, "1"});
                i += 1;
            }
            continue;
        }
        if (i + 1 < args.size()) {
            const int r = route_library_option(name, args[i + 1]);
            if (r >= 0) {
                i += 2;
                continue;
            }
            if (r != AVERROR_OPTION_NOT_FOUND) {
                ret = fail_option(
                    llError,
                    Format("Error parsing option \"%s\" with argument \"%s\".", name.c_str(), args[i + 1].c_str()), r);
                break;
            }
        }
        if (name.starts_with("no")) {
            const TOptionDef* po = find_option(std::string_view(name).substr(2));
            if (po && (po->flags & ofBool)) {
                group_of(*po).opts.push_back({po, name, "0"});
                ++i;
                continue;
            }
        }
        log_format(sender_, strict_options ? llError : llWarning, "Unrecognized option \"%s\".", name.c_str());
        if (strict_options) {
            missing_option_ = arg;
            ret = AVERROR_OPTION_NOT_FOUND;
            break;
        }
        ++i;
    }
    // Also on failure, so nothing collected leaks into the next file.
    move_library_options(*o.g);
    return ret;
}

int TCustomFFmpegOpt::apply_group(TOptionsContext* o, TOptionGroup& group, const std::string& label) {
    log_format(sender_, llDebug, "Parsing a group of options: %s.", label.c_str());
    for (size_t i = 0; i < group.opts.size(); ++i) {
        const GroupOption& entry = group.opts[i];
        const int ret = write_option(o, *entry.opt, entry.key, entry.val);
        if (ret < 0) return ret;
    }
    return 0;
}

bool TCustomFFmpegOpt::library_option_exists(const std::string& opt) const {
    const std::string stripped = opt.substr(0, opt.find(':'));
    const AVClass* classes[] = {avcodec_get_class(), avformat_get_class(), sws_get_class(), swr_get_class()};
    constexpr int kSearch = AV_OPT_SEARCH_CHILDREN | AV_OPT_SEARCH_FAKE_OBJ;
    if (av_opt_find(&classes[0], stripped.c_str(), nullptr, 0, kSearch)) return true;
    if (!stripped.empty() && (stripped[0] == 'a' || stripped[0] == 's' || stripped[0] == 'v') &&
        av_opt_find(&classes[0], stripped.c_str() + 1, nullptr, 0, kSearch)) {
        return true;
    }
    for (int i = 1; i < 4; ++i) {
        if (av_opt_find(&classes[i], opt.c_str(), nullptr, 0, kSearch)) return true;
    }
    // Some names only a device format knows: its library is loaded now.
    return TFFLoader::Instance().LoadDevices() && library_option_exists(opt);
}

void TCustomFFmpegOpt::prescan_log_level(const std::vector<std::string>& args) {
    const TOptionDef* loglevel_row = find_option("loglevel");
    const TOptionDef* v_row = find_option("v");
    std::optional<size_t> loglevel_at, v_at;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.size() < 2 || arg[0] != '-') continue;
        const std::string name = arg.substr(1);
        if (const TOptionDef* po = find_option(name)) {
            if (po == loglevel_row && !loglevel_at) loglevel_at = i;
            if (po == v_row && !v_at) v_at = i;
            if (po->flags & ofHasArg) ++i;
        } else if (i + 1 < args.size() && library_option_exists(name)) {
            ++i;  // the parser routes the pair to the libraries
        }
    }
    const std::optional<size_t> at = loglevel_at ? loglevel_at : v_at;
    if (!at || *at + 1 >= args.size()) return;
    // An invalid level is reported when the option itself is applied.
    if (const auto level = parse_log_level(args[*at + 1])) TFFLogger::Current().SetLogLevel(*level);
}

int TCustomFFmpegOpt::ParseOptions(TOptionsContext& o, const std::string& options, const std::string& group_label,
                                   const std::string& presets) {
    if (!o.g) o.g = &file_group_;
    option_error_.clear();
    missing_option_.clear();
    int ret = 0;
    if (!options.empty()) {
        log_format(sender_, llInfo, "ParseOptions for %s: %s", group_label.c_str(), options.c_str());
        bool unterminated = false;
        const std::vector<std::string> args = split_option_text(options, &unterminated);
        prescan_log_level(args);
        // The last argument would run on to the end of the text: whatever it
        // was meant to be, it is not what the text says.
        if (unterminated) {
            const std::string message = "Unterminated quote in option text: " + options;
            if (strict_options) {
                ret = fail_option(llError, message);
            } else {
                log_message(sender_, llWarning, message);
            }
        }
        if (ret >= 0) ret = parse_groups(o, args);
        if (ret >= 0 && !global_group_.opts.empty()) ret = apply_group(nullptr, global_group_, "global");
    }
    if (ret >= 0) ret = ParsePresets(o, group_label, presets);
    // Without an option text the file group holds nothing of this call.
    if (ret >= 0 && !options.empty() && !o.g->opts.empty()) ret = apply_group(&o, *o.g, group_label);
    if (ret < 0) {
        std::string code_text = error_code_text(ret);
        if (ret == AVERROR_OPTION_NOT_FOUND && !missing_option_.empty()) code_text += ": " + missing_option_;
        log_message(sender_, llFatal, code_text);
        if (strict_options) {
            last_error_ = option_error_.empty() ? code_text : option_error_ + "\n" + code_text;
        }
    }
    return strict_options ? ret : 0;
}

int TCustomFFmpegOpt::route_to_file(TOptionsContext& o, const std::string& opt, const std::string& arg) {
    const int ret = route_library_option(opt, arg);
    if (!o.g) o.g = &file_group_;
    move_library_options(*o.g);
    return ret;
}

int TCustomFFmpegOpt::ParsePresets(TOptionsContext& o, const std::string& group_label, const std::string& presets) {
    if (presets.empty()) return 0;
    log_format(sender_, llInfo, "ParsePresets for %s:%s%s", group_label.c_str(), "\n", presets.c_str());
    std::string text = trim(presets);
    replace_all(text, "\r\n", "\n");
    replace_all(text, "\r", "\n");
    replace_all(text, "<CRLF>", "\n");

    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = trim(std::string_view(text).substr(start, end - start));
        start = end + 1;
        if (line.empty() || line[0] == '#') continue;

        const size_t eq = line.find('=');
        const std::string key = eq == std::string::npos ? std::string() : trim(std::string_view(line).substr(0, eq));
        const std::string value = eq == std::string::npos ? std::string() : trim(std::string_view(line).substr(eq + 1));
        if (key.empty() || value.empty()) {
            const std::string message = Format("Invalid syntax: \"%s\"", line.c_str());
            log_message(sender_, llError, message);
            if (strict_options) {
                option_error_ = message;
                return AVERROR(EINVAL);
            }
            continue;
        }
        log_format(sender_, llDebug, "Applying preset %s with argument %s.", key.c_str(), value.c_str());
        const std::string lkey = lower_ascii(key);
        int ret;
        if (lkey == "acodec" || lkey == "vcodec" || lkey == "scodec" || lkey == "dcodec") {
            ret = parse_option(&o, std::string("codec:") + lkey[0], value);
        } else {
            ret = route_to_file(o, key, value);
        }
        if (ret < 0) {
            const std::string message = Format("Invalid option or argument: \"%s\", parsed as \"%s\" = \"%s\"",
                                               line.c_str(), key.c_str(), value.c_str());
            log_message(sender_, llError, message);
            if (strict_options) {
                if (ret == AVERROR_OPTION_NOT_FOUND) missing_option_ = key;
                append_option_error(message);
                return ret;
            }
        }
    }
    return 0;
}

}  // namespace sonorix
