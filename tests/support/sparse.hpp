// Address space without memory, for requests of billions of elements: only
// the pages a test touches become real (untouched ones read as zeros).
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <utility>

template <class T>
class Sparse {
public:
    explicit Sparse(size_t count) : bytes_(count * sizeof(T)) {
        void* p = mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        data_ = p == MAP_FAILED ? nullptr : static_cast<T*>(p);
    }
    ~Sparse() {
        if (data_) munmap(data_, bytes_);
    }
    Sparse(Sparse&& other) noexcept : bytes_(other.bytes_), data_(other.data_) { other.data_ = nullptr; }
    Sparse(const Sparse&) = delete;
    Sparse& operator=(const Sparse&) = delete;
    T* data() const { return data_; }

private:
    size_t bytes_;
    T* data_;
};
