// Owned memory for the compact encoder's buffers, with large blocks kept idle
// between encodes. Plain C++: no Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <utility>

namespace lumivex::png {

// Large blocks freed by one encode, kept for the next. In a Python process the
// allocator gave such blocks back to the system after every call, and the next
// call's first touch of each page faulted: a fifth of a 256 x 256 icon's
// encode. A few MB at most are kept. The lock is only tried: where another
// thread holds it (or a fork left it held) blocks are allocated and freed as usual.
class IdleBlocks {
public:
    IdleBlocks() = default;
    IdleBlocks(const IdleBlocks&) = delete;
    IdleBlocks& operator=(const IdleBlocks&) = delete;
    ~IdleBlocks() {
        for (size_t i = 0; i < count_; ++i) std::free(blocks_[i].data);
    }
    // A block of at least `size` bytes (its capacity in *capacity), or null.
    void* take(size_t size, size_t* capacity) {
        if (size >= minKeptBytes) {
            std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
            size_t best = maxBlocks;
            for (size_t i = 0; lock.owns_lock() && i < count_; ++i) {
                const bool fits = blocks_[i].capacity >= size && blocks_[i].capacity / 4 <= size;
                if (fits && (best == maxBlocks || blocks_[i].capacity < blocks_[best].capacity)) best = i;
            }
            if (best != maxBlocks) {
                const Block found = std::exchange(blocks_[best], blocks_[--count_]);
                idleBytes_ -= found.capacity;
                *capacity = found.capacity;
                return found.data;
            }
        }
        *capacity = size;
        return std::malloc(size > 0 ? size : 1);
    }
    // Keeps the block idle when there is room, else frees it.
    void give(void* data, size_t capacity) {
        if (data != nullptr && capacity >= minKeptBytes) {
            std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
            if (lock.owns_lock() && count_ < maxBlocks && idleBytes_ + capacity <= maxIdleBytes) {
                blocks_[count_++] = {data, capacity};
                idleBytes_ += capacity;
                return;
            }
        }
        std::free(data);
    }

private:
    static constexpr size_t minKeptBytes = 64 * 1024, maxIdleBytes = size_t(4) << 20, maxBlocks = 8;
    struct Block {
        void* data;
        size_t capacity;
    };
    std::mutex mutex_;
    Block blocks_[maxBlocks] = {};
    size_t count_ = 0, idleBytes_ = 0;
};

// Never destroyed: a helper thread may still free a buffer while the process exits.
inline IdleBlocks& idleBlocks() {
    static IdleBlocks* const blocks = new IdleBlocks;
    return *blocks;
}

// Memory from malloc (or an idle block), freed with the owner.
struct Owned {
    uint8_t* data = nullptr;
    size_t capacity = 0;
    Owned() = default;
    Owned(Owned&& other) noexcept
        : data(std::exchange(other.data, nullptr)), capacity(std::exchange(other.capacity, 0)) {}
    Owned& operator=(Owned&& other) noexcept {
        std::swap(data, other.data);
        std::swap(capacity, other.capacity);
        return *this;
    }
    ~Owned() { idleBlocks().give(data, capacity); }
    bool allocate(size_t size) {
        idleBlocks().give(std::exchange(data, nullptr), std::exchange(capacity, 0));
        data = static_cast<uint8_t*>(idleBlocks().take(size, &capacity));
        return data != nullptr;
    }
    // The memory, to be freed with std::free.
    uint8_t* release() {
        capacity = 0;
        return std::exchange(data, nullptr);
    }
};

}  // namespace lumivex::png
