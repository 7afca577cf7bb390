#include "element_block.h"

#include <algorithm>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
// Memory kept for reuse stays out of bounds for everyone else.
#define LUMENFOLD_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define LUMENFOLD_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define LUMENFOLD_POISON(p, n) ((void)(p), (void)(n))
#define LUMENFOLD_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace tellurix::lumenfold::host::detail {

namespace {

// Each list and tuple holds its elements in a shared block (reference counts and the
// vector) of one fixed size. A small per-thread stack of free blocks takes that traffic
// off the general allocator, whose cost it mostly was. A block freed on another thread
// than the one that made it simply joins that thread's stack.
constexpr std::size_t block_bytes = 64;
constexpr std::size_t blocks_kept = 1024;

// The element storage of a small list or tuple that dies is kept by its capacity and
// handed to the next value of that size built on element_storage(): a queue that builds
// a record (a tuple and a list) for each one the host drops then allocates nothing for
// their elements. Each size keeps at most `elements_kept` elements' worth per thread,
// more than the slice of records a queue builds at once (256 lists of ten), and one
// size filling up takes no room from another.
constexpr std::size_t pooled_capacity = 16;
constexpr std::size_t elements_kept = 4096;

// A value nesting deeper than this is destroyed by a teardown (see ElementBlock); the
// usual ones, a command tuple holding a record list, go at once.
constexpr unsigned direct_levels = 8;

struct FreeBlock {
    FreeBlock* next;
};

struct StoragePool {
    std::vector<std::vector<Value>> by_capacity[pooled_capacity + 1];
};

class Teardown;
struct ThreadExit; // gives everything kept back at thread exit

// Trivially destructible, so that it stays usable while the thread's other objects are
// destroyed: once `closed`, blocks and storage go straight back to the allocator. One
// object, so that each operation looks up this thread's state once.
struct PerThread {
    FreeBlock* top = nullptr;
    std::size_t blocks = 0;
    StoragePool* pool = nullptr;
    // The teardown running on this thread, if any, and the levels of a value being
    // destroyed directly.
    Teardown* teardown = nullptr;
    unsigned depth = 0;
    bool closed = false;
    ThreadExit* exit = nullptr;
};
thread_local PerThread per_thread;

struct ThreadExit {
    ~ThreadExit() {
        PerThread& t = per_thread;
        t.closed = true;
        while (FreeBlock* b = t.top) {
            LUMENFOLD_UNPOISON(b, block_bytes);
            t.top = b->next;
            ::operator delete(b);
        }
        t.blocks = 0;
        if (StoragePool* pool = t.pool) {
            t.pool = nullptr;
            for (auto& kept : pool->by_capacity)
                for (std::vector<Value>& items : kept)
                    LUMENFOLD_UNPOISON(items.data(), items.capacity() * sizeof(Value));
            delete pool;
        }
    }
};
thread_local ThreadExit thread_exit;

// The first use registers the clean-up at thread exit.
void register_exit(PerThread& t) noexcept {
    if (!t.exit)
        t.exit = &thread_exit;
}

void* take_block() {
    PerThread& t = per_thread;
    if (FreeBlock* b = t.top) {
        LUMENFOLD_UNPOISON(b, block_bytes);
        t.top = b->next;
        --t.blocks;
        return b;
    }
    return ::operator new(block_bytes);
}

void give_block(void* p) noexcept {
    PerThread& t = per_thread;
    if (t.closed || t.blocks == blocks_kept) {
        ::operator delete(p);
        return;
    }
    register_exit(t);
    auto* b = static_cast<FreeBlock*>(p);
    b->next = t.top;
    t.top = b;
    ++t.blocks;
    LUMENFOLD_POISON(b, block_bytes);
}

// Keeps the storage of `items` (empty) for element_storage(), when there is room.
void keep_storage(PerThread& t, std::vector<Value>& items) noexcept {
    const std::size_t capacity = items.capacity();
    if (capacity == 0 || capacity > pooled_capacity || t.closed)
        return;
    if (!t.pool) {
        t.pool = new (std::nothrow) StoragePool;
        if (!t.pool)
            return;
        register_exit(t);
    }
    std::vector<std::vector<Value>>& kept = t.pool->by_capacity[capacity];
    if ((kept.size() + 1) * capacity > elements_kept)
        return;
    if (kept.size() == kept.capacity()) {
        try {
            kept.reserve(std::max<std::size_t>(64, 2 * kept.size()));
        } catch (const std::bad_alloc&) {
            return;
        }
    }
    LUMENFOLD_POISON(items.data(), capacity * sizeof(Value));
    kept.push_back(std::move(items));
}

// Hands std::allocate_shared the blocks above for its one combined allocation.
template <typename T> struct BlockAllocator {
    using value_type = T;
    BlockAllocator() noexcept = default;
    template <typename U> BlockAllocator(const BlockAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if constexpr (sizeof(T) <= block_bytes && alignof(T) <= alignof(std::max_align_t)) {
            if (n == 1)
                return static_cast<T*>(take_block());
        }
        return std::allocator<T>().allocate(n);
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if constexpr (sizeof(T) <= block_bytes && alignof(T) <= alignof(std::max_align_t)) {
            if (n == 1)
                return give_block(p);
        }
        std::allocator<T>().deallocate(p, n);
    }
    template <typename U> bool operator==(const BlockAllocator<U>&) const noexcept { return true; }
    template <typename U> bool operator!=(const BlockAllocator<U>&) const noexcept { return false; }
};

// The shared element vector of a list or tuple. It is the vector itself, not a holder of
// one, so that the block's shared_ptr converts to the vector's by a move, without
// touching the reference counts.
//
// A host may nest values as deep as it likes (a list in a list, 100,000 times);
// destroying the elements one level inside the other would take a few stack frames per
// level and overflow the stack. So the few outer levels are destroyed directly, and the
// vector that dies below them becomes the owner of a teardown: every vector that dies
// while it runs is handed to it and emptied in turn, never more than one level below it.
struct ElementBlock : std::vector<Value> {
    explicit ElementBlock(std::vector<Value>&& items) noexcept
        : std::vector<Value>(std::move(items)) {}
    ElementBlock(const ElementBlock&) = delete;
    ElementBlock& operator=(const ElementBlock&) = delete;
    ~ElementBlock();
};

// The element vectors a teardown has still to empty. Most deep values nest few
// containers per level, so the first few wait in place, without an allocation per value
// destroyed.
class Teardown {
public:
    // Throws std::bad_alloc only when more than `near_count` wait.
    void push(std::vector<Value>&& items) {
        if (near_size_ < near_count)
            near_[near_size_++] = std::move(items);
        else
            far_.push_back(std::move(items));
    }
    // Takes one waiting vector into `out`; false when none waits.
    bool pop(std::vector<Value>& out) {
        if (!far_.empty()) {
            out = std::move(far_.back());
            far_.pop_back();
            return true;
        }
        if (near_size_ == 0)
            return false;
        out = std::move(near_[--near_size_]);
        return true;
    }

private:
    static constexpr std::size_t near_count = 4;
    std::vector<Value> near_[near_count];
    std::size_t near_size_ = 0;
    std::vector<std::vector<Value>> far_;
};

ElementBlock::~ElementBlock() {
    std::vector<Value>& items = *this;
    PerThread& t = per_thread;
    if (!items.empty()) {
        if (t.teardown) {
            try {
                t.teardown->push(std::move(items));
                return;
            } catch (const std::bad_alloc&) {
                // No room to queue it: it goes here, one level deeper, as it stands.
                items.clear();
            }
        } else if (t.depth < direct_levels) {
            ++t.depth;
            items.clear();
            --t.depth;
        } else {
            Teardown teardown;
            t.teardown = &teardown;
            items.clear();
            std::vector<Value> next;
            while (teardown.pop(next)) {
                next.clear();
                keep_storage(t, next);
            }
            t.teardown = nullptr;
        }
    }
    keep_storage(t, items);
}

} // namespace

std::shared_ptr<const std::vector<Value>> element_block(std::vector<Value>&& items) {
    return std::allocate_shared<ElementBlock>(BlockAllocator<ElementBlock>(), std::move(items));
}

std::vector<Value> element_storage(std::size_t count) {
    if (count >= 1 && count <= pooled_capacity) {
        PerThread& t = per_thread;
        if (t.pool && !t.pool->by_capacity[count].empty()) {
            std::vector<std::vector<Value>>& kept = t.pool->by_capacity[count];
            std::vector<Value> items = std::move(kept.back());
            kept.pop_back();
            LUMENFOLD_UNPOISON(items.data(), count * sizeof(Value));
            return items;
        }
    }
    std::vector<Value> items;
    items.reserve(count);
    return items;
}

} // namespace tellurix::lumenfold::host::detail
