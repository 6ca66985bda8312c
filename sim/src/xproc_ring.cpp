#include "xproc_ring.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <new>

namespace vsim {

namespace {

constexpr std::size_t kCtlBytes = 4096;  // one page per ring's control block

// Reserves 2 * cap of address space and maps the file's [off, off + cap)
// into both halves.
unsigned char *map_mirrored(int fd, off_t off, std::size_t cap)
{
    void *r =
        ::mmap(nullptr, 2 * cap, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (r == MAP_FAILED) {
        return nullptr;
    }
    auto *base = static_cast<unsigned char *>(r);
    for (int half = 0; half < 2; ++half) {
        if (::mmap(base + half * cap, cap, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd,
                   off) == MAP_FAILED) {
            ::munmap(base, 2 * cap);
            return nullptr;
        }
    }
    return base;
}

}  // namespace

Segment::~Segment()
{
    close_fd();
    if (ctl_) {
        ::munmap(ctl_, 2 * kCtlBytes);
    }
    for (unsigned char *b : base_) {
        if (b) {
            ::munmap(b, 2 * cap_);
        }
    }
}

void Segment::close_fd()
{
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = -1;
}

bool Segment::create()
{
    fd_ = ::memfd_create("vantor-sim-ring", MFD_CLOEXEC);
    if (fd_ < 0) {
        return false;
    }
    cap_ = kRingBytes;
    if (::ftruncate(fd_, static_cast<off_t>(2 * kCtlBytes + 2 * cap_)) < 0) {
        return false;
    }
    return map_rings(true);
}

bool Segment::map(int fd, std::size_t ring_bytes)
{
    fd_ = fd;
    if (ring_bytes == 0 || (ring_bytes & (ring_bytes - 1)) || ring_bytes % 4096 ||
        ring_bytes > (std::size_t{1} << 30)) {
        return false;
    }
    cap_ = ring_bytes;
    return map_rings(false);
}

bool Segment::map_rings(bool creator)
{
    void *c = ::mmap(nullptr, 2 * kCtlBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (c == MAP_FAILED) {
        return false;
    }
    ctl_ = static_cast<unsigned char *>(c);
    for (int k = 0; k < 2; ++k) {
        base_[k] = map_mirrored(fd_, static_cast<off_t>(2 * kCtlBytes + k * cap_), cap_);
        if (!base_[k]) {
            return false;
        }
    }
    auto *ctl0 = reinterpret_cast<RingCtl *>(ctl_);
    auto *ctl1 = reinterpret_cast<RingCtl *>(ctl_ + kCtlBytes);
    if (creator) {
        // A fresh file reads as zeros; the readers start asleep, so that
        // the first frames each way wake them.
        new (ctl0) RingCtl{};
        new (ctl1) RingCtl{};
        ctl0->reader_asleep.store(1);
        ctl1->reader_asleep.store(1);
    }
    out_.attach(creator ? ctl0 : ctl1, creator ? base_[0] : base_[1], cap_);
    in_.attach(creator ? ctl1 : ctl0, creator ? base_[1] : base_[0], cap_);
    return true;
}

}  // namespace vsim
