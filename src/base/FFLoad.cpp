#include "base/FFLoad.h"

#include <dlfcn.h>

#include <cstring>

#include "base/FFLog.h"
#include "base/libav.h"

namespace sonorix {

std::string TLibraryItem::FileName() const {
    std::string name = "lib" + BaseName;
    name += System ? std::string(".so.6") : Version >= 0 ? ".so." + std::to_string(Version) : std::string(".so");
    return name;
}

TFFLoader& TFFLoader::Instance() {
    static TFFLoader loader;
    return loader;
}

TFFLoader::TFFLoader()
    : table_{{
          {liAVCodec, "avcodec", false, av::major_version(avcodec_version())},
          {liAVDevice, "avdevice", false, LIBAVDEVICE_VERSION_MAJOR},  // not linked: the header's
          {liAVFilter, "avfilter", false, LIBAVFILTER_VERSION_MAJOR},  // deferred: asking it would open it
          {liAVFormat, "avformat", false, av::major_version(avformat_version())},
          {liAVUtil, "avutil", false, av::major_version(avutil_version())},
          {liSWResample, "swresample", false, av::major_version(swresample_version())},
          {liSWScale, "swscale", false, LIBSWSCALE_VERSION_MAJOR},
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
        const TLibraryStatus& st = status_[static_cast<size_t>(i)];
        if ((set & (1u << i)) && !((st.Handle || st.Deferred) && st.Bound)) return false;
    }
    return true;
}

void TFFLoader::CheckLoaded(TLibrarySet set) const {
    for (int i = 0; i < kLibraryCount; ++i) {
        const auto& st = status_[static_cast<size_t>(i)];
        if ((set & (1u << i)) && !((st.Handle || st.Deferred) && st.Bound)) {
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

namespace {

// A linked library is known by one of its functions: asking the dynamic
// linker for it (a dlopen of a loaded library) would still walk all its
// dependencies, a few milliseconds of every start.
void* linked_function(int index) {
    switch (index) {
    case liAVCodec: return reinterpret_cast<void*>(&avcodec_version);
    case liAVFormat: return reinterpret_cast<void*>(&avformat_version);
    case liAVUtil: return reinterpret_cast<void*>(&avutil_version);
    case liSWResample: return reinterpret_cast<void*>(&swresample_version);
    case liRuntime: return reinterpret_cast<void*>(&std::strlen);
    default: return nullptr;
    }
}

}  // namespace

// The libraries are linked: the handle stands for the library the dynamic
// linker already holds. An overridden file name is opened for real, which is
// how a missing library shows up. avdevice, avfilter and swscale under their
// own names are deferred (LoadDevices, deferred_libraries.cpp).
bool TFFLoader::LoadLibrary(int index) {
    TLibraryStatus& st = status_[static_cast<size_t>(index)];
    const TLibraryItem& item = table_[static_cast<size_t>(index)];
    const bool deferred = index == liAVDevice || index == liAVFilter || index == liSWScale;
    if (deferred && st.FileName.empty()) {
        st.Deferred = true;
    } else if (!st.Handle) {
        const std::string name = st.FileName.empty() ? item.FileName() : st.FileName;
        void* handle = st.FileName.empty() ? linked_function(index) : nullptr;
        st.Owned = !handle;
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
    st.Deferred = false;
    if (st.Handle) {
        if (st.Owned) dlclose(st.Handle);
        st.Handle = nullptr;
    }
}

void* TFFLoader::OpenDeferred(int index) const {
    const std::string name = Item(index).FileName();
    // Never closed: what it registers or makes lives as long as the process may use it.
    void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!handle) {
        const char* why = dlerror();
        log_format(nullptr, llError, "Load library %s error: %s", name.c_str(), why ? why : "unknown error");
    }
    return handle;
}

bool TFFLoader::LoadDevices() {
    std::lock_guard guard(devices_guard_);
    if (devices_ || devices_failed_) return false;
    devices_ = OpenDeferred(liAVDevice);
    void* register_all = devices_ ? dlsym(devices_, "avdevice_register_all") : nullptr;
    if (!register_all) {
        if (devices_) {
            const char* why = dlerror();
            log_format(nullptr, llError, "Load library %s error: %s", Item(liAVDevice).FileName().c_str(),
                       why ? why : "unknown error");
        }
        devices_ = nullptr;
        devices_failed_ = true;
        return false;
    }
    reinterpret_cast<void (*)()>(register_all)();  // so that -f lavfi inputs work
    return true;
}

const AVInputFormat* find_input_format(const std::string& name) {
    const AVInputFormat* format = av_find_input_format(name.c_str());
    if (!format && TFFLoader::Instance().LoadDevices()) format = av_find_input_format(name.c_str());
    return format;
}

void TFFLoader::PostLoad(int index) {
    switch (index) {
    case liAVCodec:
        if (!codec_lock_registered_ && LockManager(&codec_lock_slot_, loCreate) == 0) {
            codec_lock_registered_ = true;
        }
        break;
    case liAVUtil: TFFLogger::HookLibraryLog(); break;
    case liAVFormat: break;  // file names are UTF-8 natively: no protocol of our own is needed
    default: break;
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
    default: log_format(nullptr, llError, "[lock manager] error, invalid mutex operation %d.", operation); return -1;
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
