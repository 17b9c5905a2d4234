// A vector of trivially copyable values that keeps up to N of them inline and
// spills to the heap beyond that. A stored session's lines live inside its slot
// of the session table, so reading a session touches no other memory and copying
// one allocates nothing for up to N lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>
#include <stdexcept>
#include <type_traits>

namespace corvane {

template <class T, std::uint32_t N>
class SmallVector {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                  "values are moved with memcpy");
    static_assert(N > 0 && N * sizeof(T) >= sizeof(T*), "the inline room also holds the heap pointer");

public:
    using value_type = T;
    using size_type = std::size_t;
    using difference_type = std::ptrdiff_t;
    using reference = T&;
    using const_reference = const T&;
    using pointer = T*;
    using const_pointer = const T*;
    using iterator = T*;
    using const_iterator = const T*;

    static constexpr std::uint32_t inline_capacity = N;

    SmallVector() noexcept = default;
    SmallVector(std::initializer_list<T> values) { assign(values.begin(), values.size()); }
    SmallVector(const SmallVector& other) { copy_from(other); }
    SmallVector(SmallVector&& other) noexcept { take(other); }
    ~SmallVector() { release(); }

    SmallVector& operator=(const SmallVector& other) {
        if (this != &other) copy_from(other);
        return *this;
    }
    SmallVector& operator=(SmallVector&& other) noexcept {
        if (this != &other) {
            release();
            take(other);
        }
        return *this;
    }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    std::size_t capacity() const noexcept { return capacity_; }

    T* data() noexcept { return on_heap() ? heap() : std::launder(reinterpret_cast<T*>(room_)); }
    const T* data() const noexcept {
        return on_heap() ? heap() : std::launder(reinterpret_cast<const T*>(room_));
    }
    T* begin() noexcept { return data(); }
    T* end() noexcept { return data() + size_; }
    const T* begin() const noexcept { return data(); }
    const T* end() const noexcept { return data() + size_; }

    T& operator[](std::size_t i) noexcept { return data()[i]; }
    const T& operator[](std::size_t i) const noexcept { return data()[i]; }

    void reserve(std::size_t n) {
        if (n > capacity_) grow_to(n);
    }
    void push_back(const T& value) {
        if (size_ == capacity_) {
            const T copy = value;  // value may live in this vector
            grow_to(std::size_t{capacity_} * 2);
            std::construct_at(data() + size_, copy);
        } else {
            std::construct_at(data() + size_, value);
        }
        ++size_;
    }
    void clear() noexcept { size_ = 0; }

private:
    bool on_heap() const noexcept { return capacity_ > N; }
    T* heap() const noexcept {
        T* p;
        std::memcpy(&p, room_, sizeof p);
        return p;
    }
    void set_heap(T* p) noexcept { std::memcpy(room_, &p, sizeof p); }

    static T* allocate(std::size_t n) {
        if (n > UINT32_MAX) throw std::length_error("too many lines");
        return static_cast<T*>(::operator new(n * sizeof(T)));
    }

    // Replaces the content with n values; keeps the current room when it fits.
    void assign(const T* values, std::size_t n) {
        if (n > capacity_) {
            T* fresh = allocate(n);
            std::memcpy(static_cast<void*>(fresh), values, n * sizeof(T));
            free_heap();
            set_heap(fresh);
            capacity_ = static_cast<std::uint32_t>(n);
        } else if (n != 0) {
            std::memmove(static_cast<void*>(data()), values, n * sizeof(T));
        }
        size_ = static_cast<std::uint32_t>(n);
    }

    // assign(other's values), copying a whole room of N values when they fit
    // one: a copy of a known size needs no call to memcpy. Both rooms hold at
    // least N values, so neither read nor write leaves them.
    void copy_from(const SmallVector& other) {
        if (other.size_ <= N) {
            std::memcpy(static_cast<void*>(data()), other.data(), sizeof room_);
            size_ = other.size_;
        } else {
            assign(other.data(), other.size());
        }
    }

    void grow_to(std::size_t n) {
        T* fresh = allocate(n);
        if (size_ != 0) std::memcpy(static_cast<void*>(fresh), data(), std::size_t{size_} * sizeof(T));
        free_heap();
        set_heap(fresh);
        capacity_ = static_cast<std::uint32_t>(n);
    }

    void free_heap() noexcept {
        if (on_heap()) ::operator delete(heap());
    }

    // Frees a heap block and falls back to the (empty) inline room.
    void release() noexcept {
        free_heap();
        capacity_ = N;
        size_ = 0;
    }

    // Takes other's content, leaving it empty; this must hold no heap block.
    void take(SmallVector& other) noexcept {
        if (other.on_heap()) {
            set_heap(other.heap());
        } else {
            std::memcpy(room_, other.room_, sizeof room_);  // of a known size: no call
        }
        size_ = other.size_;
        capacity_ = other.capacity_;
        other.size_ = 0;
        other.capacity_ = N;
    }

    alignas(alignof(T) > alignof(T*) ? alignof(T) : alignof(T*)) unsigned char room_[N * sizeof(T)] = {};
    std::uint32_t size_ = 0;
    std::uint32_t capacity_ = N;
};

}  // namespace corvane
