// Checked I/O utilities. No function here returns an error: every call that
// can fail is checked at once, and a failure prints one located report line on
// standard error and ends the process with status 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

// ---- Fatal reports ------------------------------------------------------
//
// Each report starts with the place of the failed check: the bare source file
// name, the line and the enclosing function. The three macros capture that
// place where they are written and hand it to the matching reporter.

struct check_site {
    const char* file;
    int line;
    const char* function;
};

// The part of a path after its last separator, worked out at compile time so
// that a report shows no build directories whatever path the compiler was given.
consteval const char* bare_file_name(const char* path) {
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') {
            name = p + 1;
        }
    }
    return name;
}

#define CHECK_SITE (check_site{bare_file_name(__FILE__), __LINE__, __func__})

// "file:line:function:operation: system text" for a failed call that sets errno.
#define fail_with_errno(operation) fail_errno_at(CHECK_SITE, (operation))
// "file:line:function:operation: unexpected EOF" when the stream is at its end,
// else "file:line:function:operation: operation: system text".
#define fail_with_stream(stream, operation) fail_stream_at(CHECK_SITE, (stream), (operation))
// "file:line:function: message" for a check of the program's own.
#define fail_with_message(message) fail_message_at(CHECK_SITE, (message))

[[noreturn]] void fail_errno_at(check_site site, const char* operation);
[[noreturn]] void fail_stream_at(check_site site, std::FILE* stream, const char* operation);
[[noreturn]] void fail_message_at(check_site site, const char* message);

// ---- Byte order in memory -----------------------------------------------
//
// Readers assemble the value from the bytes by shifts, writers store exactly
// the value's width; neither depends on the host's byte order or alignment.

std::uint16_t read_16_be(std::span<const std::uint8_t, 2> source);
std::uint16_t read_16_le(std::span<const std::uint8_t, 2> source);
std::uint32_t read_32_be(std::span<const std::uint8_t, 4> source);
std::uint32_t read_32_le(std::span<const std::uint8_t, 4> source);
std::uint64_t read_64_be(std::span<const std::uint8_t, 8> source);
void write_16_be(std::uint16_t value, std::span<std::uint8_t, 2> destination);
void write_16_le(std::uint16_t value, std::span<std::uint8_t, 2> destination);
void write_32_be(std::uint32_t value, std::span<std::uint8_t, 4> destination);
void write_32_le(std::uint32_t value, std::span<std::uint8_t, 4> destination);

// ---- Checked stream operations --------------------------------------------
//
// One read or write call per value or run. A short read or write reports
// "fread" or "fwrite" from the plain member. Each _seek twin first seeks to an
// absolute offset from the start of the stream and reports a failed seek as
// "fseek" under its own name; the transfer then reports from the plain member.

std::uint8_t get_byte(std::FILE* stream);
std::uint8_t get_byte_seek(long offset, std::FILE* stream);
std::uint16_t get_16_be(std::FILE* stream);
std::uint16_t get_16_be_seek(long offset, std::FILE* stream);
std::uint16_t get_16_le(std::FILE* stream);
std::uint16_t get_16_le_seek(long offset, std::FILE* stream);
std::uint32_t get_32_be(std::FILE* stream);
std::uint32_t get_32_be_seek(long offset, std::FILE* stream);
std::uint32_t get_32_le(std::FILE* stream);
std::uint32_t get_32_le_seek(long offset, std::FILE* stream);
std::uint64_t get_64_be(std::FILE* stream);
std::uint64_t get_64_be_seek(long offset, std::FILE* stream);
void get_bytes(std::FILE* stream, std::uint8_t* buffer, std::size_t count);
void get_bytes_seek(long offset, std::FILE* stream, std::uint8_t* buffer, std::size_t count);

void put_byte(std::uint8_t value, std::FILE* stream);
void put_byte_seek(std::uint8_t value, long offset, std::FILE* stream);
void put_16_be(std::uint16_t value, std::FILE* stream);
void put_16_be_seek(std::uint16_t value, long offset, std::FILE* stream);
void put_16_le(std::uint16_t value, std::FILE* stream);
void put_16_le_seek(std::uint16_t value, long offset, std::FILE* stream);
void put_32_be(std::uint32_t value, std::FILE* stream);
void put_32_be_seek(std::uint32_t value, long offset, std::FILE* stream);
void put_32_le(std::uint32_t value, std::FILE* stream);
void put_32_le_seek(std::uint32_t value, long offset, std::FILE* stream);
void put_bytes(std::FILE* stream, const std::uint8_t* buffer, std::size_t count);
void put_bytes_seek(long offset, std::FILE* stream, const std::uint8_t* buffer, std::size_t count);
