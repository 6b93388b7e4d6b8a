#include "base/libav_handles.h"

namespace sonorix {

Dictionary& Dictionary::operator=(Dictionary&& other) noexcept {
    if (this != &other) {
        av_dict_free(&dict_);
        dict_ = other.dict_;
        other.dict_ = nullptr;
    }
    return *this;
}

int Dictionary::set(const std::string& key, const std::string& value, int flags) {
    return av_dict_set(&dict_, key.c_str(), value.c_str(), flags);
}

const char* Dictionary::get(const std::string& key) const {
    const AVDictionaryEntry* e = av_dict_get(dict_, key.c_str(), nullptr, 0);
    return e ? e->value : nullptr;
}

int Dictionary::merge_from(Dictionary& source) {
    int ret = 0;
    if (source.dict_) {
        if (!dict_) {
            dict_ = source.dict_;
            source.dict_ = nullptr;
            return 0;
        }
        ret = av_dict_copy(&dict_, source.dict_, 0);
    }
    source.clear();
    return ret;
}

}  // namespace sonorix
