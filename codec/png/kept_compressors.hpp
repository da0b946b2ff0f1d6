// libdeflate compressors kept between calls, for the builds that link it.
// Plain C++: no Python.
#pragma once

#include <libdeflate.h>

#include <mutex>
#include <utility>

namespace lumivex::png {

// Compressors of the quicker levels, kept between calls. Allocating one and
// touching its tables afresh (a few hundred KB) took a fifth of a small icon's
// encode in a Python process, whose allocator gave the memory back after each
// call. Two are kept a level (one for each thread at once). The slow levels
// take far longer to run than to set up, and their compressors are larger:
// they are not kept. The lock is only tried: where another thread holds it (or
// a fork left it held) a compressor is made and freed as before.
class KeptCompressors {
public:
    libdeflate_compressor* take(int level) {
        if (level <= maxKeptLevel) {
            std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
            for (libdeflate_compressor*& slot : slots_[level]) {
                if (lock.owns_lock() && slot != nullptr) return std::exchange(slot, nullptr);
            }
        }
        return libdeflate_alloc_compressor(level);
    }
    void give(int level, libdeflate_compressor* compressor) {
        if (level <= maxKeptLevel) {
            std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
            for (libdeflate_compressor*& slot : slots_[level]) {
                if (lock.owns_lock() && slot == nullptr) {
                    slot = compressor;
                    return;
                }
            }
        }
        libdeflate_free_compressor(compressor);
    }

private:
    static constexpr int maxKeptLevel = 9;  // the levels zlib has too
    std::mutex mutex_;
    libdeflate_compressor* slots_[maxKeptLevel + 1][2] = {};
};

// Never destroyed: a helper thread may still give one back while the process exits.
inline KeptCompressors& keptCompressors() {
    static KeptCompressors* const kept = new KeptCompressors;
    return *kept;
}

// A compressor at libdeflate's `libraryLevel` for one call.
class Compressor {
public:
    explicit Compressor(int libraryLevel) : level_(libraryLevel), held_(keptCompressors().take(level_)) {}
    ~Compressor() {
        if (held_ != nullptr) keptCompressors().give(level_, held_);
    }
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;
    libdeflate_compressor* get() const { return held_; }

private:
    int level_;
    libdeflate_compressor* held_;
};

}  // namespace lumivex::png
