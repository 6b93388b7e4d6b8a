#include "workflow/batch_list.h"

#include <algorithm>
#include <cmath>
#include <set>

#include "workflow/batch_rules.h"
#include "workflow/output_options.h"
#include "workflow/source_types.h"
#include "workflow/text.h"

namespace sonorix {

namespace fs = std::filesystem;

std::string list_size_text(int64_t bytes) {
    // bytes * 100 / 2^20 is exact in extended precision; the default rounding
    // mode gives ties to even.
    const long double hundredths = std::nearbyint(static_cast<long double>(bytes) * 100 / 1048576);
    return real_text(static_cast<double>(hundredths / 100)) + "MB";
}

std::string list_file_filter() {
    const std::string video(video_source_types), audio(audio_source_types);
    return "Video and Audio Files|" + video + audio + "|Video Files|" + video + "|Audio Files|" + audio;
}

bool is_prefix_text(const std::string& prefix) {
    if (prefix.size() > 20) return false;
    return std::all_of(prefix.begin(), prefix.end(), [](unsigned char c) {
        return c == '-' || c == '_' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    });
}

std::string folder_with_separator(const std::string& folder) {
    std::string f = trim_blanks(folder);
    if (f.empty() || f.back() != '/') f += '/';
    return f;
}

std::vector<std::string> folder_media_files(const std::string& folder) {
    std::vector<std::string> files;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code type_ec;
        if (it->is_directory(type_ec)) continue;
        const std::string name = it->path().filename().string();
        if (is_member(video_source_types, name) || is_member(audio_source_types, name)) files.push_back(folder + name);
    }
    // Sorted, as the sub-folder walk is: a folder's order on disk here is its
    // names' hashes, so an album's tracks would come in shuffled.
    std::sort(files.begin(), files.end());
    return files;
}

namespace {

// A whole entry of the list: the window's test takes ".MP" inside "*.MPG;",
// but a folder's files are chosen without the user seeing each one.
bool whole_entry(std::string_view list, const std::string& name) {
    const std::string ext = upper_text(fs::path(name).extension().string());
    return ext.size() >= 2 && list.find("*" + ext + ";") != std::string_view::npos;
}

}  // namespace

std::vector<std::string> expand_folders(const std::vector<std::string>& args, bool recursive,
                                        std::vector<std::string>& empty_folders) {
    std::vector<std::string> files;
    for (const std::string& arg : args) {
        std::error_code ec;
        if (!fs::is_directory(arg, ec)) {
            files.push_back(arg);
            continue;
        }
        std::vector<std::string> found;
        auto take = [&](const fs::directory_entry& entry) {
            std::error_code type_ec;
            if (!entry.is_regular_file(type_ec)) return;
            const std::string name = entry.path().filename().string();
            if (whole_entry(video_source_types, name) || whole_entry(audio_source_types, name)) {
                found.push_back(entry.path().string());
            }
        };
        const auto options = fs::directory_options::skip_permission_denied;
        if (recursive) {
            for (fs::recursive_directory_iterator it(arg, options, ec), end; !ec && it != end; it.increment(ec))
                take(*it);
        } else {
            for (fs::directory_iterator it(arg, options, ec), end; !ec && it != end; it.increment(ec)) take(*it);
        }
        if (found.empty()) empty_folders.push_back(arg);
        std::sort(found.begin(), found.end());  // std::string compares bytes as unsigned char
        files.insert(files.end(), found.begin(), found.end());
    }
    return files;
}

namespace {

// A name for comparing files that may not exist yet.
fs::path identity_key(const fs::path& p) {
    std::error_code ec;
    fs::path key = fs::weakly_canonical(p, ec);
    return ec ? p.lexically_normal() : key;
}

fs::path numbered(const fs::path& target, int n) {
    fs::path out = target;
    out.replace_filename(target.stem().string() + " (" + std::to_string(n) + ")" + target.extension().string());
    return out;
}

}  // namespace

std::vector<fs::path> distinct_targets(const std::vector<std::string>& sources, const std::vector<size_t>& named,
                                       const fs::path& output_folder, const std::string& prefix, bool keep_existing) {
    std::set<fs::path> taken;
    std::vector<fs::path> existing_sources;
    for (const std::string& s : sources) {
        taken.insert(identity_key(s));
        std::error_code ec;
        if (fs::exists(s, ec)) existing_sources.push_back(s);
    }
    // A hard link to a source is that source under another name.
    auto is_a_source = [&](const fs::path& candidate) {
        std::error_code ec;
        if (keep_existing && fs::symlink_status(candidate, ec).type() != fs::file_type::not_found) return true;
        if (!fs::exists(candidate, ec)) return false;
        for (const fs::path& s : existing_sources) {
            if (fs::equivalent(candidate, s, ec)) return true;
        }
        return false;
    };
    std::vector<fs::path> targets(sources.size());
    for (size_t row : named) {
        const fs::path base = batch_target_name(sources[row], output_folder, prefix);
        fs::path candidate = base;
        for (int n = 2; taken.count(identity_key(candidate)) || is_a_source(candidate); ++n) {
            candidate = numbered(base, n);
        }
        taken.insert(identity_key(candidate));
        targets[row] = candidate;
    }
    return targets;
}

}  // namespace sonorix
