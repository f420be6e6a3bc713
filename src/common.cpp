#include "common.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>

#include "resources.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#endif

// ---- Files by name ---------------------------------------------------------------------------

#ifdef _WIN32

namespace {

// The UTF-16 form of a UTF-8 name; false when the name is not valid UTF-8.
bool widen(const char* utf8, std::wstring* wide) {
    wide->clear();
    int length = static_cast<int>(std::strlen(utf8));
    if (length == 0)
        return true;
    int count = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, length, nullptr, 0);
    if (count <= 0)
        return false;
    wide->resize(static_cast<size_t>(count));
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, length, wide->data(), count) ==
           count;
}

bool narrow(const std::wstring& wide, std::string* utf8) {
    utf8->clear();
    if (wide.empty())
        return true;
    int length = static_cast<int>(wide.size());
    int count = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), length, nullptr, 0,
                                    nullptr, nullptr);
    if (count <= 0)
        return false;
    utf8->resize(static_cast<size_t>(count));
    return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), length, utf8->data(),
                               count, nullptr, nullptr) == count;
}

}  // namespace

bool seek_file(std::FILE* file, int64_t offset, int origin) {
    return _fseeki64(file, offset, origin) == 0;
}

int64_t tell_file(std::FILE* file) {
    return _ftelli64(file);
}

std::FILE* open_file(const char* name, const char* mode) {
    std::wstring wide_name, wide_mode;
    if (!widen(name, &wide_name) || !widen(mode, &wide_mode)) {
        errno = EINVAL;
        return nullptr;
    }
    return _wfopen(wide_name.c_str(), wide_mode.c_str());
}

std::FILE* create_new_file(const char* name, const char* mode) {
    std::wstring wide_name;
    if (!widen(name, &wide_name)) {
        errno = EINVAL;
        return nullptr;
    }
    // Not every Windows C runtime honours fopen's "x"; the flags of the lower level do.
    const bool text = std::strchr(mode, 'b') == nullptr;
    int fd =
        _wopen(wide_name.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | (text ? _O_TEXT : _O_BINARY),
               _S_IREAD | _S_IWRITE);
    if (fd < 0)
        return nullptr;
    std::FILE* file = _fdopen(fd, mode);
    if (file == nullptr)
        _close(fd);
    return file;
}

bool remove_file(const char* name) {
    std::wstring wide_name;
    return widen(name, &wide_name) && _wremove(wide_name.c_str()) == 0;
}

bool rename_file(const char* from, const char* to) {
    std::wstring wide_from, wide_to;
    return widen(from, &wide_from) && widen(to, &wide_to) &&
           MoveFileExW(wide_from.c_str(), wide_to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool is_directory(const char* name) {
    std::wstring wide_name;
    if (!widen(name, &wide_name))
        return false;
    DWORD attributes = GetFileAttributesW(wide_name.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

int64_t file_size_on_disk(const char* name) {
    std::wstring wide_name;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!widen(name, &wide_name) ||
        !GetFileAttributesExW(wide_name.c_str(), GetFileExInfoStandard, &data))
        return -1;
    return static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) |
                                data.nFileSizeLow);
}

uint64_t text_size_on_disk(const char* text, size_t size) {
    return size + static_cast<uint64_t>(std::count(text, text + size, '\n'));
}

// A link is followed by asking the system which file opening it reaches. A link to nothing
// reaches no file and is refused: where it would lead cannot be told for sure, and nothing
// may be written to a place the user did not name.
bool resolve_output_name(const std::string& name, std::string* target) {
    std::wstring wide_name;
    if (!widen(name.c_str(), &wide_name))
        return false;
    DWORD attributes = GetFileAttributesW(wide_name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        *target = name;
        return true;
    }
    HANDLE handle =
        CreateFileW(wide_name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    std::wstring final_name(MAX_PATH, L'\0');
    DWORD length = 0;
    for (;;) {
        length = GetFinalPathNameByHandleW(handle, final_name.data(),
                                           static_cast<DWORD>(final_name.size()), VOLUME_NAME_DOS);
        if (length < final_name.size())
            break;
        final_name.resize(length);  // too small: length is the size needed
    }
    CloseHandle(handle);
    if (length == 0)
        return false;
    final_name.resize(length);
    return narrow(final_name, target);
}

#else

bool seek_file(std::FILE* file, int64_t offset, int origin) {
    return fseeko(file, static_cast<off_t>(offset), origin) == 0;
}

int64_t tell_file(std::FILE* file) {
    return static_cast<int64_t>(ftello(file));
}

std::FILE* open_file(const char* name, const char* mode) {
    return std::fopen(name, mode);
}

std::FILE* create_new_file(const char* name, const char* mode) {
    return std::fopen(name, (std::string(mode) + "x").c_str());
}

bool remove_file(const char* name) {
    return std::remove(name) == 0;
}

bool rename_file(const char* from, const char* to) {
    std::error_code error;
    std::filesystem::rename(from, to, error);
    return !error;
}

bool is_directory(const char* name) {
    std::error_code ignored;
    return std::filesystem::is_directory(name, ignored);
}

int64_t file_size_on_disk(const char* name) {
    std::error_code error;
    uintmax_t size = std::filesystem::file_size(name, error);
    return error ? -1 : static_cast<int64_t>(size);
}

uint64_t text_size_on_disk([[maybe_unused]] const char* text, size_t size) {
    return size;
}

bool resolve_output_name(const std::string& name, std::string* target) {
    namespace fs = std::filesystem;
    fs::path path = name;
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code error;
        if (!fs::is_symlink(path, error)) {
            *target = path.string();
            return true;
        }
        fs::path link = fs::read_symlink(path, error);
        if (error)
            return false;
        path = link.is_absolute() ? link : path.parent_path() / link;
    }
    return false;
}

#endif

namespace {

// Record x ranks above record y: larger frequency, or the smaller byte at equal frequency.
bool ranks_above(const FrequencyItem& x, const FrequencyItem& y) {
    if (x.frequency != y.frequency)
        return x.frequency > y.frequency;
    return x.byte < y.byte;
}

// Size of an open file from its end position (64-bit); SIZE_MAX when that cannot be taken.
size_t open_file_size(std::FILE* file) {
    int64_t end = end_position(file);
    if (end < 0)
        return SIZE_MAX;
    return static_cast<size_t>(end);
}

}  // namespace

uint64_t fnv1a_64(const void* data, size_t len) {
    return fnv1a_64_extend(FNV_OFFSET, data, len);
}

uint64_t fnv1a_64_extend(uint64_t hash, const void* data, size_t len) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < len; ++i)
        hash = fnv1a_step(hash, bytes[i]);
    return hash;
}

size_t get_file_size(const char* filename) {
    FilePtr file(open_file(filename, "rb"));
    if (!file)
        return 0;
    return open_file_size(file.get());
}

int read_file_content(const char* filename, unsigned char** content, size_t* size) {
    *size = get_file_size(filename);
    if (*size == 0 || *size == SIZE_MAX)
        return -1;
    // Released by the caller with std::free, as the contract promises.
    auto* buffer = static_cast<unsigned char*>(std::malloc(*size));
    if (buffer == nullptr)
        return -1;
    FilePtr file(open_file(filename, "rb"));
    if (!file || read_fully(buffer, *size, file.get()) != *size) {
        std::free(buffer);
        return -1;
    }
    *content = buffer;
    return 0;
}

void heapify(FrequencyItem* arr, size_t n, size_t i) {
    // Iterative sift-down: the same swaps as the recursive definition, without its depth.
    for (;;) {
        size_t largest = i;
        size_t left = 2 * i + 1;
        size_t right = 2 * i + 2;
        if (left < n && ranks_above(arr[left], arr[largest]))
            largest = left;
        if (right < n && ranks_above(arr[right], arr[largest]))
            largest = right;
        if (largest == i)
            return;
        std::swap(arr[i], arr[largest]);
        i = largest;
    }
}

void heap_sort(FrequencyItem* arr, size_t n) {
    for (size_t i = n / 2; i-- > 0;)
        heapify(arr, n, i);
    for (size_t i = n; i-- > 1;) {
        std::swap(arr[0], arr[i]);
        heapify(arr, i, 0);
    }
}
