#include "util.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

// ---- What the platform decides ---------------------------------------------

#ifdef _WIN32
#ifndef NOMINMAX  // std::min, not a macro (MinGW-w64's C++ library sets it already)
#define NOMINMAX
#endif
#include <windows.h>

// These need windows.h first.
#include <direct.h>
#include <shellapi.h>

#include <filesystem>

namespace {

// A UTF-8 text as UTF-16; nullopt when it is no valid UTF-8.
std::optional<std::wstring> to_wide(const char* text) {
    const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (size == 0) {
        return std::nullopt;
    }
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide.data(), size);
    wide.pop_back();  // the terminator that the count included
    return wide;
}

// A UTF-16 text as UTF-8; nullopt when it is no valid UTF-16 (a lone surrogate,
// which a file name may hold but no UTF-8 name could reach again).
std::optional<std::string> to_utf8(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, nullptr, 0, nullptr, nullptr);
    if (size == 0) {
        return std::nullopt;
    }
    std::string utf8(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, utf8.data(), size, nullptr, nullptr);
    utf8.pop_back();
    return utf8;
}

}  // namespace

const char directory_separator = '\\';

bool open_standard_streams() { return true; }

// The narrow arguments went through the legacy code page, which turns a name
// outside it into another name; the UTF-16 command line holds them as they are.
std::optional<std::vector<std::string>> program_arguments(int, char*[]) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        return std::nullopt;
    }
    std::optional<std::vector<std::string>> arguments(std::in_place);
    for (int i = 1; i < count && arguments; ++i) {
        if (auto argument = to_utf8(wide[i])) {
            arguments->push_back(std::move(*argument));
        } else {
            arguments.reset();
        }
    }
    LocalFree(wide);
    return arguments;
}

std::FILE* open_file(const char* name, const char* mode) {
    const auto wide_name = to_wide(name);
    const auto wide_mode = to_wide(mode);
    if (!wide_name || !wide_mode) {
        errno = EINVAL;
        return nullptr;
    }
    return _wfopen(wide_name->c_str(), wide_mode->c_str());
}

void make_dir(const char* path) {
    if (const auto wide = to_wide(path)) {
        _wmkdir(wide->c_str());
    }
}

// The file system's own comparison; any error while comparing means not the same.
bool same_file(const char* first, const char* second) {
    const auto wide_first = to_wide(first);
    const auto wide_second = to_wide(second);
    std::error_code ignored;
    return wide_first && wide_second && std::filesystem::equivalent(*wide_first, *wide_second, ignored);
}

void print_text(const std::string& text) {
    const HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    const auto wide = to_wide(text.c_str());
    if (wide && GetConsoleMode(handle, &mode) != 0) {
        std::fflush(stdout);
        DWORD written = 0;
        if (WriteConsoleW(handle, wide->data(), static_cast<DWORD>(wide->size()), &written, nullptr) != 0) {
            return;
        }
    }
    std::fputs(text.c_str(), stdout);
}

#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const char directory_separator = '/';

bool open_standard_streams() {
    // Opened in turn from 0 up, each takes the lowest free descriptor: its own.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", fd == 2 ? O_WRONLY : O_RDONLY) != fd) {
            return false;
        }
    }
    return true;
}

std::optional<std::vector<std::string>> program_arguments(int argc, char* argv[]) {
    return std::vector<std::string>(argv + std::min(argc, 1), argv + argc);
}

std::FILE* open_file(const char* name, const char* mode) { return std::fopen(name, mode); }

void make_dir(const char* path) { mkdir(path, 0777); }

// One device and inode number is one file, whatever its type: a regular file
// or a device, reached through any hard or symbolic link.
bool same_file(const char* first, const char* second) {
    struct stat a {};
    struct stat b {};
    return stat(first, &a) == 0 && stat(second, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

void print_text(const std::string& text) { std::fputs(text.c_str(), stdout); }
#endif

// ---- Fatal reports ------------------------------------------------------

namespace {

void print_site(check_site site, const char* operation) {
    std::fprintf(stderr, "%s:%d:%s:%s: ", site.file, site.line, site.function, operation);
    std::fflush(stderr);
}

}  // namespace

// The error number is taken on entry: the flushes before perror may fail and
// overwrite it, and the report must name the error of the call that failed.
void fail_errno_at(check_site site, const char* operation) {
    const int error = errno;
    std::fflush(stdout);
    print_site(site, operation);
    errno = error;
    std::perror(nullptr);
    std::exit(1);
}

void fail_stream_at(check_site site, std::FILE* stream, const char* operation) {
    const int error = errno;
    std::fflush(stdout);
    print_site(site, operation);
    if (std::feof(stream) != 0) {
        std::fputs("unexpected EOF\n", stderr);
    } else {
        errno = error;
        std::perror(operation);
    }
    std::exit(1);
}

void fail_message_at(check_site site, const char* message) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s:%d:%s: %s\n", site.file, site.line, site.function, message);
    std::exit(1);
}

// ---- Byte order in memory -----------------------------------------------

namespace {

template <std::size_t N>
std::uint64_t load_be(std::span<const std::uint8_t, N> bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < N; ++i) {
        value = (value << 8) | static_cast<std::uint64_t>(bytes[i]);
    }
    return value;
}

template <std::size_t N>
std::uint64_t load_le(std::span<const std::uint8_t, N> bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = N; i-- > 0;) {
        value = (value << 8) | static_cast<std::uint64_t>(bytes[i]);
    }
    return value;
}

template <std::size_t N>
void store_be(std::uint64_t value, std::span<std::uint8_t, N> bytes) {
    for (std::size_t i = N; i-- > 0;) {
        bytes[i] = static_cast<std::uint8_t>(value & 0xFF);
        value >>= 8;
    }
}

template <std::size_t N>
void store_le(std::uint64_t value, std::span<std::uint8_t, N> bytes) {
    for (std::size_t i = 0; i < N; ++i) {
        bytes[i] = static_cast<std::uint8_t>(value & 0xFF);
        value >>= 8;
    }
}

}  // namespace

std::uint16_t read_16_be(std::span<const std::uint8_t, 2> source) {
    return static_cast<std::uint16_t>(load_be(source));
}
std::uint16_t read_16_le(std::span<const std::uint8_t, 2> source) {
    return static_cast<std::uint16_t>(load_le(source));
}
std::uint32_t read_32_be(std::span<const std::uint8_t, 4> source) {
    return static_cast<std::uint32_t>(load_be(source));
}
std::uint32_t read_32_le(std::span<const std::uint8_t, 4> source) {
    return static_cast<std::uint32_t>(load_le(source));
}
std::uint64_t read_64_be(std::span<const std::uint8_t, 8> source) { return load_be(source); }

void write_16_be(std::uint16_t value, std::span<std::uint8_t, 2> destination) { store_be(value, destination); }
void write_16_le(std::uint16_t value, std::span<std::uint8_t, 2> destination) { store_le(value, destination); }
void write_32_be(std::uint32_t value, std::span<std::uint8_t, 4> destination) { store_be(value, destination); }
void write_32_le(std::uint32_t value, std::span<std::uint8_t, 4> destination) { store_le(value, destination); }

// ---- Checked stream operations --------------------------------------------
//
// These macros expand inside each operation, so that a report names the
// operation in which the failed call stands.

#define SEEK_OR_FAIL(offset, stream)                         \
    do {                                                     \
        if (std::fseek((stream), (offset), SEEK_SET) != 0) { \
            fail_with_errno("fseek");                        \
        }                                                    \
    } while (false)

#define READ_OR_FAIL(stream, data, count)                          \
    do {                                                           \
        if (std::fread((data), 1, (count), (stream)) != (count)) { \
            fail_with_stream((stream), "fread");                   \
        }                                                          \
    } while (false)

#define WRITE_OR_FAIL(stream, data, count)                          \
    do {                                                            \
        if (std::fwrite((data), 1, (count), (stream)) != (count)) { \
            fail_with_stream((stream), "fwrite");                   \
        }                                                           \
    } while (false)

std::uint8_t get_byte(std::FILE* stream) {
    std::array<std::uint8_t, 1> bytes{};
    READ_OR_FAIL(stream, bytes.data(), bytes.size());
    return bytes[0];
}

std::uint16_t get_16_be(std::FILE* stream) {
    std::array<std::uint8_t, 2> bytes{};
    READ_OR_FAIL(stream, bytes.data(), bytes.size());
    return read_16_be(bytes);
}

std::uint16_t get_16_le(std::FILE* stream) {
    std::array<std::uint8_t, 2> bytes{};
    READ_OR_FAIL(stream, bytes.data(), bytes.size());
    return read_16_le(bytes);
}

std::uint32_t get_32_be(std::FILE* stream) {
    std::array<std::uint8_t, 4> bytes{};
    READ_OR_FAIL(stream, bytes.data(), bytes.size());
    return read_32_be(bytes);
}

std::uint32_t get_32_le(std::FILE* stream) {
    std::array<std::uint8_t, 4> bytes{};
    READ_OR_FAIL(stream, bytes.data(), bytes.size());
    return read_32_le(bytes);
}

std::uint64_t get_64_be(std::FILE* stream) {
    std::array<std::uint8_t, 8> bytes{};
    READ_OR_FAIL(stream, bytes.data(), bytes.size());
    return read_64_be(bytes);
}

void get_bytes(std::FILE* stream, std::uint8_t* buffer, std::size_t count) { READ_OR_FAIL(stream, buffer, count); }

void put_byte(std::uint8_t value, std::FILE* stream) {
    const std::array<std::uint8_t, 1> bytes{value};
    WRITE_OR_FAIL(stream, bytes.data(), bytes.size());
}

void put_16_be(std::uint16_t value, std::FILE* stream) {
    std::array<std::uint8_t, 2> bytes{};
    write_16_be(value, bytes);
    WRITE_OR_FAIL(stream, bytes.data(), bytes.size());
}

void put_16_le(std::uint16_t value, std::FILE* stream) {
    std::array<std::uint8_t, 2> bytes{};
    write_16_le(value, bytes);
    WRITE_OR_FAIL(stream, bytes.data(), bytes.size());
}

void put_32_be(std::uint32_t value, std::FILE* stream) {
    std::array<std::uint8_t, 4> bytes{};
    write_32_be(value, bytes);
    WRITE_OR_FAIL(stream, bytes.data(), bytes.size());
}

void put_32_le(std::uint32_t value, std::FILE* stream) {
    std::array<std::uint8_t, 4> bytes{};
    write_32_le(value, bytes);
    WRITE_OR_FAIL(stream, bytes.data(), bytes.size());
}

void put_bytes(std::FILE* stream, const std::uint8_t* buffer, std::size_t count) {
    WRITE_OR_FAIL(stream, buffer, count);
}

// The _seek twins: an absolute seek checked here, then the plain member.

std::uint8_t get_byte_seek(long offset, std::FILE* stream) {
    SEEK_OR_FAIL(offset, stream);
    return get_byte(stream);
}

std::uint16_t get_16_be_seek(long offset, std::FILE* stream) {
    SEEK_OR_FAIL(offset, stream);
    return get_16_be(stream);
}

std::uint16_t get_16_le_seek(long offset, std::FILE* stream) {
    SEEK_OR_FAIL(offset, stream);
    return get_16_le(stream);
}

std::uint32_t get_32_be_seek(long offset, std::FILE* stream) {
    SEEK_OR_FAIL(offset, stream);
    return get_32_be(stream);
}

std::uint32_t get_32_le_seek(long offset, std::FILE* stream) {
    SEEK_OR_FAIL(offset, stream);
    return get_32_le(stream);
}

std::uint64_t get_64_be_seek(long offset, std::FILE* stream) {
    SEEK_OR_FAIL(offset, stream);
    return get_64_be(stream);
}

void get_bytes_seek(long offset, std::FILE* stream, std::uint8_t* buffer, std::size_t count) {
    SEEK_OR_FAIL(offset, stream);
    get_bytes(stream, buffer, count);
}

void put_byte_seek(std::uint8_t value, long offset, std::FILE* stream) {
    SEEK_OR_FAIL(offset, stream);
    put_byte(value, stream);
}

void put_16_be_seek(std::uint16_t value, long offset, std::FILE* stream) {
    SEEK_OR_FAIL(offset, stream);
    put_16_be(value, stream);
}

void put_16_le_seek(std::uint16_t value, long offset, std::FILE* stream) {
    SEEK_OR_FAIL(offset, stream);
    put_16_le(value, stream);
}

void put_32_be_seek(std::uint32_t value, long offset, std::FILE* stream) {
    SEEK_OR_FAIL(offset, stream);
    put_32_be(value, stream);
}

void put_32_le_seek(std::uint32_t value, long offset, std::FILE* stream) {
    SEEK_OR_FAIL(offset, stream);
    put_32_le(value, stream);
}

void put_bytes_seek(long offset, std::FILE* stream, const std::uint8_t* buffer, std::size_t count) {
    SEEK_OR_FAIL(offset, stream);
    put_bytes(stream, buffer, count);
}

// ---- Numbers, whole files and names -----------------------------------------

long read_long(const char* text) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 0);
    if (errno != 0) {
        fail_with_errno("strtol");
    }
    if (*end != '\0') {
        fail_with_message("bad number format");
    }
    return value;
}

std::uint8_t* get_whole_file(std::FILE* stream, std::size_t* size) {
    if (std::fseek(stream, 0, SEEK_END) != 0) {
        fail_with_errno("fseek");
    }
    const long length = std::ftell(stream);
    if (length == -1) {
        fail_with_errno("ftell");
    }
    const auto bytes = static_cast<std::size_t>(length);
    if (size != nullptr) {
        *size = bytes;
    }
    // malloc(0) may give null; an empty stream still gets a valid buffer.
    auto* buffer = static_cast<std::uint8_t*>(std::malloc(std::max<std::size_t>(bytes, 1)));
    if (buffer == nullptr) {
        fail_with_errno("malloc");
    }
    get_bytes_seek(0, stream, buffer, bytes);
    return buffer;
}

char* build_name(const char* first, const char* second) {
    const std::size_t first_length = std::strlen(first);
    const std::size_t second_length = std::strlen(second);
    auto* name = static_cast<char*>(std::malloc(first_length + second_length + 1));
    if (name == nullptr) {
        fail_with_errno("malloc");
    }
    std::memcpy(name, first, first_length);
    std::memcpy(name + first_length, second, second_length + 1);
    return name;
}

std::FILE* open_in_dirs(const char* directory, const char* sub_path, char separator, const char* file_name,
                        const char* mode) {
    const std::size_t sub_length = sub_path == nullptr ? 0 : std::strlen(sub_path);
    auto* path = static_cast<char*>(std::malloc(std::strlen(directory) + sub_length + std::strlen(file_name) + 3));
    if (path == nullptr) {
        return nullptr;
    }
    std::strcpy(path, directory);
    std::size_t n = std::strlen(directory);
    make_dir(path);
    if (sub_length != 0) {
        path[n++] = directory_separator;
        // Each separator of the sub-path closes one more directory level.
        for (std::size_t i = 0; i < sub_length; ++i, ++n) {
            if (sub_path[i] == separator) {
                path[n] = '\0';
                make_dir(path);
                path[n] = directory_separator;
            } else {
                path[n] = sub_path[i];
            }
        }
        path[n] = '\0';
        make_dir(path);
    }
    path[n] = directory_separator;
    std::strcpy(path + n + 1, file_name);
    std::FILE* stream = open_file(path, mode);
    std::free(path);
    return stream;
}

const char* base_name(const char* path) {
    const char* last = std::strrchr(path, directory_separator);
    return last == nullptr ? path : last + 1;
}

// ---- Range copy and zero fill ------------------------------------------------

void dump(std::FILE* input, std::FILE* output, long offset, std::size_t count) {
    SEEK_OR_FAIL(offset, input);
    std::array<std::uint8_t, 2048> buffer{};
    while (count != 0) {
        const std::size_t chunk = std::min(count, buffer.size());
        READ_OR_FAIL(input, buffer.data(), chunk);
        WRITE_OR_FAIL(output, buffer.data(), chunk);
        count -= chunk;
    }
}

std::int32_t pad_to_multiple(std::int32_t offset, std::int32_t block_size, std::FILE* stream) {
    // Worked out in 64 bits, so that no argument can overflow or divide by zero.
    const std::int64_t end = block_size < 1 ? -1 : (std::int64_t{offset} + block_size - 1) / block_size * block_size;
    if (offset < 0 || end < 0 || end > std::numeric_limits<std::int32_t>::max()) {
        fail_with_message("pad range");
    }
    for (std::int32_t p = offset; p < end; ++p) {
        put_byte_seek(0, p, stream);
    }
    return static_cast<std::int32_t>(end);
}
