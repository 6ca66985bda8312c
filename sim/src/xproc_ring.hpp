// A one-way byte stream between two processes in shared memory: one writer
// (the process's thread holding the connection's output lock) and one
// reader (the thread holding the other process's input lock). The data
// area is mapped twice, back to back, so that any span of it is contiguous:
// a frame that fits is written and read in place, without wrapping.
//
// Either side may sleep: a reader that is about to block sets
// `reader_asleep` and looks once more; a writer that found no room sets
// `writer_waits` to the room it waits for. The other side clears the flag
// it finds set (the writer's once that much room is free) and wakes the
// sleeper over the socket they share.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vsim {

struct RingCtl {
    alignas(64) std::atomic<uint64_t> tail;  // bytes written so far
    alignas(64) std::atomic<uint64_t> head;  // bytes read so far
    alignas(64) std::atomic<uint32_t> reader_asleep;
    std::atomic<uint32_t> writer_waits;  // bytes of room wanted; 0: none
};
static_assert(std::atomic<uint64_t>::is_always_lock_free, "the rings need lock-free atomics");

class Ring {
public:
    void attach(RingCtl *ctl, unsigned char *data, std::size_t cap)
    {
        ctl_ = ctl;
        data_ = data;
        cap_ = cap;
    }
    bool attached() const { return ctl_ != nullptr; }
    std::size_t capacity() const { return cap_; }

    // Writer side.
    std::size_t room() const
    {
        const uint64_t t = ctl_->tail.load(std::memory_order_relaxed);
        return cap_ - static_cast<std::size_t>(t - ctl_->head.load(std::memory_order_acquire));
    }
    unsigned char *write_ptr() const { return data_ + write_offset(); }
    std::size_t write_offset() const
    {
        return static_cast<std::size_t>(ctl_->tail.load(std::memory_order_relaxed) & (cap_ - 1));
    }
    // Publishes `n` written bytes; true when the reader asked to be woken.
    bool commit(std::size_t n)
    {
        ctl_->tail.store(ctl_->tail.load(std::memory_order_relaxed) + n, std::memory_order_seq_cst);
        return ctl_->reader_asleep.load(std::memory_order_seq_cst) &&
               ctl_->reader_asleep.exchange(0);
    }
    // No room: asks for a wake-up once `wake_at` bytes of room are free (at
    // least `need`, at most the capacity); false when `need` appeared
    // meanwhile.
    bool wait_for_room(std::size_t need, std::size_t wake_at = 0)
    {
        const std::size_t at = std::min(std::max(need, wake_at), cap_);
        ctl_->writer_waits.store(static_cast<uint32_t>(at), std::memory_order_seq_cst);
        return room() < need;
    }

    // Reader side.
    std::size_t available() const
    {
        return static_cast<std::size_t>(ctl_->tail.load(std::memory_order_acquire) -
                                        ctl_->head.load(std::memory_order_relaxed));
    }
    const unsigned char *read_ptr() const
    {
        return data_ + (ctl_->head.load(std::memory_order_relaxed) & (cap_ - 1));
    }
    // Frees `n` read bytes; true when the writer asked to be woken and has
    // the room it waits for.
    bool consume(std::size_t n)
    {
        const uint64_t head = ctl_->head.load(std::memory_order_relaxed) + n;
        ctl_->head.store(head, std::memory_order_seq_cst);
        const uint32_t want = ctl_->writer_waits.load(std::memory_order_seq_cst);
        if (want == 0) {
            return false;
        }
        const std::size_t free =
            cap_ - static_cast<std::size_t>(ctl_->tail.load(std::memory_order_seq_cst) - head);
        return free >= want && ctl_->writer_waits.exchange(0) != 0;
    }
    // About to sleep: asks for a wake-up; false when bytes came meanwhile.
    bool arm()
    {
        ctl_->reader_asleep.store(1, std::memory_order_seq_cst);
        return available() == 0;
    }
    void disarm() { ctl_->reader_asleep.store(0, std::memory_order_relaxed); }

private:
    RingCtl *ctl_ = nullptr;
    unsigned char *data_ = nullptr;
    std::size_t cap_ = 0;
};

// The segment two processes share: a ring each way. The process that
// connects creates it and writes ring 0; the one that accepted writes
// ring 1.
class Segment {
public:
    static constexpr std::size_t kRingBytes = std::size_t{4} << 20;  // a power of two

    Segment() = default;
    Segment(const Segment &) = delete;
    Segment &operator=(const Segment &) = delete;
    ~Segment();

    // A new segment; its file descriptor is fd() until released.
    bool create();
    // Maps a segment received from the peer (takes `fd` over).
    bool map(int fd, std::size_t ring_bytes);
    int fd() const { return fd_; }
    void close_fd();

    Ring &out() { return out_; }
    Ring &in() { return in_; }
    bool mapped() const { return out_.attached(); }

private:
    bool map_rings(bool creator);

    int fd_ = -1;
    std::size_t cap_ = 0;
    unsigned char *ctl_ = nullptr;
    unsigned char *base_[2] = {nullptr, nullptr};  // the two mirrored data areas
    Ring out_, in_;
};

}  // namespace vsim
