// Inflating large answers into memory that is reused from call to call.
#pragma once

#include <cstddef>
#include <memory>

namespace zentaro::platform_rpc {

// How much of the reused region stays resident between calls: an answer up
// to this size is inflated without a single page fault the next time; the
// pages of a larger one are handed back to the system after use.
constexpr size_t resident_bound = 32u << 20;

struct Region;

// libdeflate's interface (libdeflate.h; ABI of libdeflate.so.0), as found in
// the deflate package's extension module (init_region_inflater).
extern "C" {
struct libdeflate_decompressor;
}
struct Libdeflate {
    libdeflate_decompressor *(*alloc)() = nullptr;
    void (*free)(libdeflate_decompressor *) = nullptr;
    int (*zlib_decompress_ex)(libdeflate_decompressor *, const void *, size_t, void *, size_t,
                              size_t *, size_t *) = nullptr;
    bool ready() const { return alloc && free && zlib_decompress_ex; }
};

struct ReturnRegion {
    void operator()(Region *region) const;
};

// The inflated bytes of one answer, valid while the lease lives; dropping
// the lease trims the region to `resident_bound` and returns it.
class InflateLease {
  public:
    InflateLease() = default;
    InflateLease(Region *region, size_t size) : region_(region), size_(size) {}
    explicit operator bool() const { return region_ != nullptr; }
    const unsigned char *data() const;
    size_t size() const { return size_; }
    // Gives the region up for good (something may still read it).
    void abandon() {
        (void)region_.release();
        size_ = 0;
    }

  private:
    std::unique_ptr<Region, ReturnRegion> region_;
    size_t size_ = 0;
};

// Finds libdeflate; without it the caller keeps to its other inflaters.
void init_region_inflater();

// Inflates a zlib stream (as zlib.decompress reads it with default
// arguments) into the process's reused region. An empty lease when that is
// not possible: no libdeflate, the region in use by another call, a stream
// this inflater does not accept (malformed, preset dictionary, larger than
// the region). The caller then takes its general route, whose genuine zlib
// gives the answer or the exact error. Releases the GIL while inflating.
InflateLease inflate_reused(const unsigned char *data, size_t size);

} // namespace zentaro::platform_rpc
