#include "graph/polled_buffers.hpp"

#include <sys/mman.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace quorl {

void give_back_pages(void* data, std::size_t bytes) {
    // A fraction of a millisecond of unmapping per call.
    constexpr std::size_t kStepBytes = std::size_t{1} << 24;
    const long page_size = sysconf(_SC_PAGESIZE);
    if (page_size <= 0) return;
    const auto page = static_cast<std::uintptr_t>(page_size);
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + page - 1) / page * page;
    const std::uintptr_t last = (begin + bytes) / page * page;
    for (std::uintptr_t at = first; at < last; at += kStepBytes) {
        const std::size_t size = std::min<std::uintptr_t>(kStepBytes, last - at);
        // Advice only: if it is not taken, freeing the buffer gives the pages back.
        madvise(reinterpret_cast<void*>(at), size, MADV_DONTNEED);
    }
}

void merge_small_blocks_when_freed() {
#if defined(__GLIBC__)
    const char* tunables = std::getenv("GLIBC_TUNABLES");
    if (tunables != nullptr && std::strstr(tunables, "glibc.malloc.mxfast") != nullptr) return;
    mallopt(M_MXFAST, 0);
#endif
}

bool sort_indices_polled(std::vector<std::uint32_t>& values, std::vector<std::uint32_t>& buffer, StopPoll* stop) {
    // What std::sort does in a small fraction of a millisecond.
    constexpr std::size_t kSortedAtOnce = std::size_t{1} << 12;
    if (values.size() <= kSortedAtOnce) {
        std::sort(values.begin(), values.end());
        return true;
    }
    if (!grow_polled(buffer, values.size(), 0, stop)) return false;
    buffer.resize(values.size());
    constexpr std::size_t kStep = polled_step<std::uint32_t>();
    for (unsigned shift = 0; shift < 32; shift += 8) {
        const auto digit = [shift](std::uint32_t value) { return (value >> shift) & 0xFFu; };
        std::array<std::size_t, 257> start{};  // of each digit's run in the output, once counted
        const bool counted = in_polled_steps(values.size(), kStep, stop, [&](std::size_t begin, std::size_t end) {
            for (std::size_t at = begin; at < end; ++at) ++start[digit(values[at]) + 1];
        });
        if (!counted) return false;
        for (std::size_t d = 1; d < start.size(); ++d) start[d] += start[d - 1];
        const bool placed = in_polled_steps(values.size(), kStep, stop, [&](std::size_t begin, std::size_t end) {
            for (std::size_t at = begin; at < end; ++at) buffer[start[digit(values[at])]++] = values[at];
        });
        if (!placed) return false;
        values.swap(buffer);
    }
    return true;
}

std::optional<std::string> zeroed_string_in_polled_steps(std::size_t size, StopPoll* stop) {
    std::optional<std::string> zeroed(std::in_place);
    zeroed->reserve(size);  // from empty, the room of a string made with this size
    if (!in_polled_steps(size, kPolledStepBytes, stop, [&](std::size_t, std::size_t end) { zeroed->resize(end); })) {
        if (zeroed->capacity() >= kLargeBufferBytes) free_on_a_thread(std::move(*zeroed));
        zeroed.reset();
    }
    return zeroed;
}

}  // namespace quorl
