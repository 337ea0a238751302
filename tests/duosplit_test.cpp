// The tests: the utility module's routines and reports, the packing kernels
// against the portable loop, the frame limit, and the built program run in
// scratch directories against a model of what it must print and leave on disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "frames.hpp"
#include "platform.hpp"
#include "util.hpp"

namespace fs = std::filesystem;
using std::size_t, std::string;

// A path from a UTF-8 name, whatever the platform's narrow encoding.
fs::path u8_path(const string& name) { return std::u8string(name.begin(), name.end()); }

// All that differs between the platforms the tests run on. posix: the rows
// that need a POSIX shell can run. run: a shell command's exit status; a run past
// DUOSPLIT_RUN_BOUND seconds (10; 60 under qemu-user) is ended, with all it
// started, and gives 124 (as does one for which no process can be made).
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <process.h>
#include <windows.h>

constexpr bool posix = false;
// Through the suite's launcher, which bounds the run and ends all that it
// started; cmd /c drops the first and the last quote of the command.
int run(const string& command) {
    const auto status = _wspawnl(_P_WAIT, u8_path(DUOSPLIT_START_PATH).c_str(), L"start",
                                 (L"bounded cmd /c \"" + u8_path(command).wstring() + L"\"").c_str(), nullptr);
    return status < 0 ? 124 : status;
}
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

constexpr bool posix = true;
// The shell leads a process group of its own, and an alarm that survives the
// exec ends it (or the program it became) past the bound; then all that is
// left in the group is killed. The shell is reaped last, so that its group id
// cannot be reused before that.
int run(const string& command) {
    const pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);
        alarm(DUOSPLIT_RUN_BOUND);
        execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
        _exit(127);
    }
    siginfo_t info;
    int status = 0;
    if (child > 0 && waitid(P_PID, child, &info, WEXITED | WNOWAIT) == 0)
        kill(-child, SIGKILL);
    if (child < 0 || waitpid(child, &status, 0) != child || (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM))
        return 124;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
#endif

namespace {

using bytes = std::vector<std::uint8_t>;

// The running test's own directory, emptied as far as it can be: a Windows
// death test reruns the test in a child process, which finds the parent's
// files still open.
fs::path scratch_dir() {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    const fs::path dir = fs::temp_directory_path() / "duosplit-tests" / info->test_suite_name() / info->name();
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    fs::create_directories(dir);
    return dir;
}

// A file's bytes; nullopt when there is no such file.
std::optional<bytes> read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return in ? std::optional<bytes>({std::istreambuf_iterator<char>(in), {}}) : std::nullopt;
}

void write_file(const fs::path& path, const bytes& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(content.data()), std::ssize(content));
}

// A stream open for update on `path`, a new file that holds `content`.
std::FILE* file_stream(const fs::path& path, const bytes& content = {}) {
    write_file(path, content);
    return std::fopen(path.string().c_str(), "r+b");
}

// ---- The utility module ---------------------------------------------------

TEST(StreamOps, RoundTripPadCopyAndReadWhole) {
    // Each _seek twin seeks, then calls its plain member: together they run all 26.
    const fs::path dir = scratch_dir();
    const bytes eight{1, 2, 3, 4, 5, 6, 7, 8};
    std::FILE* f = file_stream(dir / "stream", {0xEE});
    put_bytes_seek(14, f, eight.data(), 8);
    put_32_le_seek(0x11223344, 10, f);
    put_32_be_seek(0x11223344, 6, f);
    put_16_le_seek(0x1234, 4, f);
    put_16_be_seek(0xABCD, 2, f);
    put_byte_seek(0xFF, 1, f);
    put_bytes_seek(3, f, eight.data(), 0);  // a run of 0 bytes moves nothing
    // Zero fill: an offset already on a multiple (any, for a block of 1) writes nothing; else zeros over 20 to 4095.
    EXPECT_EQ((std::array{pad_to_multiple(0, 32, f), pad_to_multiple(32, 32, f), pad_to_multiple(7, 1, f),
                          pad_to_multiple(20, 4096, f)}),
              (std::array{0, 32, 7, 4096}));
    EXPECT_EQ((std::vector<std::uint64_t>{get_byte_seek(1, f), get_16_be_seek(2, f), get_16_le_seek(4, f),
                                          get_32_be_seek(6, f), get_32_le_seek(10, f), get_64_be_seek(14, f)}),
              (std::vector<std::uint64_t>{255, 0xABCD, 0x1234, 0x11223344, 0x11223344, 0x0102030405060000}));
    bytes run(3, 0xEE);
    get_bytes_seek(3, f, run.data(), 0);
    get_bytes_seek(18, f, run.data(), 2);
    EXPECT_EQ(run, (bytes{5, 6, 0xEE}));
    // The stream copied in chunks of 2048 bytes, then read whole, from the end
    // where the copy left it, into a buffer of its own; the stream may be
    // empty and the size pointer null.
    bytes expected{0xEE, 0xFF, 0xAB, 0xCD, 0x34, 0x12, 0x11, 0x22, 0x33, 0x44,
                   0x44, 0x33, 0x22, 0x11, 1,    2,    3,    4,    5,    6};
    expected.resize(4096);
    std::FILE* out = file_stream(dir / "out");
    dump(f, out, 0, 4096);
    size_t size = 0;
    std::uint8_t* whole = get_whole_file(out, &size);
    EXPECT_EQ(bytes(whole, whole + size), expected);
    std::free(whole);
    std::free(get_whole_file(file_stream(dir / "empty"), nullptr));
    // A codec writer stores exactly its width.
    bytes codec(3, 0xEE);
    write_16_le(0xABCD, std::span<std::uint8_t, 2>(codec.data(), 2));
    EXPECT_EQ(codec, (bytes{0xCD, 0xAB, 0xEE}));
}

// A report line: `report`, anchored at the line's start, is the file, line and function
// of the check and what failed; nothing follows it.
#define EXPECT_REPORT(statement, report) EXPECT_EXIT(statement, testing::ExitedWithCode(1), (report) + "\n$")

TEST(ReportDeathTest, EachCheckNamesItself) {
    std::FILE* f = file_stream(scratch_dir() / "stream", {1, 2, 3});
    const string util = "^util\\.cpp:.*:", here = "^duosplit_test\\.cpp:";
    // A report names this file, the line and the enclosing function, in the
    // message form and in the form that the errno one shares (whose errno is
    // set in the argument, on the line of the call).
    EXPECT_REPORT(fail_with_message("boom"), here + std::to_string(__LINE__) + ":TestBody: boom");
    EXPECT_REPORT(fail_with_stream(f, (errno = ENOENT, "fread")),
                  here + std::to_string(__LINE__ - 1) + ":TestBody:fread: fread: " + std::strerror(ENOENT));
    EXPECT_REPORT(put_32_be_seek(1, -1, f), util + "put_32_be_seek:fseek: " + std::strerror(EINVAL));
    EXPECT_REPORT(read_long("-99999999999999999999"), util + "read_long:strtol: " + std::strerror(ERANGE));
    EXPECT_REPORT(read_long("12a"), util + "read_long: bad number format");
    for (const auto& [offset, block] : {std::pair{-1, 32}, {5, 0}, {2147483600, 64}})
        EXPECT_REPORT(pad_to_multiple(offset, block, f), util + "pad_to_multiple: pad range");
#ifndef _WIN32  // a pipe has no end to seek to (popen is POSIX)
    EXPECT_REPORT(get_whole_file(popen("", "r"), nullptr), util + "get_whole_file:fseek: " + std::strerror(ESPIPE));
#endif
}

TEST(Names, ReadJoinSplitAndOpenInATree) {
    for (const auto& [text, value] : {std::pair{"0x1F", 31L}, {"-017", -15L}})
        EXPECT_EQ(read_long(text), value) << text;
    // Only this platform's separator ends a directory.
    const string sep(1, directory_separator), other = directory_separator == '/' ? "a\\b" : "a/b", file(100, 'x');
    for (const auto& [path, base] : {std::array<string, 2>{"a" + sep + "b" + sep + "c.dat", "c.dat"}, {other, other}})
        EXPECT_STREQ(base_name(path.c_str()), base.c_str()) << path;
    // Two names joined whole, in a buffer of their own (one a byte short shows under the sanitizers).
    char* joined = build_name("dir.old/", "t_L.dsp");
    EXPECT_STREQ(joined, "dir.old/t_L.dsp");
    std::free(joined);
    // Sub-paths, and the file then opened below "out", which the first row
    // creates and the second finds.
    const fs::path dir = scratch_dir();
    for (const auto& [sub_path, opened] : {std::array<const char*, 2>{nullptr, "out/"}, {"a:b", "out/a/b/"}}) {
        std::FILE* f = open_in_dirs((dir / "out").string().c_str(), sub_path, ':', file.c_str(), "wb");
        EXPECT_TRUE(f != nullptr && std::fclose(f) == 0 && fs::is_regular_file(dir / (opened + file))) << opened;
    }
}

// A failure waits for Enter only in a console that the program alone is
// attached to, that both its input and its error are, that has a window, and
// where it was not started hidden: each case but the last breaks one (no
// console: 0).
TEST(OwnConsole, AloneWithInputAndErrorThere) {
    for (unsigned long broken = 0; broken < 7; ++broken)
        EXPECT_EQ(console_is_own(broken < 2 ? 2 * broken : 1, broken != 2, broken != 3, broken != 4, broken == 5),
                  broken == 6)
            << broken;
}

// ---- The converter --------------------------------------------------------

// A DSP file worked out the long way from the first `frames` ADP frames of
// `adp`: each DSP frame's predictor/scale byte, then its 14 codes two a byte.
// With `complete`, the header the converter writes last goes first; else the
// file holds what a failed conversion leaves: 96 zero bytes, then the frames.
std::optional<bytes> dsp_file(const bytes& adp, int channel, size_t frames, bool complete) {
    bytes file(96, 0);
    for (size_t at = 0; at < frames * 32; at += 32)
        for (size_t i = 4; i < 32; i += 2) {
            if (i == 4 || i == 18)
                file.push_back((adp[at + channel] & 0xF0) + 12 - (adp[at + channel] & 15));
            file.push_back((adp[at + i] >> 4 * channel & 15) << 4 | (adp[at + i + 1] >> 4 * channel & 15));
        }
    if (!complete)
        return frames == 0 ? bytes{} : file;  // the seek to the frames doesn't extend a file
    // Samples, nibbles (32 a frame), rate, current address 2, then the
    // coefficients times 32 (the first pair 0); every field not set here is 0.
    for (const auto& [at, value] : {std::pair<int, size_t>{0x00, 28 * frames},
                                    {0x04, 32 * frames},
                                    {0x08, 48000},
                                    {0x18, 2},
                                    {0x20, 0x07800000},
                                    {0x24, 0x0E60F980},
                                    {0x28, 0x0C40F920}})
        for (int k = 0; k < 4; ++k)
            file[at + k] = value >> (24 - 8 * k);
    file[0x3F] = file[96];
    return file;
}

// `frames` random ADP frames, then `tail` random bytes. Every channel header
// has a random filter and a shift of 0 to 12, but at frame `bad_at` the
// channels of `bad` (bit 0 left, bit 1 right) get a shift of 13 to 15.
bytes adp_input(std::mt19937& rng, size_t frames, size_t tail, size_t bad_at, size_t bad) {
    bytes in(frames * 32 + tail);
    std::generate(in.begin(), in.end(), [&] { return static_cast<std::uint8_t>(rng()); });
    for (size_t i = 0; i < frames * 2; ++i)  // header i % 2 of frame i / 2
        in[i / 2 * 32 + i % 2] = static_cast<std::uint8_t>(
            (rng() & 0xF0) + (i / 2 == bad_at && (bad >> i % 2 & 1) ? 13 + rng() % 3 : rng() % 13));
    return in;
}

TEST(PackChannel, EveryKernelPacksAsTheByteLoop) {
    // Runs start at every frame, so that a bad shift stops them anywhere (and
    // a two-frame step at either frame), and together they hold every header
    // byte value on each channel.
    std::mt19937 rng(2026);
    bytes frames = adp_input(rng, 512, 0, 512, 0);
    for (size_t i = 0; i < 256; ++i)
        frames[i * 32] = frames[(511 - i) * 32 + 1] = static_cast<std::uint8_t>(i);
    for (const auto& [name, pack] : available_kernels())
        for (size_t k = 0; k < 1024; ++k) {  // channel k % 2, from frame k / 2
            const auto run = std::span<const std::uint8_t>(frames).subspan(k / 2 * 32);
            bytes fast(run.size() / 2 + 16, 0xEE), plain = fast;  // 16 bytes to spare
            ASSERT_EQ(pack(run, k % 2, fast), pack_channel_bytes(run, k % 2, plain)) << name;
            ASSERT_EQ(fast, plain) << name << k;
        }
}

TEST(Frames, TheHeaderCountsUpTo2147483632Samples) {
    // 76,695,844 frames of 28 samples; one frame more passes 2^31 - 1.
    EXPECT_TRUE(frames_within_limit(76695844));
    EXPECT_FALSE(frames_within_limit(76695845));
}

// One run of the program, named after what it shows; a new case is one entry.
// - args: what follows the program's path on a shell command line (cmd's on
//   Windows), which runs in a scratch directory after `setup`, a shell
//   command of its own.
// - before: the files made there first, besides in.adp (1000 frames of zeros);
//   a file with no content is a hard link to the one before it.
// - output: standard output and error together, each report's line number
//   read as N; status: the exit status, unless it is 1 for an output that
//   holds a report and 0 for any other.
// - after: the files then on disk ({}: none); every other file made before the
//   run must be as it was.
// - needs: a path that the row needs (POSIX only); "": it runs everywhere.
// - other_user: the program runs as user 65534 when the suite runs as root;
//   the row is skipped where that user cannot run it in the scratch
//   directory (a clone in a private folder).
// - setup may also be the launcher, which then starts the program (Windows).
// A wildcard in args is expanded by the shell on POSIX, by the program on
// Windows: such a row runs everywhere when the names sort alike in both.
using files = std::vector<std::pair<string, std::optional<bytes>>>;
struct row {
    string name, args, output{};
    std::optional<int> status{};
    files after{}, before{};
    string needs{}, setup{};
    bool other_user = false;
};

std::vector<row> rows() {
    const bytes in(32000, 0), five(5, 7), empty;
    const auto left = dsp_file(in, 0, 1000, true);
    // A report line from main (or elsewhere), with the system's text for `error`.
    const auto said = [](const string& what, int error = 0, const string& where = "duosplit.cpp:N:main:") {
        return where + what + (error ? std::strerror(error) : "") + "\n";
    };
    // The summary line of the argument `arg` whose outputs are named from `base`, with `frames` frames.
    const auto converted = [](const string& arg, const string& base, size_t frames = 1000) {
        return arg + " -> " + base + "_L.dsp, " + base + "_R.dsp, " + std::to_string(28 * frames) + " samples\n";
    };
    const string null = posix ? "/dev/null" : "NUL", sh = "/bin/sh", u8 = "日本語🎵",
                 summary = converted("in.adp", "in"), rewritten = said(" output was written by an earlier argument");
    // Its second frame stops a conversion once both outputs are open, which then hold its first.
    bytes stops(64, 0);
    stops[32] = stops[33] = 13;
    const auto stopped = dsp_file(stops, 0, 1, false);
    std::vector<row> rows{
        // --help among other arguments is a file name. Standard output goes out ahead of the report; the
        // arguments after a failure are left alone. A name that a legacy code page would turn into the decoy's; a
        // pattern keeps its folder part as typed, and one that matches nothing names no file.
        {.name = "FilesThenAMissingOne",
         .args = "--help ā.adp sub/?.adp *.wav a.adp",
         .output = converted("--help", "--help") + converted("ā.adp", "ā") + converted("sub/x.adp", "sub/x") +
                   said("fopen: ", ENOENT),
         .after = {{"ā_L.dsp", left}, {"a_L.dsp", {}}},
         .before = {{"--help", in}, {"ā.adp", in}, {"a.adp", five}, {"sub/x.adp", in}}},
        // An argument list that is exactly --help or --version is answered on standard output.
        {.name = "VersionAlone",
         .args = "--version",
         .output = "duosplit " DUOSPLIT_VERSION "\npacking kernel: " + string(available_kernels()[0].name) + "\n"},
        // Creating an output that is the input, or the other output, would empty it: refused, with every file
        // as it was. Names outside every legacy code page, and one that Windows takes for a program.
        {.name = "OutputHardLinkedToInput",
         .args = "café.exe",
         .output = said(" output is the input"),
         .after = {{"café_R.dsp", {}}},
         .before = {{"café.exe", in}, {"café_L.dsp", {}}}},
        {.name = "OutputsHardLinked",
         .args = "\"" + u8 + ".adp\"",
         .output = said(" outputs are the same file"),
         .before = {{u8 + ".adp", in}, {u8 + "_L.dsp", five}, {u8 + "_R.dsp", {}}}},
        // Standard output or error that is the input or an existing output of any argument is refused before
        // anything is converted; a report is not written into standard error that is the file refused.
        {.name = "StdoutIsAnOutput",
         .args = "in.adp >in_L.dsp",
         .output = said(" output is standard output"),
         .after = {{"in_L.dsp", empty}, {"in_R.dsp", {}}}},
        // A later input is found before the first is converted. No report is written into standard error
        // that is any argument's input, however late.
        {.name = "StdoutAndStderrLaterInputs",
         .args = "in.adp c.adp d.adp >>c.adp 2>>d.adp",
         .status = 1,
         .after = {{"in_L.dsp", {}}},
         .before = {{"c.adp", five}, {"d.adp", in}}},
        // The same regular input twice is converted twice, but the same input's outputs crosswise are refused:
        // an output that an earlier argument wrote takes only the same channel of the same input again. A
        // pattern gives the names that match it, sorted, in either case on Windows, and never through a short
        // name (b.adpx has one such as B~1.ADP), which would be refused here.
        {.name = "EarlierOutputsOtherChannel",
         .args = posix ? "*.adp ./in.adp b.adpx" : "*.ADP ./in.adp b.adpx",
         .output = converted("a.adp", "a") + summary + converted("./in.adp", "./in") + rewritten,
         .after = {{"in_R.dsp", left}},
         .before = {{"a.adp", in}, {"in.adp", in}, {"b.adpx", {}}, {"in_R.dsp", five}, {"b_L.dsp", {}}}},
        // A stream's second run through a FIFO is another input.
        {.name = "FifoNamedTwice",
         .args = "s.adp s.adp",
         .output = converted("s.adp", "s", 1) + rewritten,
         .after = {{"s_L.dsp", dsp_file(in, 0, 1, true)}},
         .needs = sh,
         .setup = "mkfifo s.adp && { (head -c 32 /dev/zero >s.adp; sleep 1; head -c 32 /dev/zero >s.adp) & } && "},
        // A symbolic link that leads nowhere yet: the output is made where it leads. No output may be an earlier
        // argument's input.
        {.name = "OutputIsAnEarlierInput",
         .args = "in_L.dsp in.adp",
         .output = converted("in_L.dsp", "in_L") + said(" output is an earlier input"),
         .after = {{"r.dsp", left}, {"in_R.dsp", {}}},
         .before = {{"in_L.dsp", in}},
         .needs = sh,
         .setup = "ln -s r.dsp in_L_R.dsp && "},
#ifdef DUOSPLIT_START
        // Standard output a pipe whose reader is gone: the system's reason, not the runtime's EINVAL.
        {.name = "StdoutDeadPipe",
         .args = "in.adp",
         .output = said("fflush: ", EPIPE),
         .setup = DUOSPLIT_START "dead-pipe "},
#endif
        // Many arguments, few files open at once: each input is closed before the next. Summary lines that do
        // not arrive are a failure: a closed standard output is opened read-only.
        {.name = "SummaryLinesLost",
         .args = "$(yes in.adp | head -n 100) >&-",
         .output = said("fflush: ", EBADF),
         .after = {{"in_L.dsp", left}},
         .needs = sh,
         .setup = "ulimit -n 32 && "},
        // With the standard streams closed, no output takes their place: neither the summary line nor the
        // report goes into the outputs that are open when the second input fails.
        {.name = "StdStreamsClosed",
         .args = "in.adp s.adp <&- >&- 2>&-",
         .status = 1,
         .after = {{"s_L.dsp", stopped}, {"s_R.dsp", stopped}},
         .before = {{"s.adp", stops}},
         .needs = sh},
        // An output that cannot be positioned fails before either output is emptied.
        {.name = "UnseekableOutput",
         .args = "in.adp",
         .output = said("fseek: ", ESPIPE),
         .before = {{"in_L.dsp", five}},
         .needs = sh,
         .setup = "mkfifo in_R.dsp && "},
        // An output that cannot be opened for writing is told by what it is without an open that could block.
        {.name = "UnwritableFifoOutput",
         .args = "in.adp",
         .output = said("fopen: ", EACCES),
         .after = {{"in_L.dsp", {}}},
         .needs = sh,
         .setup = "mkfifo -m 444 in_R.dsp && ",
         .other_user = true},
        // An existing output is opened as it is: in a sticky folder, a protected system refuses to "create"
        // another user's file, even for root; a non-blocking open refuses to wait for a lease holder. The
        // summary line is still buffered when the last flush finds the device full: a failure, with its reason.
        {.name = "LeasedOutputOfAnother",
         .args = "in.adp >/dev/full",
         .output = said("fflush: ", ENOSPC),
         .after = {{"in_L.dsp", left}},
         .before = {{"in_L.dsp", five}},
         .needs = "/usr/bin/python3",
         .setup = "chmod 1777 . && { chown 65534 in_L.dsp || true; } && python3 '" DUOSPLIT_TESTS_DIR
                  "/hold-lease.py' in_L.dsp && "},
        // A device is no file to protect: the run goes on until the header's read-back finds it empty.
        {.name = "NullDeviceNotRefused",
         .args = "in.adp >/dev/null",
         .output = said("fread: unexpected EOF", 0, "util.cpp:N:get_byte:"),
         .after = {{"in_L.dsp", left}},
         .needs = sh,
         .setup = "ln -s /dev/null in_R.dsp && "},
        // Standard output's flush fails before the report, which still names the error of the check.
        {.name = "FailedFlushBeforeReport",
         .args = "in.adp d.adp 2>&1 >/dev/full",
         .output = said("fopen: ", EISDIR),
         .after = {{"in_L.dsp", left}, {"d_L.dsp", {}}},
         .needs = "/dev/full",
         .setup = "mkdir d.adp && "},
        // A read error is no end of the input; a write cut short by a file-size limit is reported where it is
        // made, and no header counts frames that are not there.
        {.name = "ReadError",
         .args = "m.adp",
         .output = said("fread: fread: ", EIO),
         .after = {{"m_L.dsp", {}}},
         .needs = "/proc/self/mem",
         .setup = "ln -s /proc/self/mem m.adp && "},
        {.name = "FileSizeLimit",
         .args = "in.adp",
         .output = said("fwrite: fwrite: ", EFBIG, "util.cpp:N:put_bytes:"),
         .after = {{"in_L.dsp", dsp_file(in, 0, 826, false)}, {"in_R.dsp", empty}},
         .needs = sh,
         .setup = "ulimit -f 26 && "},
    };
    // Then runs of random inputs {frames, tail bytes, bad frame, bad channels}:
    // none at all, failures before the first frame, stops on the last frame of
    // the first block and on the first of the second, past the first write
    // (256 KiB from the file's start) and through several, then random runs of
    // up to three inputs, a few larger than one block. Bit 2 of the bad
    // channels puts an older, longer left output beside the input, which a
    // failure found before the first frame leaves as it was. The inputs take
    // the arguments of this table in turn, each with the base name of its
    // outputs. Arguments that name one input (on Windows "track." is "track")
    // or one pair of outputs stand three apart or more, the table's wrap
    // included, so that no run holds two of them.
    const string names[][2]{{"track", "track"},    {".adp", ""},      {"a.b.adp", "a.b"}, {"track.", "track"},
                            {"dir.old/t", "dir"},  {u8 + ".adp", u8}, {"./track", ""},    {"track.adp", "track"},
                            {"sub/../t", "sub/."}, {"x", "x"}};
    constexpr size_t block = frames_per_block;
    std::vector<std::pair<string, std::vector<std::array<size_t, 4>>>> runs{
        {"NoArguments", {}},
        {"EmptyInput", {{0, 0, SIZE_MAX, 5}}},
        {"ShortInput", {{0, 31, SIZE_MAX, 1}}},
        {"BadFirstLeftHeader", {{2, 0, 0, 1}}},
        {"BadFirstRightHeader", {{2, 0, 0, 6}}},
        {"StopsAtBlockEnd", {{block + 1, 0, block - 1, 6}}},
        {"StopsAtBlockStart", {{block + 2, 5, block, 2}}},
        {"StopsPastFirstWrite", {{16400, 0, 16390, 2}}},
        {"SeveralWrites", {{40000, 7, SIZE_MAX, 4}}}};
    std::mt19937 rng(7);
    while (runs.size() < 45)
        for (auto& each : runs.emplace_back("Random" + std::to_string(runs.size()), 1 + rng() % 3).second)
            each = {rng() % 20 == 0 ? block + rng() % 50 : rng() % 12, rng() % 3 == 0 ? rng() % 32 : 0,
                    rng() % 4 == 0 ? rng() % 12 : SIZE_MAX, 1 + rng() % 3 + rng() % 2 * 4};
    for (size_t n = 0; const auto& [name, run] : runs) {
        row& r = rows.emplace_back();
        r.name = name;
        for (const auto& [frames, tail, bad_at, bad] : run) {
            const auto& [arg, base] = names[n++ % std::size(names)];
            const bytes& adp = *r.before.emplace_back(arg, adp_input(rng, frames, tail, bad_at, bad)).second;
            r.args += "\"" + arg + "\" ";
            // The left half of a frame goes out before its right header is looked at.
            const size_t right = std::min(frames, bad_at), left = right + (bad_at < frames && bad % 4 == 2);
            const bool fails = frames == 0 || bad_at < frames, early = frames == 0 || bad_at == 0;
            if (!early || !(bad & 4))
                r.after.emplace_back(base + "_L.dsp", early ? std::nullopt : dsp_file(adp, 0, left, !fails));
            r.after.emplace_back(base + "_R.dsp", early ? std::nullopt : dsp_file(adp, 1, right, !fails));
            if (bad & 4)
                r.before.emplace_back(base + "_L.dsp", bytes(40000, 7));
            r.output += frames == 0 ? said("fread: unexpected EOF", 0, "util.cpp:N:get_byte:")
                        : fails     ? said(" scale range", 0, "duosplit.cpp:N:transcode_frame:")
                                    : converted(arg, base, frames);
            if (fails)  // the arguments after it are left alone, as the failure rows show
                break;
        }
    }
    return rows;
}

using Cli = testing::TestWithParam<row>;

// Each row by each program, its output caught in run.out. A report's line
// number changes with every edit: the output is compared with N in its place.
// The program's path is quoted, the command line of an emulator before it is
// not.
TEST_P(Cli, RunsAsTheModelSays) {
    const auto& [name, args, output, status, after, before, needs, setup, other_user] = GetParam();
    if (!needs.empty() && (!posix || !fs::exists(needs)))
        GTEST_SKIP() << "needs " << needs;
    for (const string program : {DUOSPLIT_PROGRAMS}) {
        const fs::path dir = scratch_dir(), here = fs::current_path();
        std::map<string, std::optional<bytes>> expected{{"in.adp", bytes(32000, 0)}};
        write_file(dir / "in.adp", *expected["in.adp"]);
        fs::create_directory(dir / "sub");  // for the argument sub/../t, which Windows resolves only when sub exists

        for (size_t i = 0; i < before.size(); ++i) {
            const auto& [file, content] = before[i];
            content ? write_file(dir / u8_path(file), *content)
                    : fs::create_hard_link(dir / u8_path(before[i - 1].first), dir / u8_path(file));
            if (content)
                expected[file] = content;
        }
        fs::current_path(dir);
        const string as = other_user ? "$(test $(id -u) = 0 && echo setpriv --reuid=65534 --clear-groups) " : "";
        if (other_user && run(as + DUOSPLIT_LAUNCHER "\"" + program + "\"") != 0)
            GTEST_SKIP() << "user 65534 cannot run " << program;
        const int got = run(setup + as + DUOSPLIT_LAUNCHER "\"" + program + "\" >run.out 2>&1 " + args);
        fs::current_path(here);
        string said;  // the output with LF line ends and each report's line number as N
        for (const char ch : read_file(dir / "run.out").value_or(bytes{}))
            if (ch != '\r' && !('0' <= ch && ch <= '9' && said.ends_with(".cpp:N")))
                said += '0' <= ch && ch <= '9' && said.ends_with(".cpp:") ? 'N' : ch;
        ASSERT_EQ(got, status.value_or(output.find(".cpp:N:") != string::npos)) << program;
        EXPECT_EQ(said, output) << program;
        for (const auto& [file, content] : after)
            expected[file] = content;
        for (const auto& [file, content] : expected)
            EXPECT_EQ(read_file(dir / u8_path(file)), content) << program << ": " << file;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Cli, testing::ValuesIn(rows()), [](const auto& info) { return info.param.name; });

}  // namespace
