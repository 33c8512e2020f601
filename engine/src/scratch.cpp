#include <cstdint>
#include <cstring>
#include <new>

#include "kernels.hpp"

namespace {
constexpr std::align_val_t scratch_alignment{64};
}

void* scratch_try_alloc(size_t bytes) noexcept {
    if (bytes == 0) bytes = 1;
    void* p = ::operator new(bytes, scratch_alignment, std::nothrow);
    if (p != nullptr) std::memset(p, 0, bytes);
    return p;
}

void* scratch_alloc(size_t bytes) {
    void* p = scratch_try_alloc(bytes);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void scratch_free(void* p) noexcept {
    if (p != nullptr) ::operator delete(p, scratch_alignment);
}
