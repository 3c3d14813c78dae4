#pragma once

// Memory of one call: the resident peak it adds, measured, and the peak of the plain composition's full
// shaped waveform, estimated before deciding whether that composition can run at all.

#include "SparseWaveform.h"

#include <malloc.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace velmora::bench {

// A field of /proc/self/status in KiB, or -1 where it cannot be read.
long status_kib(const char* key);

// Resets the kernel's resident high-water mark (VmHWM) to the current resident size.
bool reset_peak_rss();

// Resident memory that `call` adds at its peak, in MiB; nullopt where the mark cannot be reset. Freed
// heap is handed back first, so that the call cannot hide its peak in memory left over from earlier work.
template <typename F>
std::optional<double> peak_mib(F&& call) {
    malloc_trim(0);
    const bool reset = reset_peak_rss();
    const long before = status_kib("VmRSS");
    call();
    const long peak = status_kib("VmHWM");
    if (!reset || before < 0 || peak < 0) {
        return std::nullopt;
    }
    return static_cast<double>(std::max(0L, peak - before)) / 1024.0;
}

// MemAvailable of /proc/meminfo in GiB, 0 where it cannot be read.
double available_gib();

// Resident entries while a vector grows to n entries by appending: the last reallocation holds the old
// buffer of the largest power of two below n and its moved copy at once.
double growth_peak_entries(std::size_t n);

// Number of entries of the full convolution of `w` with `taps` taps landing `spacing` grid steps apart:
// at most taps per entry, and at most the indices that the tap ranges cover.
std::size_t convolution_entries(const SparseWaveform<double>& w, std::size_t taps, std::int64_t spacing);

} // namespace velmora::bench
