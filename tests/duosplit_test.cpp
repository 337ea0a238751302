// The tests: the utility module's routines and reports, the converter's
// packing kernels against its portable loop, and the built program run in
// scratch directories against a model of what it must print and leave on disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "frames.hpp"
#include "platform.hpp"
#include "util.hpp"

// All that differs between the platforms the tests run on. any_line: a line
// number in a death-test pattern (Windows builds have a simple regex dialect
// with \d, POSIX ones bracket expressions). posix: the cases that need
// /dev/full, /dev/zero, symbolic links, pipes or POSIX error texts can run.
// time_bound: a run of the program past DUOSPLIT_RUN_BOUND seconds (10; 60
// under qemu-user) is ended (TERM, a second later KILL) with status 124; the
// slowest correct native run, the endless input under the sanitizers, takes
// 4.5 s. Under wine, ctest's timeout bounds each test.
// run: a shell command's exit status (cmd /c drops the first and the last
// quote of a command that starts with one).
#ifdef _WIN32
const std::string any_line = "\\d+", time_bound;
constexpr bool posix = false;
int run(const std::string& command) { return std::system(("\"" + command + "\"").c_str()); }
#else
const std::string any_line = "[0-9]+", time_bound = "timeout -k 1 " DUOSPLIT_RUN_BOUND " ";
constexpr bool posix = true;
int run(const std::string& command) { return WEXITSTATUS(std::system(command.c_str())); }
#endif

namespace {

namespace fs = std::filesystem;
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

// A path from a UTF-8 name, whatever the platform's narrow encoding.
fs::path u8_path(const std::string& name) { return std::u8string(name.begin(), name.end()); }

// A file's bytes (or text); nullopt when there is no such file.
template <class container = bytes>
std::optional<container> read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return in ? std::optional<container>({std::istreambuf_iterator<char>(in), {}}) : std::nullopt;
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
    put_16_le_seek(0xFFFF, 4, f);
    put_16_be_seek(0xABCD, 2, f);
    put_byte_seek(0xFF, 1, f);
    put_bytes_seek(3, f, eight.data(), 0);  // a run of 0 bytes moves nothing
    // Zero fill: nothing to write leaves the stream where it is, up to the last offset there is.
    EXPECT_EQ((std::array{pad_to_multiple(32, 32, f), pad_to_multiple(0, 32, f), pad_to_multiple(5, 1, f),
                          pad_to_multiple(2147483647, 1, f)}),
              (std::array{32, 0, 5, 2147483647}));
    EXPECT_EQ(std::ftell(f), 3);
    EXPECT_EQ(pad_to_multiple(20, 4096, f), 4096);  // zeros over 20 to 4095
    EXPECT_EQ((std::vector<std::uint64_t>{get_byte_seek(1, f), get_16_be_seek(2, f), get_16_le_seek(4, f),
                                          get_32_be_seek(6, f), get_32_le_seek(10, f), get_64_be_seek(14, f)}),
              (std::vector<std::uint64_t>{255, 0xABCD, 65535, 0x11223344, 0x11223344, 0x0102030405060000}));
    bytes run(3, 0xEE);
    get_bytes_seek(3, f, run.data(), 0);
    get_bytes_seek(18, f, run.data(), 2);
    EXPECT_EQ(run, (bytes{5, 6, 0xEE}));
    // The whole stream, whatever its position, into a buffer of its own; the
    // stream may be empty and the size pointer null.
    bytes expected{0xEE, 0xFF, 0xAB, 0xCD, 0xFF, 0xFF, 0x11, 0x22, 0x33, 0x44,
                   0x44, 0x33, 0x22, 0x11, 1,    2,    3,    4,    5,    6};
    expected.resize(4096);
    std::size_t size = 0;
    std::uint8_t* whole = get_whole_file(f, &size);
    EXPECT_EQ(bytes(whole, whole + size), expected);
    std::free(whole);
    std::free(get_whole_file(file_stream(dir / "empty"), nullptr));
    // A range copied in chunks of 2048 bytes.
    std::FILE* out = file_stream(dir / "out");
    dump(f, out, 1, 4095);
    std::fflush(out);
    EXPECT_EQ(read_file(dir / "out"), bytes(expected.begin() + 1, expected.end()));
    // A codec writer stores exactly its width.
    bytes codecs(8, 0xEE);
    write_32_le(0x11223344, std::span<std::uint8_t, 4>(codecs.data(), 4));
    write_16_le(0xABCD, std::span<std::uint8_t, 2>(codecs.data() + 5, 2));
    EXPECT_EQ(codecs, (bytes{0x44, 0x33, 0x22, 0x11, 0xEE, 0xCD, 0xAB, 0xEE}));
}

TEST(ReportDeathTest, EachCheckNamesItself) {
    std::FILE* f = file_stream(scratch_dir() / "stream", {1, 2, 3});
    const std::string util = "util\\.cpp:" + any_line + ":", here = "duosplit_test\\.cpp:";
    // Each of the three report forms names this file, the line and the enclosing function.
    // clang-format off
    std::vector<std::pair<std::function<void()>, std::string>> rows{
        {[] { errno = ENOENT; fail_with_message("boom"); }, here + std::to_string(__LINE__) + ":operator\\(\\): boom"},
        {[] { errno = ENOENT; fail_with_errno("fopen"); }, here + std::to_string(__LINE__) + ":operator\\(\\):fopen: No such file or directory"},
        {[f] { errno = ENOENT; fail_with_stream(f, "fread"); }, here + std::to_string(__LINE__) + ":operator\\(\\):fread: fread: No such file or directory"},
        {[f] { put_32_be_seek(1, -1, f); }, util + "put_32_be_seek:fseek: " + std::strerror(EINVAL)},
        {[f] { dump(f, f, 1, 3); }, util + "dump:fread: unexpected EOF"},
        // The range test comes first, also when characters follow the number.
        {[] { read_long("99999999999999999999"); }, util + "read_long:strtol: " + std::strerror(ERANGE)},
        {[] { read_long("-99999999999999999999x"); }, util + "read_long:strtol: " + std::strerror(ERANGE)}};
    // clang-format on
    for (const char* text : {"12 ", "12a", "  ", "-"})
        rows.emplace_back([text] { read_long(text); }, util + "read_long: bad number format");
    for (const auto& [offset, block] : std::vector<std::array<std::int32_t, 2>>{{-1, 32}, {5, 0}, {2147483600, 64}})
        rows.emplace_back([=] { pad_to_multiple(offset, block, f); }, util + "pad_to_multiple: pad range");
    if (posix)  // a pipe has no end to seek to
        rows.emplace_back([] { get_whole_file(popen("", "r"), nullptr); }, util + "get_whole_file:fseek: Illegal seek");
    for (const auto& [fail, report] : rows)
        EXPECT_EXIT(fail(), testing::ExitedWithCode(1), "^" + report + "\n$");
}

TEST(Names, ReadJoinSplitAndOpenInATree) {
    const std::string sep(1, directory_separator), other = directory_separator == '/' ? "a\\b" : "a/b", file(100, 'x');
    // clang-format off
    for (const auto& [text, value] : std::vector<std::pair<const char*, long>>{{"42", 42}, {"0x1F", 31}, {"017", 15}, {"-0x10", -16}, {" \t7", 7}, {"", 0}})
        EXPECT_EQ(read_long(text), value) << text;
    // Only this platform's separator ends a directory.
    for (const auto& [path, base] : std::vector<std::array<std::string, 2>>{{"a" + sep + "b" + sep + "c.dat", "c.dat"}, {"a" + sep, ""}, {other, other}})
        EXPECT_STREQ(base_name(path.c_str()), base.c_str()) << path;
    // Sub-paths, and the file then opened below "out", which the first row
    // creates and the others find; a failed open leaves the tree.
    const fs::path dir = scratch_dir();
    for (const auto& [sub_path, opened, mode] : std::vector<std::array<const char*, 3>>{{nullptr, "out/", "wb"}, {"a:b:", "out/a/b//", "wb"}, {"c:d", "out/c/d/", "rb"}}) {
        // clang-format on
        std::FILE* f = open_in_dirs((dir / "out").string().c_str(), sub_path, ':', file.c_str(), mode);
        EXPECT_EQ(f != nullptr && std::fclose(f) == 0, *mode == 'w') << opened;
        EXPECT_TRUE(*mode == 'w' ? fs::is_regular_file(dir / (opened + file)) : fs::is_directory(dir / opened))
            << opened;
    }
    char* name = build_name("ab", "");
    EXPECT_STREQ(name, "ab");
    std::free(name);
}

// A failure waits for Enter only in a console that the program alone is
// attached to (none: 0) and that both its input and its error are.
TEST(OwnConsole, AloneWithInputAndErrorThere) {
    // clang-format off
    for (const auto& [processes, input, error, own] : std::vector<std::tuple<unsigned long, bool, bool, bool>>{
             {1, true, true, true}, {0, true, true, false}, {2, true, true, false}, {3, true, true, false},
             {1, false, true, false}, {1, true, false, false}, {0, false, false, false}})
        // clang-format on
        EXPECT_EQ(console_is_own(processes, input, error), own) << processes << input << error;
}

// ---- The converter --------------------------------------------------------

// A DSP file worked out the long way from the first `frames` ADP frames of
// `adp`: each DSP frame's predictor/scale byte, then its 14 codes two a byte.
// With `complete`, the header the converter writes last goes first; else the
// file holds what a failed conversion leaves: 96 zero bytes, then the frames.
bytes dsp_file(const bytes& adp, int channel, std::size_t frames, bool complete) {
    bytes file(96, 0);
    for (std::size_t at = 0; at < frames * 32; at += 32)
        for (std::size_t i = 4; i < 32; i += 2) {
            if (i == 4 || i == 18)
                file.push_back(static_cast<std::uint8_t>((adp[at + channel] & 0xF0) + 12 - (adp[at + channel] & 15)));
            file.push_back(static_cast<std::uint8_t>((adp[at + i] >> 4 * channel & 15) << 4 |
                                                     (adp[at + i + 1] >> 4 * channel & 15)));
        }
    if (!complete)
        return frames == 0 ? bytes{} : file;  // the seek to the frames doesn't extend a file
    // Samples, nibbles (32 a frame), rate and current address 2; every field
    // not set here is 0.
    const auto samples = static_cast<std::uint32_t>(28 * frames), nibbles = static_cast<std::uint32_t>(32 * frames);
    for (const auto& [at, value] : {std::pair{0x00, samples}, {0x04, nibbles}, {0x08, 48000U}, {0x18, 2U}})
        for (int k = 0; k < 4; ++k)
            file[at + k] = static_cast<std::uint8_t>(value >> (24 - 8 * k));
    const bytes coefficients{0, 0, 0, 0, 0x07, 0x80, 0, 0, 0x0E, 0x60, 0xF9, 0x80, 0x0C, 0x40, 0xF9, 0x20};
    std::copy(coefficients.begin(), coefficients.end(), file.begin() + 0x1C);
    file[0x3F] = file[96];
    return file;
}

// `frames` random ADP frames, then `tail` random bytes. Every channel header
// has a random filter and a shift of 0 to 12, but at frame `bad_at` the
// channels of `bad` (bit 0 left, bit 1 right) get a shift of 13 to 15.
bytes adp_input(std::mt19937& rng, std::size_t frames, std::size_t tail, std::size_t bad_at, std::size_t bad) {
    bytes in(frames * 32 + tail);
    std::generate(in.begin(), in.end(), [&] { return static_cast<std::uint8_t>(rng()); });
    for (std::size_t i = 0; i < frames * 2; ++i)  // header i % 2 of frame i / 2
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
    for (std::size_t i = 0; i < 256; ++i)
        frames[i * 32] = frames[(511 - i) * 32 + 1] = static_cast<std::uint8_t>(i);
    std::string names;
    for (const auto& [name, pack] : available_kernels())
        for (std::size_t k = 0; k < 1024; ++k) {  // channel k % 2, from frame k / 2
            const auto run = std::span<const std::uint8_t>(frames).subspan(k / 2 * 32);
            bytes fast(run.size() / 2 + 16, 0xEE), plain = fast;  // 16 bytes to spare
            ASSERT_EQ(pack(run, k % 2, fast), pack_channel_bytes(run, k % 2, plain)) << name;
            ASSERT_EQ(fast, plain) << name << k;
            names += k == 0 ? name + std::string(" ") : "";
        }
#if defined(__x86_64__) || defined(__i386__) || defined(__aarch64__)
    // Every x86 CPU has SSE2 and every aarch64 one NEON, whatever the compiler assumes.
    EXPECT_TRUE(names.ends_with("sse2 portable ") || names == "neon portable ") << names;
#endif
}

// One run of the program: the files made first (no content: a hard link to
// the one before), a shell command run next, the arguments, the output, the
// files then on disk ({}: none), and the exit status (-1: 1 when the output
// holds a report, else 0).
struct run_case {
    std::vector<std::pair<std::string, std::optional<bytes>>> inputs;
    std::string setup, args, output;
    std::vector<std::pair<std::string, std::optional<bytes>>> files;
    int status = -1;
};

TEST(Cli, ConvertsAsTheModelSays) {
    // Every failure of the converter, beside inputs of 1000 frames.
    const bytes in(32000, 0), in_left = dsp_file(in, 0, 1000, true), cut = dsp_file(in, 0, 1000, false);
    // clang-format off
    const std::string u8 = "日本語🎵", summary = "in.adp -> in_L.dsp, in_R.dsp, 28000 samples\n", same = "duosplit.cpp:N:main: output is the input\n";
    const std::string no_file = "duosplit.cpp:N:main:fopen: No such file or directory\n", one = "duosplit.cpp:N:main: outputs are the same file\n";
    std::vector<run_case> cases{
        // A longer output there beforehand is overwritten; standard output goes out ahead of the report.
        {{{"in.adp", in}, {"c.adp", in}, {"in_L.dsp", bytes(20000, 0x77)}}, "", "in.adp missing.adp c.adp", summary + no_file,
         {{"in_L.dsp", in_left}, {"missing_L.dsp", {}}, {"c_L.dsp", {}}}},
        // Creating an output that is the input, or the other output, would empty it: refused, with
        // every file as it was. Names outside every legacy code page, one that Windows takes for a
        // program, and one that a code page would turn into that of another file.
        {{{"café.exe", in}, {"café_L.dsp", {}}}, "", "café.exe", same, {{"café.exe", in}, {"café_R.dsp", {}}}},
        {{{u8 + ".adp", in}, {u8 + "_L.dsp", bytes(5, 7)}, {u8 + "_R.dsp", {}}}, "", "\"" + u8 + ".adp\"", one,
         {{u8 + ".adp", in}, {u8 + "_L.dsp", bytes(5, 7)}, {u8 + "_R.dsp", bytes(5, 7)}}},
        // Standard output or error that is the input or an output; a directory as the input.
        {{{"in.adp", in}}, "", "in.adp >in_L.dsp", "duosplit.cpp:N:main: output is standard output\n", {{"in_L.dsp", bytes{}}, {"in_R.dsp", {}}}},
        {{{"in.adp", in}, {"run.out", bytes{}}, {"in_R.dsp", {}}}, "", std::string("in.adp >") + (posix ? "/dev/null" : "NUL"),
         "", {{"in_L.dsp", {}}}, 1},
        {{{"in.adp", in}}, "", "in.adp >>in.adp", "duosplit.cpp:N:main: input is standard output\n", {{"in.adp", in}, {"in_L.dsp", {}}}},
        {{{"d_L.dsp", bytes(5, 7)}, {"d_R.dsp", {}}}, "mkdir d.adp && ", "d.adp", "duosplit.cpp:N:main:fopen: Is a directory\n", {{"d_L.dsp", bytes(5, 7)}, {"d_R.dsp", bytes(5, 7)}}},
        {{{"ā.adp", in}, {"a.adp", bytes(64, 0)}}, "", "ā.adp", "ā.adp -> ā_L.dsp, ā_R.dsp, 28000 samples\n", {{"ā_L.dsp", in_left}, {"a_L.dsp", {}}}}};
    if (posix) {
        cases.insert(cases.end(), {
            // Many arguments, few files open at once: each input is closed before the next. The
            // summary lines that a full disk took are a failure, as is a closed standard output.
            {{{"in.adp", in}}, "ulimit -n 32 && ", "$(yes in.adp | head -n 100) >/dev/full", "duosplit.cpp:N:main:fflush: No space left on device\n", {{"in_L.dsp", in_left}}},
            {{{"in.adp", in}}, "", "in.adp >&-", "duosplit.cpp:N:main:fflush: Bad file descriptor\n", {{"in_L.dsp", in_left}}},
            // With the standard streams closed, no output takes their place to receive the lines.
            {{{"in.adp", in}, {"bad.adp", bytes{}}}, "", "in.adp bad.adp <&- >&- 2>&-", "", {{"in_L.dsp", in_left}, {"bad_L.dsp", {}}, {"bad_R.dsp", {}}}, 1},
            {{}, "ln -s /dev/zero z.adp && ln -s /dev/zero z_R.dsp && ", "z.adp", same, {{"z_L.dsp", {}}}},
            {{{"in.adp", in}, {"in_L.dsp", bytes(5, 7)}}, "ln -s in_L.dsp in_R.dsp && ", "in.adp", one, {{"in.adp", in}, {"in_L.dsp", bytes(5, 7)}}},
            {{{"in.adp", in}}, "ln -s in_L.dsp in_R.dsp && ", "in.adp", one, {{"in.adp", in}, {"in_R.dsp", bytes{}}}},
            {{{"in.adp", in}}, "mkdir in_R.dsp && ", "in.adp", "duosplit.cpp:N:main:fopen: Is a directory\n", {{"in_L.dsp", {}}}},
            // Standard output's flush fails (ENOSPC) before the report, which still names the error of the check.
            {{{"in.adp", in}}, "", "in.adp missing.adp 2>&1 >/dev/full", no_file, {{"in_L.dsp", in_left}, {"missing_L.dsp", {}}}},
            // A read error is no end of the input; a write cut short by a file-size limit
            // is reported where it is made, and no header counts frames that are not there.
            {{}, "ln -s /proc/self/mem m.adp && ", "m.adp", "duosplit.cpp:N:main:fread: fread: Input/output error\n", {{"m_L.dsp", {}}, {"m_R.dsp", {}}}},
            {{{"in.adp", in}}, "ulimit -f 26 && ", "in.adp", "util.cpp:N:put_bytes:fwrite: fwrite: File too large\n",
             {{"in_L.dsp", bytes(cut.begin(), cut.begin() + 13312)}, {"in_R.dsp", bytes{}}}},
            {{{"in.adp", in}}, "ln -s /dev/full in_L.dsp && ", "in.adp", "util.cpp:N:put_bytes:fwrite: fwrite: No space left on device\n", {}},
            // An endless input (a pipe), refused once the sample count would overflow.
            {{}, "ln -s /dev/stdin z.adp && ln -s /dev/null z_L.dsp && ln -s /dev/zero z_R.dsp && cat /dev/zero | ", "z.adp", "duosplit.cpp:N:main: sample count range\n", {}}});
    }
    // Then runs of random inputs {frames, tail bytes, bad frame, bad channels}:
    // none at all, stops on the first frame, on the last of the first block and
    // on the first of the second, then random runs of up to three inputs, a few
    // larger than one block. The inputs take the arguments of this table in
    // turn, each with the base name of its outputs.
    const std::array<std::array<std::string, 2>, 9> names{{{"track.adp", "track"}, {"a.b.adp", "a.b"}, {"dir.old/t", "dir"},
        {"track", "track"}, {".adp", ""}, {u8 + ".adp", u8}, {"track.", "track"}, {"sub/../t", "sub/."}, {"x", "x"}}};
    std::vector<std::vector<std::array<std::size_t, 4>>> runs{{}, {{3, 0, 0, 1}}, {{frames_per_block + 1, 0, frames_per_block - 1, 2}},
        {{frames_per_block + 2, 5, frames_per_block, 1}}, {{frames_per_block + 2, 0, frames_per_block, 2}}};
    // clang-format on
    std::mt19937 rng(7);
    while (runs.size() < 40)
        for (auto& each : runs.emplace_back(1 + rng() % 3))
            each = {rng() % 20 == 0 ? frames_per_block + rng() % 50 : rng() % 12, rng() % 3 == 0 ? rng() % 32 : 0,
                    rng() % 4 == 0 ? rng() % 12 : SIZE_MAX, 1 + rng() % 3};
    for (std::size_t n = 0; const auto& run : runs) {
        run_case& c = cases.emplace_back();
        for (const auto& [frames, tail, bad_at, bad] : run) {
            const auto& [arg, base] = names[n++ % names.size()];
            const bytes& adp = *c.inputs.emplace_back(arg, adp_input(rng, frames, tail, bad_at, bad)).second;
            c.args += "\"" + arg + "\" ";
            // The left half of a frame goes out before its right header is looked at.
            const std::size_t right = std::min(frames, bad_at), left = right + (bad_at < frames && bad == 2);
            const bool fails = frames == 0 || bad_at < frames;
            const bool first = bad_at == 0 || frames == 0;  // a failure before the first frame touches no output
            c.files.insert(c.files.end(), {{base + "_L.dsp", first ? std::nullopt : std::optional(dsp_file(adp, 0, left, !fails))},
                                           {base + "_R.dsp", first ? std::nullopt : std::optional(dsp_file(adp, 1, right, !fails))}});
            // clang-format off
            c.output += frames == 0 ? "util.cpp:N:get_byte:fread: unexpected EOF\n"
                      : fails ? "duosplit.cpp:N:transcode_frame: scale range\n"
                      : arg + " -> " + base + "_L.dsp, " + base + "_R.dsp, " + std::to_string(28 * frames) + " samples\n";
            // clang-format on
            if (fails)  // the arguments after it are left alone, as the failure rows show
                break;
        }
    }
    // Each run in a directory of its own, by each program, its output caught
    // in run.out there (which a row may link an output to). A report's line
    // number changes with every edit: the output is compared with N in its place.
    for (const std::string program : {DUOSPLIT_PROGRAMS})
        for (const auto& [inputs, setup, args, output, files, status] : cases) {
            const fs::path dir = scratch_dir(), out = dir / "run.out", here = fs::current_path();
            fs::create_directory(dir / "sub");  // for the argument sub/../t
            for (std::size_t i = 0; i < inputs.size(); ++i)
                inputs[i].second
                    ? write_file(dir / u8_path(inputs[i].first), *inputs[i].second)
                    : fs::create_hard_link(dir / u8_path(inputs[i - 1].first), dir / u8_path(inputs[i].first));
            fs::current_path(dir);
            const int got = run(setup + time_bound + program + " >\"" + out.string() + "\" 2>&1 " + args);
            fs::current_path(here);
            const std::string text = read_file<std::string>(out).value();
            std::string said;  // the output with LF line ends and each report's line number as N
            for (const char ch : text)
                if (ch != '\r' && !('0' <= ch && ch <= '9' && said.ends_with(".cpp:N")))
                    said += '0' <= ch && ch <= '9' && said.ends_with(".cpp:") ? 'N' : ch;
            ASSERT_EQ(got, status >= 0 ? status : output.find(".cpp:N:") != std::string::npos) << program << args;
            EXPECT_EQ(said, output);
            for (const auto& [name, content] : files)
                EXPECT_EQ(read_file(dir / u8_path(name)), content) << name;
        }
}

}  // namespace
