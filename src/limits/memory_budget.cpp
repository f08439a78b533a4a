#include "limits/memory_budget.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string_view>

namespace quorl {

namespace {

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

std::uint64_t share_of(std::uint64_t bytes) { return bytes / kMachineShareDenominator * kMachineShareNumerator; }

// The value of one "Key:   123 kB" line of a /proc file, in bytes.
std::optional<std::uint64_t> proc_kib_field(const char* path, std::string_view key) {
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        if (line.size() <= key.size() || line.compare(0, key.size(), key) != 0 || line[key.size()] != ':') continue;
        return std::stoull(line.substr(key.size() + 1)) << 10;
    }
    return std::nullopt;
}

std::uint64_t available_memory() {
    if (const auto available = proc_kib_field("/proc/meminfo", "MemAvailable")) return *available;
    const long pages = ::sysconf(_SC_AVPHYS_PAGES);
    const long page_size = ::sysconf(_SC_PAGESIZE);
    if (pages > 0 && page_size > 0) return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
    return UINT64_MAX;
}

// What the address-space limit leaves beside what the process has mapped.
std::optional<std::uint64_t> address_space_left() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return std::nullopt;
    const std::uint64_t mapped = proc_kib_field("/proc/self/status", "VmSize").value_or(0);
    const auto cap = static_cast<std::uint64_t>(limit.rlim_cur);
    return cap > mapped ? cap - mapped : 0;
}

}  // namespace

std::uint64_t machine_memory_budget() {
    std::uint64_t budget = share_of(available_memory());
    if (const auto left = address_space_left()) budget = std::min(budget, share_of(*left));
    return budget;
}

std::uint64_t MemoryBudget::limit() {
    if (!limit_) limit_ = machine_memory_budget();
    return *limit_;
}

bool MemoryBudget::fits(std::uint64_t bytes) {
    const std::uint64_t total = saturating_add(held_, bytes);
    if (!limit_ && total <= kUnreadMachineBytes) return true;
    return total <= limit();
}

bool MemoryBudget::fits_unread(std::uint64_t bytes) const {
    return saturating_add(held_, bytes) <= limit_.value_or(kUnreadMachineBytes);
}

void MemoryBudget::take(std::uint64_t bytes) { held_ = saturating_add(held_, bytes); }

void MemoryBudget::give_back(std::uint64_t bytes) { held_ -= std::min(held_, bytes); }

bool MemoryHold::try_take(std::uint64_t bytes) {
    if (budget_ == nullptr) return true;
    if (!budget_->fits(bytes)) return false;
    budget_->take(bytes);
    bytes_ = saturating_add(bytes_, bytes);
    return true;
}

std::string format_bytes(std::uint64_t bytes) {
    if (bytes < 1000) return std::to_string(bytes) + " bytes";
    if (bytes == UINT64_MAX) return "more than 18 EB";  // a count that saturated
    static constexpr const char* kUnits[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
    double value = static_cast<double>(bytes) / 1000.0;
    std::size_t unit = 0;
    while (value >= 1000.0 && unit + 1 < std::size(kUnits)) {
        value /= 1000.0;
        ++unit;
    }
    char text[32];
    // Three significant digits.
    std::snprintf(text, sizeof text, value < 10.0 ? "%.2f %s" : value < 100.0 ? "%.1f %s" : "%.0f %s", value,
                  kUnits[unit]);
    return text;
}

std::string beyond_budget_message(std::string_view step, std::uint64_t bytes, MemoryBudget& budget) {
    return std::string(step) + " needs " + format_bytes(bytes) + " more, beyond the memory budget of " +
           format_bytes(budget.limit());
}

Result<void> check_fits(MemoryBudget* budget, std::uint64_t bytes, std::string_view step) {
    if (budget == nullptr || budget->fits(bytes)) return {};
    return out_of_memory_error(beyond_budget_message(step, bytes, *budget));
}

Result<void> take_or_fail(MemoryHold& hold, std::uint64_t bytes, std::string_view step) {
    if (hold.try_take(bytes)) return {};
    return out_of_memory_error(beyond_budget_message(step, bytes, *hold.budget()));
}

bool fits_or_stop(StopPoll& stop, std::uint64_t bytes, std::string_view step) {
    Result<void> fits = check_fits(stop.memory_budget(), bytes, step);
    if (!fits) stop.stop_with(std::move(fits.error()));
    return fits.has_value();
}

}  // namespace quorl
