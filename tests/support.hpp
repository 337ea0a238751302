// Helpers shared by the tests: scratch files, running the built program, and
// what differs between the platforms the tests run on.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using bytes = std::vector<std::uint8_t>;

// any_line: a line number in a death-test pattern (Windows builds have a simple
// regex dialect with \d, POSIX ones bracket expressions). posix: the cases that
// need /dev/full, /dev/zero, links, pipes or POSIX error texts can run.
// time_bound: a run of the program past 10 s is ended (TERM, a second later
// KILL) and gives status 124; the slowest correct run, the endless input under
// the sanitizers, takes 2.5 s. Under wine ctest's timeout bounds each test.
#ifdef _WIN32
inline const std::string any_line = "\\d+";
inline constexpr bool posix = false;
inline constexpr int is_a_directory_error = EACCES;  // opening a directory for writing
inline const std::string time_bound;
inline int exit_status(int raw) { return raw; }
inline std::string shell(const std::string& command) { return "\"" + command + "\""; }  // cmd /c drops one pair
inline std::FILE* pipe_stream() { return nullptr; }
#else
#include <sys/wait.h>
inline const std::string any_line = "[0-9]+";
inline constexpr bool posix = true;
inline constexpr int is_a_directory_error = EISDIR;
inline const std::string time_bound = "timeout -k 1 10 ";
inline int exit_status(int raw) { return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1; }
inline std::string shell(const std::string& command) { return command; }
inline std::FILE* pipe_stream() { return popen("true", "r"); }  // a stream that cannot seek
#endif

// The running test's own directory, emptied as far as it can be: a Windows
// death test reruns the test in a child process, which finds the parent's
// files still open.
inline fs::path scratch_dir() {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    const fs::path dir = fs::temp_directory_path() / "duosplit-tests" / info->test_suite_name() / info->name();
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    fs::create_directories(dir);
    return dir;
}

// A path from a UTF-8 name, whatever the platform's narrow encoding.
inline fs::path u8_path(const std::string& name) { return std::u8string(name.begin(), name.end()); }

inline bytes read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_file(const fs::path& path, const bytes& content) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
}

// A stream open for update on `path`, a new file that holds `content`.
inline std::FILE* file_stream(const fs::path& path, const bytes& content = {}) {
    write_file(path, content);
    return std::fopen(path.string().c_str(), "r+b");
}

// Runs the shell command `setup` (if any) in `dir`, then the built program
// with `args` (quoted as the shell needs; redirections in them come after the
// ones to the output file). Gives the exit status and what the program wrote
// on standard output and error, in that order, with LF line ends and each
// report's line number, which changes with every edit, as N: "file.cpp:N:...".
inline std::pair<int, std::string> run_duosplit(const fs::path& dir, const std::string& args,
                                                const std::string& setup = "") {
    const fs::path out = dir.string() + ".out", here = fs::current_path();
    fs::current_path(dir);
    const std::string run = time_bound + "\"" DUOSPLIT_EXE "\" >\"" + out.string() + "\" 2>&1 " + args;
    const int raw = std::system(shell(setup.empty() ? run : setup + " && " + run).c_str());
    fs::current_path(here);
    std::string text;
    for (const char c : read_file(out)) {
        const bool digit = c >= '0' && c <= '9';
        if (digit && text.ends_with(".cpp:"))
            text += 'N';
        else if (c != '\r' && !(digit && text.ends_with(".cpp:N")))
            text += c;
    }
    return {exit_status(raw), text};
}
