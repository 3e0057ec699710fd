#pragma once
// Counts kept by the event loop's thread and read by others.

#include <atomic>
#include <cstdint>

// A count that one thread writes and any thread may read. With a single
// writer an increment needs no read-modify-write: a relaxed load and store
// compile to what a plain increment does, and a reader on another thread
// sees each value whole, without a data race.
class loop_counter
{
  public:
    void operator++(int)
    {
        add(1);
    }
    void operator+=(uint64_t amount)
    {
        add(amount);
    }
    // For a count that also falls, such as what is held now: only its
    // writer may set it.
    void set(uint64_t amount)
    {
        value.store(amount, std::memory_order_relaxed);
    }
    uint64_t get() const
    {
        return value.load(std::memory_order_relaxed);
    }

  private:
    void add(uint64_t amount)
    {
        value.store(value.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
    }
    std::atomic<uint64_t> value{0};
};
