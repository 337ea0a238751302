#include "util.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform.hpp"

// ---- Fatal reports ------------------------------------------------------

namespace {

void print_site(check_site site, const char* operation) {
    std::fprintf(stderr, "%s:%d:%s:%s: ", site.file, site.line, site.function, operation);
    std::fflush(stderr);
}

// Every failure ends here, after its report: a console window of the
// program's own (files dropped onto it in Explorer) stays open until the
// report has been read.
[[noreturn]] void end_with_failure() {
    hold_own_console();
    std::exit(1);
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
    end_with_failure();
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
    end_with_failure();
}

void fail_message_at(check_site site, const char* message) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s:%d:%s: %s\n", site.file, site.line, site.function, message);
    end_with_failure();
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

#define WRITE_OR_FAIL(stream, data, count)                        \
    do {                                                          \
        if (write_stream((data), (count), (stream)) != (count)) { \
            fail_with_stream((stream), "fwrite");                 \
        }                                                         \
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

void make_dir(const char* path) { create_directory(path); }

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
