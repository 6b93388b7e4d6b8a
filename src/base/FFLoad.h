// The process-wide library loader.
//
// The media libraries are linked, so loading binds nothing; what the engine
// relies on stays: the load-once state per library, the library sets, the
// post-load steps (log hook and level after avutil, the codec lock table after
// avcodec) and the error texts. Loading and unloading happen on the main
// thread; the lock table is used from any task's worker.
//
// Three libraries are not linked, as they pull in dozens of libraries that
// many jobs never need. avdevice (its formats: "lavfi", grabbers, players) is
// opened when a format name is looked up that no other format has; its
// formats are then registered, and it stays for the process. avfilter and
// swscale are opened at the first call of one of their functions
// (deferred_libraries.cpp): a measurement never opens them.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "base/FFBase.h"

struct AVInputFormat;

namespace sonorix {

using TLibrarySet = uint8_t;

enum TLibraryIndex : int {
    liAVCodec,
    liAVDevice,
    liAVFilter,
    liAVFormat,
    liAVUtil,
    liSWResample,
    liSWScale,
    liRuntime,
};

constexpr TLibrarySet kEncoderLibraries = 255;  // everything
constexpr TLibrarySet kDecoderLibraries = 249;  // without avdevice and avfilter

struct TLibraryItem {
    int Index;
    std::string BaseName;
    bool System;  // never looked for in the library folder
    int Version;  // major version linked, -1 for none
    std::string FileName() const;
};

struct TLibraryStatus {
    std::string FileName;    // override of the table's name; empty = the table's
    void* Handle = nullptr;  // null when not loaded
    bool Bound = false;
    bool Deferred = false;  // loaded: opened when first needed (avdevice, avfilter, swscale)
    bool Owned = false;     // opened by the loader (an overridden name): closed on unload
};

// The lock table's operations (the codes of the libraries' old lock manager).
enum TLockOperation : int { loCreate = 0, loObtain = 1, loRelease = 2, loDestroy = 3 };

class TFFLoader {
public:
    static TFFLoader& Instance();
    ~TFFLoader();

    void SetLibraryFolder(const std::string& folder) { library_folder_ = folder; }
    const std::string& LibraryFolder() const { return library_folder_; }

    bool Load(TLibrarySet set);
    bool Loaded(TLibrarySet set) const;
    void CheckLoaded(TLibrarySet set) const;  // raises "Library %s not loaded."
    void Unload(TLibrarySet set);
    const std::string& LastErrorMessage() const { return last_error_; }

    const TLibraryItem& Item(int index) const { return table_.at(static_cast<size_t>(index)); }
    TLibraryStatus& Status(int index) { return status_.at(static_cast<size_t>(index)); }
    static constexpr int kLibraryCount = 8;

    // The lock table. slot holds the mutex number between calls; answers 0 on
    // success and -1 on an error, 0 at once while the process shuts down.
    int LockManager(int* slot, int operation);

    // The codec lock, taken around opening codecs when several tasks run.
    void LockCodec();
    void UnlockCodec();

    // Sets the shut-down flag, unloads everything and frees the lock table.
    void Shutdown();

    // Opens the deferred avdevice and registers its formats; any thread.
    // True only for the call that did so: a look-up of a format or option
    // name that found nothing is then worth repeating. False when they were
    // there before or cannot be opened (the error logged once).
    bool LoadDevices();
    // Opens a deferred library (avdevice, avfilter, swscale) under its own
    // name for the rest of the process; null, with the error logged, when it
    // cannot be opened. Any thread.
    void* OpenDeferred(int index) const;

private:
    TFFLoader();
    bool LoadLibrary(int index);
    void UnloadLibrary(int index);
    void PostLoad(int index);
    static void AssertSet(TLibrarySet set, const char* operation);

    std::array<TLibraryItem, kLibraryCount> table_;
    std::array<TLibraryStatus, kLibraryCount> status_;
    std::string library_folder_;
    std::string last_error_;
    std::atomic<bool> shutting_down_{false};

    std::mutex lock_table_guard_;
    std::map<int, std::unique_ptr<std::mutex>> lock_table_;
    int next_lock_id_ = 1;
    int codec_lock_slot_ = 0;
    std::atomic<bool> codec_lock_registered_{false};

    std::mutex devices_guard_;
    void* devices_ = nullptr;  // never closed: the other libraries keep its formats
    bool devices_failed_ = false;
};

// An input format by name, device formats included (loaded when the name is
// no other format's). Null when there is none.
const AVInputFormat* find_input_format(const std::string& name);

// RAII holder of the codec lock.
class CodecOpenLock {
public:
    CodecOpenLock() { TFFLoader::Instance().LockCodec(); }
    ~CodecOpenLock() { TFFLoader::Instance().UnlockCodec(); }
    CodecOpenLock(const CodecOpenLock&) = delete;
    CodecOpenLock& operator=(const CodecOpenLock&) = delete;
};

}  // namespace sonorix
