// Growing, filling and freeing buffers of millions of elements inside a call
// that must answer a stop request within a fraction of a millisecond. Done
// at once, moving the working copy's slots into a larger vector, zero-filling
// a table sized to it or giving a few hundred megabytes back to the system
// each takes tens of milliseconds; done here, the work goes in steps of
// kPolledStepBytes, and the call's StopPoll is asked between two steps. What
// one step covers is done as the plain operation does it, without asking, so
// the small buffers of small graphs cost what they did.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "error/quorl_error.hpp"

namespace quorl {

// A fraction of a millisecond of copying, filling or page faults.
inline constexpr std::size_t kPolledStepBytes = std::size_t{1} << 18;
// Freeing a buffer this large takes milliseconds: it is freed on a thread of
// its own. (Smaller ones may be reused by the allocator, whose pages are
// better kept than given back.)
inline constexpr std::size_t kLargeBufferBytes = std::size_t{1} << 26;

// Elements of T in one step.
template <class T>
constexpr std::size_t polled_step() {
    return std::max<std::size_t>(1, kPolledStepBytes / sizeof(T));
}

// Calls run(begin, end) over [0, count) in steps of `step` elements, in
// order, asking `stop` (when given) between two steps; false when it asked to
// stop, and the steps after it are not run.
template <class Run>
bool in_polled_steps(std::size_t count, std::size_t step, StopPoll* stop, Run&& run) {
    for (std::size_t begin = 0; begin < count; begin += step) {
        if (begin > 0 && stop != nullptr && stop->check_now()) return false;
        run(begin, std::min(count, begin + step));
    }
    return true;
}

// Runs `task` on a thread of its own and lets it be; when no thread can be
// had, `task` is destroyed unrun (and what it holds freed) here.
template <class Task>
void run_on_a_thread(Task&& task) {
    try {
        std::thread(std::forward<Task>(task)).detach();
    } catch (const std::exception&) {
        // The task, and with it what it holds, is freed as the exception leaves.
    }
}

// Frees `value` on a thread of its own; here when no thread can be had.
template <class Value>
void free_on_a_thread(Value&& value) {
    run_on_a_thread([held = std::move(value)]() mutable { const Value freed = std::move(held); });
}

// Gives the whole pages of [data, data + bytes), a buffer about to be freed,
// back to the system some megabytes at a time. Unmapping hundreds of
// megabytes in one call holds the process's memory map for tens of
// milliseconds, and while it does, no other thread of the process can grow
// its heap: the caller, which freed the buffer on a thread so as not to wait,
// would wait all the same.
void give_back_pages(void* data, std::size_t bytes);

// Has the C library (glibc) merge each small block as it is freed, rather
// than keep it in a fast bin, unless the user's GLIBC_TUNABLES set the fast
// bins. Each pass of a rewrite of millions of nodes frees millions of small
// blocks (its magnet caches); kept in fast bins, all of them are merged at
// the next large allocation or free, a tenth of a second that no poll can
// break into. The per-thread caches still serve small blocks first.
// Process-wide: a host calls it once, before its first call.
void merge_small_blocks_when_freed();

// Destroys the elements of `values` and frees its buffer, leaving it empty.
// Even moved from, an element with a destructor costs a call: millions of
// them are destroyed in polled steps, from the back. What is left when the
// poll asks to stop, and a large buffer, is freed on a thread of its own.
template <class T>
void release_polled(std::vector<T>& values, StopPoll* stop) {
    if constexpr (std::is_trivially_destructible_v<T>) {
        values.clear();
    } else {
        const std::size_t count = values.size();
        in_polled_steps(count, polled_step<T>(), stop, [&](std::size_t begin, std::size_t end) {
            values.erase(values.end() - static_cast<std::ptrdiff_t>(end - begin), values.end());
        });
    }
    if (values.empty() && values.capacity() * sizeof(T) < kLargeBufferBytes) {
        std::vector<T>().swap(values);
        return;
    }
    run_on_a_thread([held = std::move(values)]() mutable {
        held.clear();
        give_back_pages(held.data(), held.capacity() * sizeof(T));
    });
}

// Moves the elements of `values` into a buffer of `capacity` elements (at
// least their count), as values.reserve(capacity) does, moving them in polled
// steps and then releasing the old buffer (release_polled). False when the
// poll asked to stop before all were moved: `values` then keeps its buffer,
// the elements already moved left moved from (for trivially copyable ones,
// unchanged), and the new buffer is freed. If allocating throws, nothing has
// changed.
template <class T>
bool relocate_polled(std::vector<T>& values, std::size_t capacity, StopPoll* stop) {
    if (values.capacity() <= polled_step<T>()) {
        values.reserve(capacity);
        return true;
    }
    std::vector<T> moved;
    moved.reserve(capacity);
    const bool all_moved = in_polled_steps(values.size(), polled_step<T>(), stop, [&](std::size_t begin, std::size_t end) {
        const auto first = values.begin() + static_cast<std::ptrdiff_t>(begin);
        moved.insert(moved.end(), std::make_move_iterator(first),
                     std::make_move_iterator(first + static_cast<std::ptrdiff_t>(end - begin)));
    });
    if (all_moved) values.swap(moved);
    release_polled(moved, stop);
    return all_moved;
}

// grow_polled for a vector that must grow: apart, so that the question
// whether it must stays small enough to be inlined.
template <class T>
bool grow_vector_polled(std::vector<T>& values, std::size_t size, const T& value, StopPoll* stop) {
    if (size <= polled_step<T>()) {
        values.resize(size, value);
        return true;
    }
    if (size > values.capacity() && !relocate_polled(values, std::max(size, 2 * values.size()), stop)) return false;
    const std::size_t held = values.size();
    return in_polled_steps(size - held, polled_step<T>(), stop,
                           [&](std::size_t, std::size_t end) { values.resize(held + end, value); });
}

// Grows `values` to `size` elements (when it holds fewer), the new ones
// copies of `value`, with the room values.resize(size, value) would give it:
// relocated in polled steps when it must move, then filled in polled steps.
// False when the poll asked to stop; `values` then holds its elements and
// perhaps some of the new ones, all valid.
template <class T>
bool grow_polled(std::vector<T>& values, std::size_t size, const std::type_identity_t<T>& value, StopPoll* stop) {
    return size <= values.size() || grow_vector_polled(values, size, value, stop);
}

// Sorts indices ascending, as std::sort does, asking `stop` as it goes: a
// region of hundreds of thousands of nodes takes std::sort tens of
// milliseconds. Beyond a few thousand, a radix sort by bytes whose passes go
// in polled steps, using `buffer` (which it leaves in any state) for room.
// False when the poll asked to stop: `values` then holds its indices in some
// order.
bool sort_indices_polled(std::vector<std::uint32_t>& values, std::vector<std::uint32_t>& buffer, StopPoll* stop);

// What zeroed_string_polled does beyond what one step covers.
std::optional<std::string> zeroed_string_in_polled_steps(std::size_t size, StopPoll* stop);

// A string of `size` zero bytes, with the room std::string(size, '\0') gives
// it, filled in polled steps: the page faults of a text of hundreds of
// megabytes take tens of milliseconds. Nothing when the poll asked to stop.
inline std::optional<std::string> zeroed_string_polled(std::size_t size, StopPoll* stop) {
    if (size > kPolledStepBytes) return zeroed_string_in_polled_steps(size, stop);
    return std::optional<std::string>(std::in_place, size, '\0');
}

}  // namespace quorl
