#pragma once

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <random>
#include <string>

#ifndef _WIN32
#include <sys/mman.h>
#endif

struct FileCloser {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// ---- Files by name ---------------------------------------------------------------------------
//
// Every file the program opens, creates, removes or renames goes through these functions
// (defined in common.cpp). Names are UTF-8, as typed. On Windows they are converted to UTF-16
// and handed to the wide-character calls, since the narrow ones read bytes in the ANSI code
// page; a name that is not valid UTF-8 is refused there. Elsewhere they reach the system as
// they are.

// As std::fopen; null on failure.
std::FILE* open_file(const char* name, const char* mode);

// Creates `name` for writing with `mode` ("wb" or "w") only if nothing of that name exists,
// so that no existing file is ever opened in its place. Null on failure, with errno EEXIST
// when the name is taken.
std::FILE* create_new_file(const char* name, const char* mode);

// Removes a file; false when it cannot.
bool remove_file(const char* name);

// Renames `from` to `to`, replacing a file named `to`; false when that fails.
bool rename_file(const char* from, const char* to);

// Whether `name` is a folder, or a link to one.
bool is_directory(const char* name);

// The size of a file as stored, or -1 when it cannot be taken.
int64_t file_size_on_disk(const char* name);

// What `size` bytes of text written through a text-mode ("w") stream occupy on disk: the
// same bytes here, one more per line feed where the C runtime writes CR LF.
uint64_t text_size_on_disk(const char* text, size_t size);

// Sets *target to the file that opening `name` for writing would write: `name` itself, or,
// when it is a symbolic link, the file it leads to. False when that cannot be told (a chain of
// links too long to follow; on Windows a link to nothing).
bool resolve_output_name(const std::string& name, std::string* target);

// Where the last component of a path begins: after its last folder separator, which on
// Windows is either slash.
inline size_t file_name_start(const std::string& path) {
#ifdef _WIN32
    size_t slash = path.find_last_of("/\\");
#else
    size_t slash = path.find_last_of('/');
#endif
    return slash == std::string::npos ? 0 : slash + 1;
}

// Some C runtimes fail a single read or write of 2 GiB or more, so large buffers go through
// the stream in pieces of at most this many bytes.
inline constexpr size_t IO_PIECE_BYTES = size_t{1} << 30;

// Reads up to `size` bytes in pieces; the number read, fewer at the end of the file or on an
// error.
inline size_t read_fully(void* data, size_t size, std::FILE* file) {
    auto* bytes = static_cast<unsigned char*>(data);
    size_t total = 0;
    while (total < size) {
        size_t piece = std::min(size - total, IO_PIECE_BYTES);
        size_t got = std::fread(bytes + total, 1, piece, file);
        total += got;
        if (got < piece)
            break;
    }
    return total;
}

// Writes all `size` bytes in pieces; false on a short write.
inline bool write_fully(const void* data, size_t size, std::FILE* file) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (size_t done = 0; done < size;) {
        size_t piece = std::min(size - done, IO_PIECE_BYTES);
        if (std::fwrite(bytes + done, 1, piece, file) != piece)
            return false;
        done += piece;
    }
    return true;
}

// Seconds on a steady clock of the finest resolution the system offers, for timing a span:
// the processor clock ticks only every millisecond or so on some systems.
inline double seconds_now() {
    using Seconds = std::chrono::duration<double>;
    return std::chrono::duration_cast<Seconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Whether `count` objects of T could ever be one block: no object is larger than PTRDIFF_MAX
// bytes, and some allocators abort rather than fail on such a request.
template <typename T>
constexpr bool fits_one_block(size_t count) {
    return count <= static_cast<size_t>(PTRDIFF_MAX) / sizeof(T);
}

// Null on failure rather than a throw, so that the caller takes its own error path. The
// elements are value-initialised.
template <typename T>
std::unique_ptr<T[]> try_alloc(size_t count) {
    if (!fits_one_block<T>(count))
        return nullptr;  // g++ 12 throws bad_array_new_length here instead of returning null
    return std::unique_ptr<T[]>(new (std::nothrow) T[count]());
}

// Fresh memory is slow to touch one small page at a time (a few hundred MiB/s on the machines
// we run on); asking for huge pages makes the first touch of a big buffer many times faster.
// Only a hint: where the system does not take it, nothing changes.
inline void advise_huge_pages([[maybe_unused]] void* data, [[maybe_unused]] size_t size) {
#ifdef MADV_HUGEPAGE
    constexpr uintptr_t HUGE_PAGE_BYTES = uintptr_t{2} << 20;
    uintptr_t begin =
        (reinterpret_cast<uintptr_t>(data) + HUGE_PAGE_BYTES - 1) & ~(HUGE_PAGE_BYTES - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(data) + size) & ~(HUGE_PAGE_BYTES - 1);
    if (end > begin)
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
}

// As try_alloc, without zeroing: for buffers that are filled whole before they are read.
template <typename T>
std::unique_ptr<T[]> try_alloc_uninit(size_t count) {
    if (!fits_one_block<T>(count))
        return nullptr;
    std::unique_ptr<T[]> block(new (std::nothrow) T[count]);
    if (block)
        advise_huge_pages(block.get(), count * sizeof(T));
    return block;
}

// 64-bit file positions, so that files of 2 GiB or more are measured and read whole.
bool seek_file(std::FILE* file, int64_t offset, int origin);

// The current position, or -1 when it cannot be taken.
int64_t tell_file(std::FILE* file);

// The size of an open file from its end position, which the file is left at; -1 when it
// cannot be taken.
inline int64_t end_position(std::FILE* file) {
    return seek_file(file, 0, SEEK_END) ? tell_file(file) : -1;
}

// Counts byte values over any number of blocks. Four tables take turns, so that a run of one
// value does not wait on one counter; their sum is the plain count. The tables hold 32-bit
// counts, which keeps all four in the fastest cache, and are folded into the totals before
// any of them could overflow.
class ByteCounter {
  public:
    // `fold_bytes` is there for tests; the default keeps every table below 2^32.
    explicit ByteCounter(size_t fold_bytes = size_t{1} << 30) : fold_bytes_(fold_bytes) {}

    void add(const unsigned char* data, size_t size) {
        add(data, size, [](size_t, unsigned char) {});
    }

    // Counts the bytes and hands each to `visit(index, value)` in order, in the same loop:
    // work that waits on each byte before the next (a hash) costs the counting nothing.
    template <typename Visit>
    void add(const unsigned char* data, size_t size, Visit&& visit) {
        for (size_t done = 0; done < size;) {
            if (since_fold_ == fold_bytes_)
                fold();
            size_t piece = std::min(size - done, fold_bytes_ - since_fold_);
            add_piece(data + done, piece,
                      [&](size_t i, unsigned char value) { visit(done + i, value); });
            done += piece;
            since_fold_ += piece;
        }
    }

    size_t count(size_t value) const {
        return totals_[value] + partial_[0][value] + partial_[1][value] + partial_[2][value] +
               partial_[3][value];
    }

  private:
    template <typename Visit>
    void add_piece(const unsigned char* data, size_t size, Visit&& visit) {
        size_t i = 0;
        for (; size - i >= 4; i += 4) {
            for (size_t k = 0; k < 4; ++k) {
                ++partial_[k][data[i + k]];
                visit(i + k, data[i + k]);
            }
        }
        for (; i < size; ++i) {
            ++partial_[0][data[i]];
            visit(i, data[i]);
        }
    }

    void fold() {
        for (size_t value = 0; value < 256; ++value) {
            for (auto& table : partial_) {
                totals_[value] += table[value];
                table[value] = 0;
            }
        }
        since_fold_ = 0;
    }

    std::array<std::array<uint32_t, 256>, 4> partial_{};
    std::array<size_t, 256> totals_{};
    size_t fold_bytes_;
    size_t since_fold_ = 0;
};

// An output file that appears under its final name whole or not at all. It is written under
// a temporary name in the same folder and renamed over the final name by commit(); until
// then an earlier file of that name stays as it was, and the destructor removes the
// temporary of an output that was never committed.
class PendingFile {
  public:
    explicit PendingFile(std::string final_name) : final_name_(std::move(final_name)) {}
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    ~PendingFile() {
        file_.reset();
        if (!temp_name_.empty() && !committed_)
            remove_file(temp_name_.c_str());
    }

    // Creates the temporary with `mode` ("wb" or "w"); false when it cannot be created, or
    // when the final name could not be opened for writing (a folder, a link to nowhere).
    bool open(const char* mode) {
        if (!resolve_output_name(final_name_, &target_) || is_directory(target_.c_str()))
            return false;
        text_ = std::string(mode).find('b') == std::string::npos;
        // The temporary's last component is as long as the final one, so a name that the
        // file system refuses is refused here, before anything is written or replaced. Its
        // marker takes the place of whole characters: a UTF-8 sequence cut in two would make
        // a name that cannot be converted for the system.
        size_t base = file_name_start(target_);
        std::string dir = target_.substr(0, base);
        std::string leaf = target_.substr(base);
        constexpr size_t MARKER_BYTES = 8;  // "." and at least seven random characters
        size_t cut = std::min(MARKER_BYTES, leaf.size());
        while (cut < leaf.size() && (static_cast<unsigned char>(leaf[cut]) & 0xC0) == 0x80)
            ++cut;
        std::string rest = leaf.substr(cut);
        std::random_device seed;
        std::mt19937 rng(seed());
        static constexpr char MARKER_CHARS[] = "abcdefghijklmnopqrstuvwxyz0123456789";
        for (int attempt = 0; attempt < 32; ++attempt) {
            std::string marker = ".";
            for (size_t i = 1; i < std::max(MARKER_BYTES, cut); ++i)
                marker += MARKER_CHARS[rng() % (sizeof(MARKER_CHARS) - 1)];
            std::string candidate = dir + marker + rest;
            errno = 0;
            file_.reset(create_new_file(candidate.c_str(), mode));
            if (file_) {
                temp_name_ = candidate;
                return true;
            }
            if (errno != EEXIST)
                return false;
        }
        return false;
    }

    // Writes all `size` bytes; false on a short write.
    bool write(const void* data, size_t size) {
        if (!file_ || !write_fully(data, size, file_.get()))
            return false;
        expected_size_ += text_ ? text_size_on_disk(static_cast<const char*>(data), size) : size;
        return true;
    }

    // Flushes and closes the temporary; false when anything buffered could not be written,
    // or when the file on disk is not as long as what was written: a C runtime may count a
    // short write as whole, and such a file must never replace a good one.
    bool close() {
        if (!file_)
            return false;
        bool ok = std::ferror(file_.get()) == 0;
        ok = std::fclose(file_.release()) == 0 && ok;
        int64_t on_disk = file_size_on_disk(temp_name_.c_str());
        return ok && on_disk >= 0 && static_cast<uint64_t>(on_disk) == expected_size_;
    }

    // Renames the closed temporary over the final name; false when that fails.
    bool commit() {
        if (file_ || temp_name_.empty())
            return false;
        committed_ = rename_file(temp_name_.c_str(), target_.c_str());
        return committed_;
    }

  private:
    std::string final_name_;
    std::string target_;  // final_name_ with symbolic links followed
    std::string temp_name_;
    FilePtr file_;
    bool text_ = false;
    uint64_t expected_size_ = 0;  // bytes written, as stored on disk
    bool committed_ = false;
};
