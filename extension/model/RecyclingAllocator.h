#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <new>
#include <type_traits>

// Blocks of one size kept for reuse. The events and locations of the calls a
// request keeps are made while its script runs and all released at the
// request's end; the next request takes its blocks from here instead of the
// general heap. Only the thread that first asked for a block (the one that
// runs scripts) uses the list, with no lock: any other thread, and blocks
// past the bound, go to the general heap. A forked child's thread is the
// forking thread's copy and keeps the list.
// At most this many blocks wait per size: a request that kept many calls
// does not leave the worker holding their memory for its life.
constexpr std::size_t RECYCLED_BLOCKS_LIMIT = 1024;

template <std::size_t Size>
class RecycledBlocks {
public:
    static void* take()
    {
        Pool& pool = instance();
        // The owner is checked first: another thread must not even read the
        // list, which the owner changes without a lock.
        if (!pool.usedByCaller() || pool.head == nullptr)
            return nullptr;
        Node* node = pool.head;
        pool.head = node->next;
        --pool.count;
        return node;
    }

    static bool give(void* block)
    {
        Pool& pool = instance();
        if (!pool.usedByCaller() || pool.count >= RECYCLED_BLOCKS_LIMIT)
            return false;
        Node* node = static_cast<Node*>(block);
        node->next = pool.head;
        pool.head = node;
        ++pool.count;
        return true;
    }

private:
    struct Node {
        Node* next;
    };
    static_assert(Size >= sizeof(Node), "a block holds the list's link while it waits");

    // Zero is no thread's id here: it marks a list nobody claimed yet.
    static_assert(std::is_integral<pthread_t>::value, "thread ids compare as integers");

    struct Pool {
        Node* head = nullptr;
        std::size_t count = 0;
        // Claimed at once by one thread: two threads asking first at the same
        // moment cannot both take the list for theirs.
        std::atomic<pthread_t> user{0};

        bool usedByCaller()
        {
            const pthread_t self = pthread_self();
            pthread_t current = user.load(std::memory_order_acquire);
            if (current == 0 && user.compare_exchange_strong(current, self, std::memory_order_acq_rel))
                return true;
            return pthread_equal(current, self) != 0;
        }
    };

    // Never destroyed: blocks may be given back while the process exits.
    static Pool& instance()
    {
        static Pool* pool = new Pool();
        return *pool;
    }
};

// A standard allocator over RecycledBlocks, for boost::allocate_shared of the
// objects every kept call makes (one block holds the object and its count).
template <typename T>
class RecyclingAllocator {
public:
    using value_type = T;

    RecyclingAllocator() noexcept = default;
    template <typename U>
    RecyclingAllocator(const RecyclingAllocator<U>&) noexcept
    {
    }

    static_assert(alignof(T) <= alignof(std::max_align_t), "blocks come from plain operator new");

    T* allocate(std::size_t n)
    {
        if (n == 1) {
            if (void* block = RecycledBlocks<sizeof(T)>::take())
                return static_cast<T*>(block);
        }
        return static_cast<T*>(::operator new(n * sizeof(T)));
    }

    void deallocate(T* block, std::size_t n) noexcept
    {
        if (n == 1 && RecycledBlocks<sizeof(T)>::give(block))
            return;
        ::operator delete(block);
    }

    template <typename U>
    bool operator==(const RecyclingAllocator<U>&) const noexcept
    {
        return true;
    }
    template <typename U>
    bool operator!=(const RecyclingAllocator<U>&) const noexcept
    {
        return false;
    }
};
