// The operating system's side of the program: arguments, opening files,
// what an open file is, directories, the standard streams, printing and the
// console window.
// Names are UTF-8 everywhere in the program; on Windows they cross to the
// system as UTF-16, so that a name works whatever the legacy code page.
// Nothing here reports: failures come back as results, with errno set.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

// The platform's directory separator ('\\' on Windows, '/' elsewhere).
extern const char directory_separator;

// Readies the process: opens each of the standard descriptors 0, 1 and 2 that
// is closed on the null device, so that no file the program opens can take
// its place (standard output read-only, so that writing to it still fails),
// and has a write past a file-size limit fail with EFBIG instead of ending
// the process by a signal, so that the write that failed is reported. False,
// with errno set, when an open fails. Nothing to do on Windows.
bool start_process();

// Points standard error at the null device: a report that would be written
// into a file that must not be written goes nowhere (the exit status tells).
void silence_standard_error();

// The arguments after the program's name; on Windows taken from the UTF-16
// command line and converted, each nullopt when it is no valid UTF-16. The
// whole list is nullopt, with errno set, when it cannot be had.
// On Windows, whose shells pass wildcards on as typed, an argument with `*`
// or `?` in its last component stands for the entries of that folder whose
// long names match it (`*` any run of characters, `?` one, letter case
// ignored; never "." or ".."), each the folder part as typed followed by the
// name, sorted by name as the file system compares names; one that matches
// nothing stays as typed. Elsewhere the shell has expanded them.
std::optional<std::vector<std::optional<std::string>>> program_arguments(int argc, char* argv[]);

// What an open file is, read from the open file itself, never from a name.
// Two identities of the same kind with the same volume and index are one
// file; a device is one file with any other node of the same device.
enum class file_kind { unknown, regular, directory, device, other };
struct file_identity {
    file_kind kind = file_kind::unknown;  // unknown: nothing to compare (a Windows console or pipe)
    std::uint64_t volume = 0;             // the file system, or for a device its device number
    std::uint64_t index = 0;              // the file within it (0 for a device)
    std::uint64_t index_high = 0;         // the upper half of a 128-bit Windows file ID, else 0
    std::uint64_t size = 0;               // bytes it holds; not part of the identity
};

// Whether two identities are one file; an unknown one is no other file.
bool same_file(const file_identity& first, const file_identity& second);

// The identity of an open stream's file; unknown when it cannot be read.
file_identity identify(std::FILE* stream);

// The identity of the file that a name leads to now, read without opening it
// for reading or writing (a FIFO cannot block it), and without creating or
// changing anything; unknown when there is none.
file_identity identify_name(const char* name);

// An open stream and its file's identity; the stream is null, with errno set,
// when the file cannot be opened or its identity cannot be read.
struct opened_file {
    std::FILE* stream = nullptr;
    file_identity identity;
};

// Opens a file for binary reading. A directory is refused with EISDIR on
// every platform.
opened_file open_input(const char* name);

// Opens a file for binary reading and writing as it is, without emptying it;
// a missing one is ENOENT. With `create`, a file the caller found missing:
// it is created, and only then (an existing file is never opened with a
// request to create it, which a protected sticky folder refuses for another
// user's file), so that one made in between by another program is opened as
// it is.
opened_file open_output(const char* name, bool create);

// Empties an output opened by open_output before anything was written to it;
// a file that is not a regular one (a device) is left as it is. False, with
// errno set, on failure.
bool empty_output(const opened_file& output);

// fopen of a UTF-8 name. On Windows a name with a wildcard in its last
// component, which no file can have, is ENOENT, as for a missing file.
std::FILE* open_file(const char* name, const char* mode);

// fwrite, fflush and fclose, with errno telling why the call failed. On
// Windows, where Microsoft's runtime leaves errno as it was after a write
// that the system cut short, and reads some of the system's errors as EINVAL,
// errno is then the reason that the system gives (a full disk ENOSPC, a pipe
// whose reader is gone EPIPE).
std::size_t write_stream(const void* data, std::size_t count, std::FILE* stream);
int flush_stream(std::FILE* stream);
int close_stream(std::FILE* stream);

// Sets a stream to move each block of the program's in one system call. Most
// C libraries do that for an unbuffered stream, which is what it gets there;
// others (the BSDs', Apple's) read one byte per call and write BUFSIZ bytes
// per call unbuffered, and get a full buffer of `buffer`, one block, which
// they fill and drain in one call. The buffer must outlive the stream.
bool set_block_buffering(std::FILE* stream, std::span<std::uint8_t> buffer);

// Creates one directory (POSIX: mode 0777 less the umask). Failure is ignored.
void create_directory(const char* path);

// Writes `text` to standard output. A Windows console is given it as UTF-16,
// so that it shows every name whatever its code page; a failure there falls
// back to the stream, whose error indicator then tells, with errno set as
// write_stream sets it.
void print_text(const std::string& text);

// Whether the CPU has NEON, the vector instructions of Arm processors: every
// one that a build targets with them (all 64-bit ones); for a 32-bit one
// without, as Linux reports the CPU's hardware capabilities. False elsewhere.
bool cpu_has_neon();

// Whether the console the program runs in is its own, so that a report shown
// there would vanish with it, and a person can answer a prompt there: the
// program is the only process attached to it (Explorer made it for files
// dropped onto the program, or a double click), standard input and standard
// error are that console, the console has a window (one made with
// CREATE_NO_WINDOW has none), and the program was not started hidden
// (SW_HIDE: Start-Process -WindowStyle Hidden, WScript's Run with 0).
bool console_is_own(unsigned long attached_processes, bool input_is_console, bool error_is_console, bool has_window,
                    bool started_hidden);

// On Windows, when console_is_own holds for the program's console, writes
// "Press Enter to close this window." to standard error and waits for Enter
// or the end of standard input. Does nothing otherwise, and elsewhere.
void hold_own_console();
