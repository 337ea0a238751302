#include "util.hpp"

#include <array>
#include <cerrno>
#include <cstdlib>

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
