// The utility module: stream operations and codecs, numbers, whole files,
// names and directory trees, range copy and zero fill, and every report.
#include "util.hpp"

#include <array>
#include <functional>
#include <numeric>
#include <span>

#include "support.hpp"

namespace {

TEST(StreamOps, RoundTripPadAndReadWhole) {
    // Each _seek twin seeks, then calls its plain member: together they run all 26.
    const bytes eight{1, 2, 3, 4, 5, 6, 7, 8};
    std::FILE* f = file_stream(scratch_dir() / "stream", {0xEE});
    put_bytes_seek(14, f, eight.data(), 8);
    put_32_le_seek(0x11223344, 10, f);
    put_32_be_seek(0x11223344, 6, f);
    put_16_le_seek(0xFFFF, 4, f);
    put_16_be_seek(0xABCD, 2, f);
    put_byte_seek(0xFF, 1, f);
    put_bytes_seek(3, f, eight.data(), 0);  // a run of 0 bytes moves nothing
    // Zero fill: nothing to write leaves the stream where it is.
    EXPECT_EQ((std::array{pad_to_multiple(32, 32, f), pad_to_multiple(0, 32, f), pad_to_multiple(5, 1, f)}),
              (std::array{32, 0, 5}));
    EXPECT_EQ(std::ftell(f), 3);
    EXPECT_EQ(pad_to_multiple(20, 16, f), 32);  // zeros over 20 to 31
    EXPECT_EQ((std::vector<std::uint64_t>{get_byte_seek(1, f), get_16_be_seek(2, f), get_16_le_seek(4, f),
                                          get_32_be_seek(6, f), get_32_le_seek(10, f), get_64_be_seek(14, f)}),
              (std::vector<std::uint64_t>{255, 0xABCD, 65535, 0x11223344, 0x11223344, 0x0102030405060000}));
    bytes codecs(8, 0xEE);  // a writer stores exactly its width
    write_32_le(0x11223344, std::span<std::uint8_t, 4>(codecs.data(), 4));
    write_16_le(0xABCD, std::span<std::uint8_t, 2>(codecs.data() + 5, 2));
    EXPECT_EQ(codecs, (bytes{0x44, 0x33, 0x22, 0x11, 0xEE, 0xCD, 0xAB, 0xEE}));
    bytes run(3, 0xEE);
    get_bytes_seek(3, f, run.data(), 0);
    get_bytes_seek(18, f, run.data(), 2);
    EXPECT_EQ(run, (bytes{5, 6, 0xEE}));
    EXPECT_EQ(std::ftell(f), 20);
    // The whole stream, whatever its position, into a buffer of its own; an
    // empty one gives a valid buffer too, and the size is optional.
    std::size_t size = 0;
    std::uint8_t* whole = get_whole_file(f, &size);
    EXPECT_EQ(bytes(whole, whole + size),
              (bytes{0xEE, 0xFF, 0xAB, 0xCD, 0xFF, 0xFF, 0x11, 0x22, 0x33, 0x44, 0x44, 0x33, 0x22, 0x11, 1, 2,
                     3,    4,    5,    6,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0, 0}));
    EXPECT_EQ(std::ftell(f), 32);
    std::free(whole);
    whole = get_whole_file(file_stream(scratch_dir() / "empty"), nullptr);
    EXPECT_NE(whole, nullptr);
    std::free(whole);
}

TEST(ReportDeathTest, EachCheckNamesItself) {
    const fs::path path = scratch_dir() / "stream";
    std::FILE* f = file_stream(path, {1, 2, 3});
    const std::string range = std::strerror(ERANGE);
    // clang-format off
    std::vector<std::pair<std::function<void()>, std::string>> cases{
        {[f] { get_32_le(f); }, "get_32_le:fread: unexpected EOF"},
        {[f] { get_16_be_seek(10, f); }, "get_16_be:fread: unexpected EOF"},  // the seek past the end succeeds
        {[f] { put_32_be_seek(1, -1, f); }, "put_32_be_seek:fseek: " + std::string(std::strerror(EINVAL))},
        // The range test comes first, also when characters follow the number.
        {[] { read_long("99999999999999999999"); }, "read_long:strtol: " + range},
        {[] { read_long("-99999999999999999999x"); }, "read_long:strtol: " + range}};
    // clang-format on
    for (const char* text : {"12 ", "12a", "  ", "-"})
        cases.emplace_back([text] { read_long(text); }, "read_long: bad number format");
    for (const auto& [offset, block] : std::vector<std::array<std::int32_t, 2>>{{-1, 32}, {5, 0}, {2147483600, 64}})
        cases.emplace_back([=] { pad_to_multiple(offset, block, f); }, "pad_to_multiple: pad range");
    if (std::FILE* pipe = pipe_stream())  // no end to seek to
        cases.emplace_back([pipe] { get_whole_file(pipe, nullptr); }, "get_whole_file:fseek: Illegal seek");
    for (const auto& [fail, report] : cases)
        EXPECT_EXIT(fail(), testing::ExitedWithCode(1), "^util\\.cpp:" + any_line + ":" + report + "\n$");
    EXPECT_EQ(read_file(path), (bytes{1, 2, 3}));  // nothing was written on the way
    // Each form used here names this file, the line and the enclosing function.
    // clang-format off
    const int line = __LINE__ + 1;
    const std::function<void()> forms[] = {[] { errno = ENOENT; fail_with_message("boom"); }, [] { errno = ENOENT; fail_with_errno("fopen"); }, [f] { errno = ENOENT; fail_with_stream(f, "fread"); }};
    // clang-format on
    const std::string texts[] = {": boom", ":fopen: No such file or directory",
                                 ":fread: fread: No such file or directory"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EXIT(forms[i](), testing::ExitedWithCode(1),
                    "^util_test\\.cpp:" + std::to_string(line) + ":operator\\(\\)" + texts[i] + "\n$");
    }
}

TEST(Names, ReadJoinSplitAndOpenInATree) {
    for (const auto& [text, value] : std::vector<std::pair<const char*, long>>{
             {"42", 42}, {"0x1F", 31}, {"017", 15}, {"-0x10", -16}, {" \t7", 7}, {"", 0}}) {
        EXPECT_EQ(read_long(text), value) << text;
    }
    char* name = build_name("ab", "");
    EXPECT_STREQ(name, "ab");
    std::free(name);
    const std::string sep(1, directory_separator), nested = "a" + sep + "b" + sep + "c.dat", trailing = "a" + sep;
    EXPECT_STREQ(base_name(nested.c_str()), "c.dat");
    EXPECT_EQ(base_name(trailing.c_str()), trailing.c_str() + 2);
    const char* other = directory_separator == '/' ? "a\\b" : "a/b";  // not a separator here
    EXPECT_EQ(base_name(other), other);
    // Sub-paths and the file then opened below "out", which exists already.
    const std::string file(100, 'x');
    for (const auto& [sub_path, opened] : std::vector<std::pair<const char*, std::string>>{
             {nullptr, "out/"}, {"ab", "out/ab/"}, {"a:b:", "out/a/b//"}}) {
        const fs::path dir = scratch_dir();
        fs::create_directory(dir / "out");
        std::FILE* f = open_in_dirs((dir / "out").string().c_str(), sub_path, ':', file.c_str(), "wb");
        ASSERT_NE(f, nullptr) << opened;
        std::fclose(f);
        EXPECT_TRUE(fs::is_regular_file(dir / (opened + file))) << opened;
    }
    const fs::path dir = scratch_dir();  // a failed open leaves the tree
    EXPECT_EQ(open_in_dirs((dir / "out").string().c_str(), "a:b", ':', "x", "rb"), nullptr);
    EXPECT_TRUE(fs::is_directory(dir / "out" / "a" / "b"));
}

TEST(DumpDeathTest, CopiesARangeInChunks) {
    bytes source(6000);
    std::iota(source.begin(), source.end(), std::uint8_t{7});
    const fs::path dir = scratch_dir();
    std::FILE* in = file_stream(dir / "in", source);
    std::FILE* out = file_stream(dir / "out");
    dump(in, out, 1000, 0);
    EXPECT_EQ(std::ftell(in), 1000);
    dump(in, out, 1000, 5000);  // chunks of 2048, 2048 and 904
    std::fflush(out);
    EXPECT_EQ(read_file(dir / "out"), bytes(source.begin() + 1000, source.end()));
    // Past the end: the whole chunks before it stay copied.
    EXPECT_EXIT(dump(in, out, 1000, 5001), testing::ExitedWithCode(1),
                "^util\\.cpp:" + any_line + ":dump:fread: unexpected EOF\n$");
    EXPECT_EQ(read_file(dir / "out").size(), 5000U + 4096U);
}

}  // namespace
