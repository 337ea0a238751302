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
// regex dialect with \d, POSIX ones bracket expressions). posix_devices: the
// tests that need /dev/full, /dev/zero, /dev/null or symbolic links can run.
#ifdef _WIN32
inline const std::string any_line = "\\d+";
inline constexpr bool posix_devices = false;
inline constexpr int is_a_directory_error = EACCES;  // opening a directory for writing
inline int exit_status(int raw) { return raw; }
inline std::string shell(const std::string& command) { return "\"" + command + "\""; }  // cmd /c drops one pair
#else
#include <sys/wait.h>
inline const std::string any_line = "[0-9]+";
inline constexpr bool posix_devices = true;
inline constexpr int is_a_directory_error = EISDIR;
inline int exit_status(int raw) { return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1; }
inline std::string shell(const std::string& command) { return command; }
#endif

// The running test's own directory. Emptied by scratch_dir, but only as far as
// it can be: a Windows death test reruns the test in a child process, which
// finds the parent's files still open and reuses them.
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
    std::string out, err;  // with CR LF line ends made LF
};

// Runs the built program in `dir` with `args` (quoted as the shell needs);
// with `merged`, standard error goes to standard output's file.
inline run_result run_duosplit(const fs::path& dir, const std::string& args, bool merged = false) {
    const fs::path out = dir.parent_path() / (dir.filename().string() + ".out");
    const fs::path err = dir.parent_path() / (dir.filename().string() + ".err");
    const std::string redirect = merged ? " 2>&1" : " 2>\"" + err.string() + "\"";
    const fs::path here = fs::current_path();
    fs::current_path(dir);
    const int raw =
        std::system(shell("\"" DUOSPLIT_EXE "\" " + args + " >\"" + out.string() + "\"" + redirect).c_str());
    fs::current_path(here);
    const auto text = [](const fs::path& path) {
        const bytes content = read_file(path);
        std::string lines(content.begin(), content.end());
        std::erase(lines, '\r');
        return lines;
    };
    return {exit_status(raw), text(out), merged ? "" : text(err)};
}
