#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "interrupt.h"

// ---- Progress of long work -------------------------------------------------------------------
//
// The compressor and the decompressor tell how far their long steps have come through this
// interface and know nothing of how, or whether, it is shown: the console draws a bar, tests
// and benchmarks pass none. The work calls update() at most once per block of
// PROGRESS_BLOCK_BYTES, so one virtual call there costs nothing measurable.
class ProgressSink {
  public:
    // The work starts now: a wait before it, for the user say, is not part of it.
    virtual void begin() = 0;
    // Begins a step of `total` bytes, named by `label` (a text that outlives the step).
    virtual void start(const char* label, uint64_t total) = 0;
    // `done` bytes of the step are finished.
    virtual void update(uint64_t done) = 0;
    // Called before the work prints a line, so that the line is not drawn over.
    virtual void clear() = 0;

  protected:
    ~ProgressSink() = default;
};

// Long steps go through their data in blocks of this many bytes, with a progress check
// between two blocks and none inside one.
inline constexpr size_t PROGRESS_BLOCK_BYTES = size_t{4} << 20;

// Hands `fn(offset, length)` the range [0, size) in blocks of PROGRESS_BLOCK_BYTES and notes
// each finished block in `progress` (null: nowhere), so that one long call becomes short
// ones with a cheap check between them, where an interrupt is noticed too. Stops at the
// first block for which fn returns false, and returns false then.
template <typename Fn>
bool run_in_blocks(size_t size, ProgressSink* progress, Fn&& fn) {
    for (size_t offset = 0; offset < size;) {
        check_interrupt();
        size_t length = std::min(size - offset, PROGRESS_BLOCK_BYTES);
        if (!fn(offset, length))
            return false;
        offset += length;
        if (progress != nullptr)
            progress->update(offset);
    }
    return true;
}

// Shows nothing: where nobody watches the work.
class NoProgress final : public ProgressSink {
  public:
    void begin() override {}
    void start(const char*, uint64_t) override {}
    void update(uint64_t) override {}
    void clear() override {}
};
