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

// ---- Numbers, whole files and names -----------------------------------------

// The one number in `text` (strtol, base 0: 0x hex, 0 octal, else decimal;
// leading white space skipped; the empty text gives 0). Out of the range of
// long: "strtol" report; anything after the number: "bad number format".
long read_long(const char* text);

// Every byte of the stream in a new malloc'd buffer that the caller frees; the
// size goes through `size` unless it is null. Leaves the stream at its end.
// Reports "fseek", "ftell" or "malloc", or a short read from get_bytes.
std::uint8_t* get_whole_file(std::FILE* stream, std::size_t* size);

// `first` followed by `second`, in a new malloc'd string that the caller frees.
// Reports "malloc".
char* build_name(const char* first, const char* second);

// Opens directory/sub/path/file_name with `mode`, each `separator` of the
// sub-path (null or empty for none) standing for a directory level. Creates the
// directories from the top down on the way and leaves them even when the open
// fails. Reports nothing: a failed allocation or open gives null. The caller
// closes the stream.
std::FILE* open_in_dirs(const char* directory, const char* sub_path, char separator, const char* file_name,
                        const char* mode);

// Creates one directory (POSIX: mode 0777 less the umask). Failure is ignored.
void make_dir(const char* path);

// The last component of `path`: a pointer into it behind the last directory
// separator of the platform (a backslash on Windows, a slash elsewhere),
// or `path` itself when it has none. Cannot fail.
const char* base_name(const char* path);

// ---- Range copy and zero fill ------------------------------------------------

// Copies `count` bytes from `offset` of `input` to the current position of
// `output`, 2048 bytes a call. Reports "fseek" (input), "fread" or "fwrite".
void dump(std::FILE* input, std::FILE* output, long offset, std::size_t count);

// Writes a zero byte at each position from `offset` up to the next multiple of
// `block_size` and returns that end. An offset below 0, a block size below 1 or
// an end beyond the signed 32-bit range reports "pad range" before any write.
std::int32_t pad_to_multiple(std::int32_t offset, std::int32_t block_size, std::FILE* stream);
