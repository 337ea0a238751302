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

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace fs = std::filesystem;
using bytes = std::vector<std::uint8_t>;

// A line number in a death-test pattern: the simple regex dialect of Windows
// builds knows \d, the POSIX one only bracket expressions.
#ifdef GTEST_USES_SIMPLE_RE
inline const std::string any_line = "\\d+";
#else
inline const std::string any_line = "[0-9]+";
#endif

// The running test's own directory, and the same emptied.
inline fs::path test_dir() {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    return fs::temp_directory_path() / "duosplit-tests" / info->test_suite_name() / info->name();
}

// On Windows a death test reruns the test in a child process, which finds the
// parent's files still open and cannot delete them: it reuses them instead.
inline fs::path scratch_dir() {
    const fs::path dir = test_dir();
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    fs::create_directories(dir);
    return dir;
}

inline bytes read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::string read_text(const fs::path& path) {
    const bytes content = read_file(path);
    return {content.begin(), content.end()};
}

inline void write_file(const fs::path& path, const bytes& content) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
}

// A stream on a new file, stream_path(), in an emptied test directory, open for update.
inline fs::path stream_path() { return test_dir() / "stream.bin"; }

inline std::FILE* scratch_stream(const bytes& content = {}) {
    scratch_dir();
    write_file(stream_path(), content);
    return std::fopen(stream_path().string().c_str(), "r+b");
}

struct run_result {
    int status;
    std::string out;
    std::string err;
};

// Runs the built program in `dir` with `args` (already quoted as the shell
// needs). With `merged`, standard error goes to the same file as standard output.
inline run_result run_duosplit(const fs::path& dir, const std::string& args, bool merged = false) {
    const fs::path out = dir.parent_path() / (dir.filename().string() + ".out");
    const fs::path err = dir.parent_path() / (dir.filename().string() + ".err");
    const std::string redirect = merged ? " 2>&1" : " 2>\"" + err.string() + "\"";
    const fs::path here = fs::current_path();
    fs::current_path(dir);
    std::string command = "\"" DUOSPLIT_EXE "\" " + args + " >\"" + out.string() + "\"" + redirect;
#ifdef _WIN32
    command = "\"" + command + "\"";  // cmd /c drops the outermost pair of quotes
#endif
    const int raw = std::system(command.c_str());
    fs::current_path(here);
#ifdef _WIN32
    // The console streams are in text mode there: lines end in CR LF.
    const auto lines = [](std::string text) {
        std::erase(text, '\r');
        return text;
    };
    return {raw, lines(read_text(out)), merged ? std::string() : lines(read_text(err))};
#else
    const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return {status, read_text(out), merged ? std::string() : read_text(err)};
#endif
}

// Whether the platform has /dev/full, /dev/zero and /dev/null and lets a test
// make symbolic links; the tests that need them are skipped elsewhere.
#ifdef _WIN32
inline constexpr bool posix_devices = false;
#else
inline constexpr bool posix_devices = true;
#endif

// The error of opening a directory as a file for writing.
#ifdef _WIN32
inline constexpr int is_a_directory_error = EACCES;
#else
inline constexpr int is_a_directory_error = EISDIR;
#endif
