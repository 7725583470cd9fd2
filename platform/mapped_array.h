// A growable array of trivially copyable values in its own anonymous memory
// mapping. Freed memory goes straight back to the system (large sets that are
// replaced every reload would otherwise fragment the heap and keep growing
// the resident size), fresh pages read as zero without being touched, and on
// Linux growth moves pages with mremap instead of copying them.
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace tranca {

template <typename T>
class MappedArray {
    static_assert(std::is_trivially_copyable_v<T>);

  public:
    MappedArray() = default;
    ~MappedArray() { release(); }
    MappedArray(MappedArray&& other) noexcept { swap(other); }
    MappedArray& operator=(MappedArray&& other) noexcept {
        if (this != &other) {
            release();
            swap(other);
        }
        return *this;
    }
    MappedArray(const MappedArray&) = delete;
    MappedArray& operator=(const MappedArray&) = delete;

    // An array of count zero values.
    static MappedArray zeroed(std::size_t count) {
        MappedArray array;
        array.reserve(count);
        array.size_ = count;
        return array;
    }

    // The same, its pages allocated at once, huge where the system allows:
    // for a table read and written all over (a hash table), where touching
    // page by page faults twice a page, once to map the shared zero page and
    // once to copy it, and where random look-ups miss the TLB on small pages.
    static MappedArray zeroedResident(std::size_t count) {
        MappedArray array;
        array.preferHugePages();
        array.reserve(count);
        array.size_ = count;
#if defined(MADV_POPULATE_WRITE)
        // Advice only: where it is refused the pages come on first touch.
        ::madvise(array.data_, array.mappedBytes_, MADV_POPULATE_WRITE);
#endif
        return array;
    }

    // Asks for huge pages from now on: for data read at random once large
    // (fewer TLB misses, a fault per 2 MiB instead of per 4 KiB as it fills),
    // at the cost of at most one part-used huge page.
    void preferHugePages() {
        hugePages_ = true;
        advise();
    }

    T* data() noexcept {
        return data_;
    }
    const T* data() const noexcept {
        return data_;
    }
    std::size_t size() const noexcept {
        return size_;
    }
    std::size_t capacity() const noexcept {
        return capacity_;
    }
    bool empty() const noexcept {
        return size_ == 0;
    }
    T& operator[](std::size_t i) noexcept {
        return data_[i];
    }
    const T& operator[](std::size_t i) const noexcept {
        return data_[i];
    }

    void append(const T* values, std::size_t count) {
        if (size_ + count > capacity_) {
            reserve(std::max(capacity_ * 2, size_ + count));
        }
        std::memcpy(data_ + size_, values, count * sizeof(T));
        size_ += count;
    }
    void pushBack(const T& value) {
        append(&value, 1);
    }

    void reserve(std::size_t count) {
        if (count <= capacity_) {
            return;
        }
        const std::size_t bytes = pageRound(count * sizeof(T));
        void* mapped;
        if (data_ == nullptr) {
            mapped =
                ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        } else {
#if defined(__linux__)
            mapped = ::mremap(data_, mappedBytes_, bytes, MREMAP_MAYMOVE);
#else
            mapped =
                ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (mapped != MAP_FAILED) {
                std::memcpy(mapped, data_, size_ * sizeof(T));
                ::munmap(data_, mappedBytes_);
            }
#endif
        }
        if (mapped == MAP_FAILED) {
            throw std::bad_alloc();
        }
        data_ = static_cast<T*>(mapped);
        mappedBytes_ = bytes;
        capacity_ = bytes / sizeof(T);
        advise();
    }

  private:
    void advise() noexcept {
#if defined(MADV_HUGEPAGE)
        if (hugePages_ && data_ != nullptr) {
            ::madvise(data_, mappedBytes_, MADV_HUGEPAGE);
        }
#endif
    }
    static std::size_t pageRound(std::size_t bytes) {
        constexpr std::size_t kPage = 4096;
        return (std::max<std::size_t>(bytes, 1) + kPage - 1) / kPage * kPage;
    }
    void release() noexcept {
        if (data_ != nullptr) {
            ::munmap(data_, mappedBytes_);
        }
        data_ = nullptr;
        size_ = capacity_ = mappedBytes_ = 0;
    }
    void swap(MappedArray& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
        std::swap(mappedBytes_, other.mappedBytes_);
        std::swap(hugePages_, other.hugePages_);
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::size_t mappedBytes_ = 0;
    bool hugePages_ = false;
};

}  // namespace tranca
