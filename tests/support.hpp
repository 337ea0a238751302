// Helpers shared by the tests: scratch files, running the built program, and
// what differs between the platforms the tests run on.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
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
#ifdef _WIN32
inline const std::string any_line = "\\d+";
inline constexpr bool posix = false;
inline constexpr int is_a_directory_error = EACCES;  // opening a directory for writing
inline int exit_status(int raw) { return raw; }
inline std::FILE* pipe_stream() { return nullptr; }
// cmd /c drops one pair of quotes; the run's time is bounded by ctest's timeout.
inline std::string bounded(const std::string& command) { return "\"" + command + "\""; }
#else
#include <sys/wait.h>
inline const std::string any_line = "[0-9]+";
inline constexpr bool posix = true;
inline constexpr int is_a_directory_error = EISDIR;
inline int exit_status(int raw) { return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1; }
inline std::FILE* pipe_stream() { return popen("true", "r"); }  // a stream that cannot seek
// A run past 10 s is ended (TERM, a second later KILL) and gives status 124;
// the slowest correct run, the endless input under the sanitizers, takes 2.5 s.
inline std::string bounded(const std::string& command) { return "timeout -k 1 10 " + command; }
#endif

// The running test's own directory. Emptied by scratch_dir as far as it can
// be: a Windows death test reruns the test in a child process, which finds the
// parent's files still open.
inline fs::path test_dir() {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    return fs::temp_directory_path() / "duosplit-tests" / info->test_suite_name() / info->name();
}

inline fs::path scratch_dir() {
    std::error_code ignored;
    fs::remove_all(test_dir(), ignored);
    fs::create_directories(test_dir());
    return test_dir();
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

// A stream open for update on stream_path(), a new file in an emptied test directory.
inline fs::path stream_path() { return test_dir() / "stream.bin"; }

inline std::FILE* scratch_stream(const bytes& content = {}) {
    write_file(scratch_dir() / "stream.bin", content);
    return std::fopen(stream_path().string().c_str(), "r+b");
}

struct run_result {
    int status;
    std::string out;  // standard output and error in the order written, LF line ends
};

// Runs the built program in `dir` with `args` (quoted as the shell needs).
inline run_result run_duosplit(const fs::path& dir, const std::string& args) {
    const fs::path out = dir.string() + ".out";
    const fs::path here = fs::current_path();
    fs::current_path(dir);
    const int raw = std::system(bounded("\"" DUOSPLIT_EXE "\" " + args + " >\"" + out.string() + "\" 2>&1").c_str());
    fs::current_path(here);
    // CR LF line ends become LF, and a report's line number, which changes with
    // every edit, reads N: "file.cpp:N:function: ...".
    const bytes content = read_file(out);
    std::string text;
    for (std::size_t i = 0; i < content.size(); ++i) {
        if (content[i] != '\r')
            text += static_cast<char>(content[i]);
        if (text.ends_with(".cpp:") && i + 1 < content.size() && std::isdigit(content[i + 1])) {
            text += 'N';
            while (i + 1 < content.size() && std::isdigit(content[i + 1]))
                ++i;
        }
    }
    return {exit_status(raw), text};
}
