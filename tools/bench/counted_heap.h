// Every heap byte a measurement program asks for passes through here, so footprints are measured,
// not only computed. A header in front of each block remembers its size. Include it in exactly one
// file of a program: it replaces the global operator new and delete.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

std::atomic<size_t> liveBytes{0};
std::atomic<size_t> peakBytes{0};
constexpr size_t kHeader = alignof(std::max_align_t);

void* countedAlloc(size_t size) {
    void* block = std::malloc(size + kHeader);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    *static_cast<size_t*>(block) = size;
    size_t now = liveBytes.fetch_add(size) + size;
    size_t peak = peakBytes.load();
    while (now > peak && !peakBytes.compare_exchange_weak(peak, now)) {
    }
    return static_cast<char*>(block) + kHeader;
}

void countedFree(void* pointer) {
    if (pointer == nullptr) {
        return;
    }
    void* block = static_cast<char*>(pointer) - kHeader;
    liveBytes.fetch_sub(*static_cast<size_t*>(block));
    std::free(block);
}

}  // namespace

void* operator new(size_t size) {
    return countedAlloc(size);
}
void* operator new[](size_t size) {
    return countedAlloc(size);
}
void operator delete(void* pointer) noexcept {
    countedFree(pointer);
}
void operator delete[](void* pointer) noexcept {
    countedFree(pointer);
}
void operator delete(void* pointer, size_t) noexcept {
    countedFree(pointer);
}
void operator delete[](void* pointer, size_t) noexcept {
    countedFree(pointer);
}
