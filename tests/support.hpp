// Helpers shared by the tests: scratch files, running the built program, and
// what differs between the platforms the tests run on.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

inline fs::path scratch_dir() {
    const fs::path dir = test_dir();
    fs::remove_all(dir);
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
    const int raw = std::system(("\"" DUOSPLIT_EXE "\" " + args + " >\"" + out.string() + "\"" + redirect).c_str());
    fs::current_path(here);
#ifdef _WIN32
    const int status = raw;
#else
    const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#endif
    return {status, read_text(out), merged ? std::string() : read_text(err)};
}

// The system's text for opening a directory as a file for writing.
#ifdef _WIN32
inline constexpr const char* is_a_directory_text = "Permission denied";
#else
inline constexpr const char* is_a_directory_text = "Is a directory";
#endif
