#include "platform.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

namespace {

// How an output is opened: as it is, created only if missing, or either.
enum class creation { none, exclusive, any };

}  // namespace

#ifdef _WIN32
#ifndef NOMINMAX  // std::min, not a macro (MinGW-w64's C++ library sets it already)
#define NOMINMAX
#endif
#include <windows.h>

// These need windows.h first.
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <sys/stat.h>

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

// Where a name's last component starts: behind its last separator (a slash
// is one too), or behind the drive of a name like C:x.
std::size_t last_component(std::wstring_view name) {
    const std::size_t separator = name.find_last_of(L"\\/");
    return separator != std::wstring_view::npos ? separator + 1 : name.size() >= 2 && name[1] == L':' ? 2 : 0;
}

bool has_wildcard(std::wstring_view name) {
    return name.find_first_of(L"*?", last_component(name)) != std::wstring_view::npos;
}

// The runtime refuses to open a directory as a file with EACCES, and a name
// with a wildcard in it (a pattern that matched nothing) with EINVAL: say
// what each is.
void tell_reason(const std::wstring& name) {
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (errno == EACCES && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        errno = EISDIR;
    } else if (errno == EINVAL && has_wildcard(name)) {
        errno = ENOENT;
    }
}

// Two UTF-16 units compared as the file system compares names: through the
// system's uppercase table, whatever the language.
bool same_letter(wchar_t first, wchar_t second) {
    return CompareStringOrdinal(&first, 1, &second, 1, TRUE) == CSTR_EQUAL;
}

// The units that the character at `at` takes: 2 for a surrogate pair.
std::size_t width_at(std::wstring_view text, std::size_t at) {
    return IS_HIGH_SURROGATE(text[at]) && at + 1 < text.size() && IS_LOW_SURROGATE(text[at + 1]) ? 2 : 1;
}

// Whether `name` matches `pattern`: `*` any run of characters, `?` one
// character, any other the same letter in either case. A `*` first matches
// as little as it can and takes one character more each time the rest fails.
bool matches(std::wstring_view pattern, std::wstring_view name) {
    std::size_t p = 0, n = 0, star = std::wstring_view::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == L'*') {
            star = ++p;
            resume = n;
        } else if (p < pattern.size() && (pattern[p] == L'?' || same_letter(pattern[p], name[n]))) {
            n += pattern[p++] == L'?' ? width_at(name, n) : 1;
        } else if (star != std::wstring_view::npos) {
            p = star;
            n = resume += width_at(name, resume);
        } else {
            return false;
        }
    }
    return pattern.find_first_not_of(L'*', p) == std::wstring_view::npos;
}

// By name with letter case ignored, as NTFS lists a folder; names that differ
// in case alone (a case-sensitive folder) by their UTF-16 units.
bool sorts_before(const std::wstring& first, const std::wstring& second) {
    const int order = CompareStringOrdinal(first.data(), static_cast<int>(first.size()), second.data(),
                                           static_cast<int>(second.size()), TRUE);
    return order != CSTR_EQUAL ? order == CSTR_LESS_THAN : first < second;
}

// The argument, or for a pattern the names of its folder that match it. The
// folder is listed whole and each long name matched here, as FindFirstFileW
// would match the pattern against 8.3 short names too (song.adp1 is
// SONG~1.ADP, which *.adp matches). A pattern that matches nothing, or whose
// folder cannot be listed to the end, is followed by itself as typed, so that
// its open fails with a report.
std::vector<std::wstring> expand(const std::wstring& argument) {
    if (!has_wildcard(argument)) {
        return {argument};
    }
    const std::wstring folder = argument.substr(0, last_component(argument));
    const std::wstring_view pattern = std::wstring_view(argument).substr(folder.size());
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    const HANDLE listing =
        FindFirstFileExW((folder + L"*").c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0);
    for (bool more = listing != INVALID_HANDLE_VALUE; more; more = FindNextFileW(listing, &entry) != 0) {
        const std::wstring_view name = entry.cFileName;
        if (name != L"." && name != L".." && matches(pattern, name)) {
            names.push_back(folder + entry.cFileName);
        }
    }
    const bool listed = listing != INVALID_HANDLE_VALUE && GetLastError() == ERROR_NO_MORE_FILES;
    if (listing != INVALID_HANDLE_VALUE) {
        FindClose(listing);
    }
    std::sort(names.begin(), names.end(), sorts_before);
    if (names.empty() || !listed) {
        names.push_back(argument);
    }
    return names;
}

// For a write, flush or close that failed, the reason that the system's last
// error gives, for the errors such a call can give that Microsoft's runtime
// reads as EINVAL or as EACCES (a device's failures); errno is left as it is
// for any other. The last error is cleared before each such call, so that an
// error left by an earlier call is never taken for this one's.
void take_system_reason() {
    static constexpr std::array<std::pair<DWORD, int>, 16> reasons{{
        {ERROR_DISK_FULL, ENOSPC},
        {ERROR_HANDLE_DISK_FULL, ENOSPC},
        {ERROR_NO_DATA, EPIPE},  // the reader closed its end of the pipe
        {ERROR_BROKEN_PIPE, EPIPE},
        {ERROR_PIPE_NOT_CONNECTED, EPIPE},
        {ERROR_FILE_TOO_LARGE, EFBIG},
        {ERROR_WRITE_PROTECT, EROFS},
        {ERROR_NOT_READY, EIO},
        {ERROR_CRC, EIO},
        {ERROR_WRITE_FAULT, EIO},
        {ERROR_GEN_FAILURE, EIO},
        {ERROR_IO_DEVICE, EIO},
        {ERROR_DEVICE_NOT_CONNECTED, EIO},
        {ERROR_DEV_NOT_EXIST, EIO},  // a network share or a removable drive gone
        {ERROR_NETNAME_DELETED, EIO},
        {ERROR_UNEXP_NET_ERR, EIO},
    }};
    const DWORD error = GetLastError();
    const auto* reason =
        std::find_if(reasons.begin(), reasons.end(), [&](const auto& each) { return each.first == error; });
    if (reason != reasons.end()) {
        errno = reason->second;
    }
}

// The volume serial number and file ID of a file on disk. A console, a pipe
// or the null device has none and stays unknown; false when a file on disk
// cannot be read. ReFS has 128-bit file IDs, whose low 64 bits, all that
// GetFileInformationByHandle gives, are not unique: FileIdInfo gives them
// whole. Windows 7 has no FileIdInfo (the call fails), nor may every file
// system or handle give it: those keep the 64-bit index, which is unique
// there. The volume is the serial number that both calls give, and an ID
// that fits in 64 bits is that index, so that an identity read either way is
// the same on every file system but ReFS.
bool identify_handle(HANDLE handle, file_identity& identity) {
    if (handle == INVALID_HANDLE_VALUE || GetFileType(handle) != FILE_TYPE_DISK) {
        return true;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(handle, &info) == 0) {
        errno = EIO;
        return false;
    }
    identity.kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? file_kind::directory : file_kind::regular;
    identity.volume = info.dwVolumeSerialNumber;
    identity.size = std::uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
    FILE_ID_INFO id{};
    if (GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id) != 0) {
        std::memcpy(&identity.index, id.FileId.Identifier, sizeof identity.index);
        std::memcpy(&identity.index_high, id.FileId.Identifier + sizeof identity.index, sizeof identity.index_high);
    } else {
        identity.index = std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
    }
    return true;
}

bool identify_descriptor(int descriptor, file_identity& identity) {
    return identify_handle(reinterpret_cast<HANDLE>(_get_osfhandle(descriptor)), identity);
}

bool is_console(DWORD standard_handle) {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(standard_handle), &mode) != 0;
}

int open_descriptor(const char* name, creation create) {
    const auto wide = to_wide(name);
    if (!wide) {
        errno = EINVAL;
        return -1;
    }
    const int flags = create == creation::none ? 0 : create == creation::exclusive ? _O_CREAT | _O_EXCL : _O_CREAT;
    const int descriptor = _wopen(wide->c_str(), _O_RDWR | _O_BINARY | _O_NOINHERIT | flags, _S_IREAD | _S_IWRITE);
    if (descriptor == -1) {
        tell_reason(*wide);
    }
    return descriptor;
}

void make_blocking(int) {}

std::FILE* open_stream(int descriptor) { return _fdopen(descriptor, "r+b"); }

void close_descriptor(int descriptor) { _close(descriptor); }

bool truncate_descriptor(int descriptor) { return _chsize(descriptor, 0) == 0; }

}  // namespace

const char directory_separator = '\\';

bool start_process() { return true; }

// freopen closes standard error even when the null device cannot be opened:
// the report is kept out of the file either way.
void silence_standard_error() { [[maybe_unused]] std::FILE* const null_device = std::freopen("NUL", "w", stderr); }

// A handle with no access rights at all is enough to read what a file is, and
// opening one neither blocks nor changes the file.
file_identity identify_name(const char* name) {
    file_identity identity;
    const auto wide = to_wide(name);
    if (!wide) {
        return identity;
    }
    const HANDLE handle = CreateFileW(wide->c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        identify_handle(handle, identity);
        CloseHandle(handle);
    }
    return identity;
}

// The narrow arguments went through the legacy code page, which turns a name
// outside it into another name; the UTF-16 command line holds them as they are.
std::optional<std::vector<std::optional<std::string>>> program_arguments(int, char*[]) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        errno = ENOMEM;
        return std::nullopt;
    }
    std::vector<std::optional<std::string>> arguments;
    for (int i = 1; i < count; ++i) {
        for (const std::wstring& each : expand(wide[i])) {
            arguments.push_back(to_utf8(each.c_str()));
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
    std::FILE* stream = _wfopen(wide_name->c_str(), wide_mode->c_str());
    if (stream == nullptr) {
        tell_reason(*wide_name);
    }
    return stream;
}

// After a write, flush or close that failed, with errno and the last error
// cleared before it: the system's reason. Where the system took part of a
// write without an error, Microsoft's runtime leaves errno as it was and
// wine's sets EINVAL; the system does that only for a file on disk whose
// volume has no room for the rest, as the runtime itself reads a write that
// took nothing without an error (ENOSPC).
void take_write_reason(bool on_disk) {
    if (on_disk && GetLastError() == ERROR_SUCCESS && (errno == 0 || errno == EINVAL)) {
        errno = ENOSPC;
    } else {
        take_system_reason();
    }
}

bool on_disk(std::FILE* stream) {
    return GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)))) == FILE_TYPE_DISK;
}

void clear_reasons() {
    errno = 0;
    SetLastError(ERROR_SUCCESS);
}

std::size_t write_stream(const void* data, std::size_t count, std::FILE* stream) {
    clear_reasons();
    const std::size_t written = std::fwrite(data, 1, count, stream);
    if (written != count) {
        take_write_reason(on_disk(stream));
    }
    return written;
}

int flush_stream(std::FILE* stream) {
    clear_reasons();
    const int result = std::fflush(stream);
    if (result != 0) {
        take_write_reason(on_disk(stream));
    }
    return result;
}

int close_stream(std::FILE* stream) {
    const bool disk = on_disk(stream);
    clear_reasons();
    const int result = std::fclose(stream);
    if (result != 0) {
        take_write_reason(disk);
    }
    return result;
}

void create_directory(const char* path) {
    if (const auto wide = to_wide(path)) {
        _wmkdir(wide->c_str());
    }
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
    clear_reasons();
    if (std::fputs(text.c_str(), stdout) == EOF) {
        take_write_reason(on_disk(stdout));
    }
}

// GetConsoleProcessList gives the number of processes attached, also when the
// list is too short to hold them all, and 0 when there is no console.
// Windows Terminal, which Windows 11 can make the default for console
// programs, hosts them through a pseudo console, whose host gives a window
// that is never shown (so IsWindowVisible cannot tell): there files dropped
// onto the program open a tab on which it is alone, with that window, and a
// failure waits for Enter; afterwards Windows Terminal keeps the tab open or
// closes it by its own closeOnExit setting. That is as Microsoft documents
// Windows Terminal and the pseudo console; neither can be run here.
void hold_own_console() {
    std::array<DWORD, 2> processes{};
    const DWORD attached = GetConsoleProcessList(processes.data(), static_cast<DWORD>(processes.size()));
    STARTUPINFOW startup{};
    GetStartupInfoW(&startup);
    const bool hidden = (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 && startup.wShowWindow == SW_HIDE;
    if (!console_is_own(attached, is_console(STD_INPUT_HANDLE), is_console(STD_ERROR_HANDLE),
                        GetConsoleWindow() != nullptr, hidden)) {
        return;
    }
    // Keys pressed while the files were converted do not close the window.
    FlushConsoleInputBuffer(GetStdHandle(STD_INPUT_HANDLE));
    std::fputs("Press Enter to close this window.\n", stderr);
    std::fflush(stderr);
    for (int c = 0; c != '\n' && c != EOF;) {
        c = std::getchar();
    }
}

#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__arm__) && defined(__linux__)
#include <sys/auxv.h>
#endif

// Files of any size: a 32-bit build needs _FILE_OFFSET_BITS=64 (CMakeLists.txt).
static_assert(sizeof(off_t) == 8, "off_t must hold any file size");

#include <csignal>

namespace {

// Device and inode number; for a device, the device it stands for, so that two
// nodes made for one device are one file.
file_identity identity_of(const struct stat& status) {
    const bool device = S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode);
    file_identity identity;
    identity.kind = S_ISREG(status.st_mode)   ? file_kind::regular
                    : S_ISDIR(status.st_mode) ? file_kind::directory
                    : device                  ? file_kind::device
                                              : file_kind::other;
    identity.volume = device ? status.st_rdev : status.st_dev;
    identity.index = device ? S_ISBLK(status.st_mode) : status.st_ino;  // a block device is not the character one
    identity.size = static_cast<std::uint64_t>(status.st_size);
    return identity;
}

bool identify_descriptor(int descriptor, file_identity& identity) {
    struct stat status {};
    if (fstat(descriptor, &status) != 0) {
        return false;
    }
    identity = identity_of(status);
    return true;
}

// Opened without blocking: a FIFO or a terminal line could otherwise hold the
// open until another program or a carrier comes. A regular file that another
// process holds a lease on (a file server, for its client) refuses such an
// open with EWOULDBLOCK: it is opened again blocking, and the system breaks
// the lease and goes on once the holder lets go.
int open_descriptor(const char* name, creation create) {
    const int flags = create == creation::none ? 0 : create == creation::exclusive ? O_CREAT | O_EXCL : O_CREAT;
    const int descriptor = open(name, O_RDWR | O_CLOEXEC | O_NONBLOCK | flags, 0666);
    if (descriptor == -1 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
        identify_name(name).kind == file_kind::regular) {
        return open(name, O_RDWR | O_CLOEXEC | flags, 0666);
    }
    return descriptor;
}

void make_blocking(int descriptor) { fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) & ~O_NONBLOCK); }

std::FILE* open_stream(int descriptor) { return fdopen(descriptor, "r+b"); }

void close_descriptor(int descriptor) { close(descriptor); }

bool truncate_descriptor(int descriptor) { return ftruncate(descriptor, 0) == 0; }

}  // namespace

const char directory_separator = '/';

bool start_process() {
    // Opened in turn from 0 up, each takes the lowest free descriptor: its own.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", fd == 2 ? O_WRONLY : O_RDONLY) != fd) {
            return false;
        }
    }
    std::signal(SIGXFSZ, SIG_IGN);
    return true;
}

// freopen closes standard error even when the null device cannot be opened:
// the report is kept out of the file either way.
void silence_standard_error() {
    [[maybe_unused]] std::FILE* const null_device = std::freopen("/dev/null", "w", stderr);
}

file_identity identify_name(const char* name) {
    struct stat status {};
    return stat(name, &status) == 0 ? identity_of(status) : file_identity{};
}

std::optional<std::vector<std::optional<std::string>>> program_arguments(int argc, char* argv[]) {
    return std::vector<std::optional<std::string>>(argv + std::min(argc, 1), argv + argc);
}

std::FILE* open_file(const char* name, const char* mode) { return std::fopen(name, mode); }

void create_directory(const char* path) { mkdir(path, 0777); }

void print_text(const std::string& text) { std::fputs(text.c_str(), stdout); }

std::size_t write_stream(const void* data, std::size_t count, std::FILE* stream) {
    return std::fwrite(data, 1, count, stream);
}

int flush_stream(std::FILE* stream) { return std::fflush(stream); }

int close_stream(std::FILE* stream) { return std::fclose(stream); }

void hold_own_console() {}
#endif

// ---- What both have in common -----------------------------------------------

namespace {

// The stream with its identity; null, the stream closed, when that cannot be read.
opened_file with_identity(std::FILE* stream) {
    opened_file file{stream, {}};
    if (stream != nullptr && !identify_descriptor(fileno(stream), file.identity)) {
        const int error = errno;
        std::fclose(stream);
        errno = error;
        file.stream = nullptr;
    }
    return file;
}

}  // namespace

bool same_file(const file_identity& first, const file_identity& second) {
    return first.kind != file_kind::unknown && first.kind == second.kind && first.volume == second.volume &&
           first.index == second.index && first.index_high == second.index_high;
}

bool console_is_own(unsigned long attached_processes, bool input_is_console, bool error_is_console, bool has_window,
                    bool started_hidden) {
    return attached_processes == 1 && input_is_console && error_is_console && has_window && !started_hidden;
}

file_identity identify(std::FILE* stream) {
    file_identity identity;
    return identify_descriptor(fileno(stream), identity) ? identity : file_identity{};
}

opened_file open_input(const char* name) {
    opened_file input = with_identity(open_file(name, "rb"));
    if (input.stream != nullptr && input.identity.kind == file_kind::directory) {
        std::fclose(input.stream);
        errno = EISDIR;
        return {};
    }
    return input;
}

// An output as it is, or, when it is to be created, made exclusively, and
// opened as it is when it exists after all. A name that is still missing
// after the exclusive create found something there is a symbolic link that
// leads nowhere yet: the file is created where it leads.
opened_file open_output(const char* name, bool create) {
    int descriptor = open_descriptor(name, create ? creation::exclusive : creation::none);
    if (descriptor == -1 && create && errno == EEXIST) {
        descriptor = open_descriptor(name, creation::none);
        if (descriptor == -1 && errno == ENOENT) {
            descriptor = open_descriptor(name, creation::any);
        }
    }
    if (descriptor == -1) {
        return {};
    }
    std::FILE* stream = open_stream(descriptor);
    if (stream == nullptr) {
        const int error = errno;
        close_descriptor(descriptor);
        errno = error;
        return {};
    }
    opened_file output = with_identity(stream);
    if (output.stream != nullptr && output.identity.kind != file_kind::regular) {
        make_blocking(descriptor);
    }
    return output;
}

bool set_block_buffering(std::FILE* stream, std::span<std::uint8_t> buffer) {
#if defined(_WIN32) || defined(__GLIBC__) || (defined(__linux__) && !defined(__ANDROID__))
    // Microsoft's runtime, glibc and musl read and write an unbuffered stream's
    // whole request in one call, straight between the file and the block.
    static_cast<void>(buffer);
    return std::setvbuf(stream, nullptr, _IONBF, 0) == 0;
#else
    return std::setvbuf(stream, reinterpret_cast<char*>(buffer.data()), _IOFBF, buffer.size()) == 0;
#endif
}

bool empty_output(const opened_file& output) {
    return output.identity.kind != file_kind::regular || output.identity.size == 0 ||
           truncate_descriptor(fileno(output.stream));
}

bool cpu_has_neon() {
#if defined(__ARM_NEON)
    return true;
#elif defined(__arm__) && defined(__linux__)
    return (getauxval(AT_HWCAP) & HWCAP_ARM_NEON) != 0;
#else
    return false;
#endif
}
