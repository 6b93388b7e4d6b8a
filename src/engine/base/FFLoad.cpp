#include "engine/base/FFLoad.h"

#include <dlfcn.h>

#include "engine/base/FFLog.h"
#include "engine/base/libav.h"

namespace sonorix {

std::string TLibraryItem::FileName() const {
    if (System) return "lib" + BaseName + ".so.6";
    return "lib" + BaseName + ".so" + (Version >= 0 ? "." + std::to_string(Version) : std::string());
}

TFFLoader& TFFLoader::Instance() {
    static TFFLoader loader;
    return loader;
}

TFFLoader::TFFLoader()
    : table_{{
          {liAVCodec, "avcodec", false, av::major_version(avcodec_version())},
          {liAVDevice, "avdevice", false, av::major_version(avdevice_version())},
          {liAVFilter, "avfilter", false, av::major_version(avfilter_version())},
          {liAVFormat, "avformat", false, av::major_version(avformat_version())},
          {liAVUtil, "avutil", false, av::major_version(avutil_version())},
          {liSWResample, "swresample", false, av::major_version(swresample_version())},
          {liSWScale, "swscale", false, av::major_version(swscale_version())},
          {liRuntime, "c", true, -1},
      }} {}

TFFLoader::~TFFLoader() { Shutdown(); }

void TFFLoader::AssertSet(TLibrarySet set, const char* operation) {
    if (set == 0) throw EEngineError(Format("Assertion failed: empty library set in %s", operation));
}

bool TFFLoader::Load(TLibrarySet set) {
    AssertSet(set, "Load");
    for (int i = 0; i < kLibraryCount; ++i) {
        if (!(set & (1u << i))) continue;
        if (!LoadLibrary(i)) {
            Unload(set);
            return false;
        }
    }
    return true;
}

bool TFFLoader::Loaded(TLibrarySet set) const {
    AssertSet(set, "Loaded");
    for (int i = 0; i < kLibraryCount; ++i) {
        if ((set & (1u << i)) && !(status_[static_cast<size_t>(i)].Handle && status_[static_cast<size_t>(i)].Bound)) {
            return false;
        }
    }
    return true;
}

void TFFLoader::CheckLoaded(TLibrarySet set) const {
    for (int i = 0; i < kLibraryCount; ++i) {
        const auto& st = status_[static_cast<size_t>(i)];
        if ((set & (1u << i)) && !(st.Handle && st.Bound)) {
            throw EEngineError(Format("Library %s not loaded.", table_[static_cast<size_t>(i)].BaseName.c_str()));
        }
    }
}

void TFFLoader::Unload(TLibrarySet set) {
    AssertSet(set, "Unload");
    for (int i = 0; i < kLibraryCount; ++i) {
        if (set & (1u << i)) UnloadLibrary(i);
    }
}

// The libraries are linked: the handle is the one the dynamic linker already
// holds, found without loading anything. An overridden file name is opened
// for real, which is how a missing library shows up.
bool TFFLoader::LoadLibrary(int index) {
    TLibraryStatus& st = status_[static_cast<size_t>(index)];
    const TLibraryItem& item = table_[static_cast<size_t>(index)];
    if (!st.Handle) {
        const std::string name = st.FileName.empty() ? item.FileName() : st.FileName;
        void* handle = st.FileName.empty() ? dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD) : nullptr;
        if (!handle) handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            const char* why = dlerror();
            last_error_ = Format("Load library %s error: %s", name.c_str(), why ? why : "unknown error");
            return false;
        }
        st.Handle = handle;
    }
    if (!st.Bound) st.Bound = true;  // linked: every function is already bound
    PostLoad(index);
    return true;
}

void TFFLoader::UnloadLibrary(int index) {
    TLibraryStatus& st = status_[static_cast<size_t>(index)];
    if (st.Bound) {
        if (index == liAVCodec && codec_lock_registered_) {
            LockManager(&codec_lock_slot_, loDestroy);
            codec_lock_registered_ = false;
        }
        if (index == liAVUtil) TFFLogger::UnhookLibraryLog();
        st.Bound = false;
    }
    if (st.Handle) {
        dlclose(st.Handle);
        st.Handle = nullptr;
    }
}

void TFFLoader::PostLoad(int index) {
    switch (index) {
    case liAVCodec:
        if (!codec_lock_registered_ && LockManager(&codec_lock_slot_, loCreate) == 0) {
            codec_lock_registered_ = true;
        }
        break;
    case liAVUtil:
        TFFLogger::HookLibraryLog();
        break;
    case liAVDevice:
        avdevice_register_all();  // so that -f lavfi inputs work
        break;
    case liAVFormat:
        break;  // file names are UTF-8 natively: no protocol of our own is needed
    default:
        break;
    }
}

int TFFLoader::LockManager(int* slot, int operation) {
    if (shutting_down_) return 0;
    std::unique_lock guard(lock_table_guard_);
    switch (operation) {
    case loCreate: {
        if (*slot && lock_table_.count(*slot)) {
            log_format(nullptr, llError, "[lock manager] error, mutex [%d] already exist.", *slot);
            return -1;
        }
        try {
            const int id = next_lock_id_++;
            lock_table_[id] = std::make_unique<std::mutex>();
            *slot = id;
            log_format(nullptr, llDebug, "[lock manager] mutex [%d] created.", id);
        } catch (const std::exception& e) {
            log_format(nullptr, llError, "[lock manager] error, failed to create mutex: %s.", e.what());
            return -1;
        }
        return 0;
    }
    case loObtain: {
        auto it = lock_table_.find(*slot);
        if (it == lock_table_.end()) {
            log_message(nullptr, llError, "[lock manager] error, mutex not available.");
            return -1;
        }
        std::mutex* m = it->second.get();
        guard.unlock();  // the wait has no limit; the table stays usable meanwhile
        try {
            m->lock();
        } catch (const std::exception& e) {
            log_format(nullptr, llError, "[lock manager] error, could not wait on mutex [%d]: %s.", *slot, e.what());
            return -1;
        }
        log_format(nullptr, llDebug, "[lock manager] mutex [%d] obtained.", *slot);
        return 0;
    }
    case loRelease: {
        auto it = lock_table_.find(*slot);
        if (it == lock_table_.end()) {
            log_message(nullptr, llError, "[lock manager] error, mutex not available.");
            return -1;
        }
        it->second->unlock();
        log_format(nullptr, llDebug, "[lock manager] mutex [%d] release.", *slot);
        return 0;
    }
    case loDestroy: {
        auto it = lock_table_.find(*slot);
        if (it == lock_table_.end()) {
            log_message(nullptr, llError, "[lock manager] error, mutex not available.");
            return -1;
        }
        lock_table_.erase(it);
        log_format(nullptr, llDebug, "[lock manager] mutex [%d] destroyed.", *slot);
        *slot = 0;
        return 0;
    }
    default:
        log_format(nullptr, llError, "[lock manager] error, invalid mutex operation %d.", operation);
        return -1;
    }
}

void TFFLoader::LockCodec() {
    if (codec_lock_registered_) LockManager(&codec_lock_slot_, loObtain);
}

void TFFLoader::UnlockCodec() {
    if (codec_lock_registered_) LockManager(&codec_lock_slot_, loRelease);
}

void TFFLoader::Shutdown() {
    if (shutting_down_) return;
    shutting_down_ = true;
    for (int i = 0; i < kLibraryCount; ++i) UnloadLibrary(i);
    std::lock_guard guard(lock_table_guard_);
    lock_table_.clear();
    codec_lock_registered_ = false;
}

}  // namespace sonorix
