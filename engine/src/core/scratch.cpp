#include "core/scratch.hpp"

#include <cstring>
#include <new>
#include <utility>

namespace sardune {

namespace {
constexpr std::align_val_t alignment{64};
}

Scratch::Scratch() noexcept : block_(nullptr), owned_(false) {}

Scratch Scratch::zeroed(size_t bytes, void* local, size_t local_bytes) noexcept {
    Scratch s;
    if (local != nullptr && bytes <= local_bytes) {
        s.block_ = local;
    } else {
        s.block_ = ::operator new(bytes == 0 ? 1 : bytes, alignment, std::nothrow);
        s.owned_ = s.block_ != nullptr;
    }
    if (s.block_ != nullptr) std::memset(s.block_, 0, bytes);
    return s;
}

Scratch Scratch::required(size_t bytes) {
    Scratch s = zeroed(bytes);
    if (s.empty()) throw std::bad_alloc();
    return s;
}

Scratch::Scratch(Scratch&& other) noexcept
    : block_(std::exchange(other.block_, nullptr)), owned_(std::exchange(other.owned_, false)) {}

Scratch& Scratch::operator=(Scratch&& other) noexcept {
    if (this != &other) {
        this->~Scratch();
        block_ = std::exchange(other.block_, nullptr);
        owned_ = std::exchange(other.owned_, false);
    }
    return *this;
}

Scratch::~Scratch() {
    if (owned_) ::operator delete(block_, alignment);
}

bool Scratch::empty() const noexcept { return block_ == nullptr; }
void* Scratch::data() const noexcept { return block_; }
double* Scratch::doubles() const noexcept { return static_cast<double*>(block_); }
float* Scratch::floats() const noexcept { return static_cast<float*>(block_); }

}  // namespace sardune
