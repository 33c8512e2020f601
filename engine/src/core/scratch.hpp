// The engine's one kind of working memory: a block owned for the length of a
// call, 64-byte aligned and zero-filled. Every member is defined out of line
// in a baseline unit, so that the vector units can use it without emitting
// code of their own that the linker could pick for baseline callers.
#pragma once

#include <cstddef>

namespace sardune {

class Scratch {
public:
    Scratch() noexcept;
    // An empty Scratch when the memory cannot be had. With a local buffer of
    // at least `bytes`, that buffer is used (zero-filled) and nothing is
    // allocated.
    static Scratch zeroed(size_t bytes, void* local = nullptr, size_t local_bytes = 0) noexcept;
    // The same for kernels, whose one failure is std::bad_alloc.
    static Scratch required(size_t bytes);

    Scratch(Scratch&& other) noexcept;
    Scratch& operator=(Scratch&& other) noexcept;
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch();

    bool empty() const noexcept;
    void* data() const noexcept;
    double* doubles() const noexcept;
    float* floats() const noexcept;

private:
    void* block_;
    bool owned_;
};

}  // namespace sardune
