// Numbers, whole files, names, directory trees, range copy and zero fill.
#include <algorithm>
#include <array>
#include <tuple>

#include "support.hpp"
#include "util.hpp"

namespace {

const std::string util_report = "^util\\.cpp:" + any_line;

TEST(ReadLongDeathTest, TakesOneNumberInAnyBaseAndNothingElse) {
    for (const auto& [text, value] : std::vector<std::pair<const char*, long>>{
             {"42", 42}, {"0x1F", 31}, {"017", 15}, {"-0x10", -16}, {" \t7", 7}, {"", 0}}) {
        EXPECT_EQ(read_long(text), value) << text;
    }
    for (const char* text : {"12 ", "12a", "  ", "-"}) {
        EXPECT_EXIT(read_long(text), testing::ExitedWithCode(1), util_report + ":read_long: bad number format\n$");
    }
    // The range test comes first, also when characters follow the number.
    for (const char* text : {"99999999999999999999", "-99999999999999999999x"}) {
        EXPECT_EXIT(read_long(text), testing::ExitedWithCode(1),
                    util_report + ":read_long:strtol: " + std::strerror(ERANGE) + "\n$");
    }
}

TEST(WholeFileDeathTest, ReadsEveryByteIntoANewBuffer) {
    for (const bytes& content : {bytes{1, 2, 0xFF}, bytes{}}) {
        std::FILE* f = scratch_stream(content);
        std::size_t size = 99;
        std::uint8_t* buffer = get_whole_file(f, &size);
        ASSERT_NE(buffer, nullptr);
        EXPECT_EQ(bytes(buffer, buffer + size), content);
        std::free(buffer);
        std::free(get_whole_file(f, nullptr));
        EXPECT_EQ(std::ftell(f), static_cast<long>(content.size()));
    }
    if (std::FILE* pipe = pipe_stream()) {  // no end to seek to
        EXPECT_EXIT(get_whole_file(pipe, nullptr), testing::ExitedWithCode(1),
                    util_report + ":get_whole_file:fseek: Illegal seek\n$");
    }
}

TEST(Names, JoinSplitAndOpenInATree) {
    char* name = build_name("ab", "");
    EXPECT_STREQ(name, "ab");
    std::free(name);
    const std::string sep(1, directory_separator), nested = "a" + sep + "b" + sep + "c.dat", trailing = "a" + sep;
    EXPECT_STREQ(base_name(nested.c_str()), "c.dat");
    EXPECT_EQ(base_name(trailing.c_str()), trailing.c_str() + 2);
    const char* other = directory_separator == '/' ? "a\\b" : "a/b";  // not a separator here
    EXPECT_EQ(base_name(other), other);

    // Sub-path, the directories made below "out", and the file opened.
    const std::vector<std::tuple<const char*, std::vector<std::string>, std::string>> trees{
        {nullptr, {}, "out/x"},
        {"ab", {"ab"}, "out/ab/x"},
        {"a:b", {"a", "a/b"}, "out/a/b/x"},
        {"a:", {"a"}, "out/a//x"}};
    for (const auto& [sub_path, dirs, opened] : trees) {
        const fs::path dir = scratch_dir();
        fs::create_directory(dir / "out");  // an existing directory is passed through
        std::FILE* f = open_in_dirs((dir / "out").string().c_str(), sub_path, ':', "x", "wb");
        ASSERT_NE(f, nullptr) << opened;
        std::fclose(f);
        std::vector<std::string> made;
        for (const auto& entry : fs::recursive_directory_iterator(dir / "out")) {
            if (entry.is_directory())
                made.push_back(fs::relative(entry.path(), dir / "out").generic_string());
        }
        std::sort(made.begin(), made.end());
        EXPECT_EQ(made, dirs) << opened;
        EXPECT_TRUE(fs::is_regular_file(dir / opened));
    }
    const fs::path dir = scratch_dir();  // a failed open leaves the tree
    EXPECT_EQ(open_in_dirs((dir / "out").string().c_str(), "a:b", ':', "x", "rb"), nullptr);
    EXPECT_TRUE(fs::is_directory(dir / "out" / "a" / "b"));
}

TEST(DumpDeathTest, CopiesARangeInChunks) {
    bytes source(6000);
    for (std::size_t i = 0; i < source.size(); ++i)
        source[i] = static_cast<std::uint8_t>(i * 7);
    std::FILE* in = scratch_stream(source);
    std::FILE* out = std::fopen((test_dir() / "out").string().c_str(), "wb");
    dump(in, out, 1000, 0);
    EXPECT_EQ(std::ftell(in), 1000);
    dump(in, out, 1000, 5000);
    std::fflush(out);
    EXPECT_EQ(read_file(test_dir() / "out"), bytes(source.begin() + 1000, source.end()));
    // Past the end: the whole chunks before it stay copied.
    EXPECT_EXIT(dump(in, out, 1000, 5001), testing::ExitedWithCode(1), util_report + ":dump:fread: unexpected EOF\n$");
    EXPECT_EQ(read_file(test_dir() / "out").size(), 5000U + 4096U);
}

TEST(PadToMultipleDeathTest, ZeroFillsUpToTheBoundary) {
    for (const auto& [offset, block, end] :
         std::vector<std::array<std::int32_t, 3>>{{100, 32, 128}, {128, 32, 128}, {0, 32, 0}, {5, 1, 5}}) {
        std::FILE* f = scratch_stream(bytes(130, 0xEE));
        std::fseek(f, 7, SEEK_SET);
        EXPECT_EQ(pad_to_multiple(offset, block, f), end);
        EXPECT_EQ(std::ftell(f), end > offset ? end : 7);  // not moved when nothing is written
        std::fclose(f);
        bytes expected(130, 0xEE);
        std::fill(expected.begin() + offset, expected.begin() + end, 0);
        EXPECT_EQ(read_file(stream_path()), expected);
    }
    std::FILE* f = scratch_stream();
    for (const auto& [offset, block] : std::vector<std::array<std::int32_t, 2>>{{-1, 32}, {5, 0}, {2147483600, 64}}) {
        EXPECT_EXIT(pad_to_multiple(offset, block, f), testing::ExitedWithCode(1),
                    util_report + ":pad_to_multiple: pad range\n$");
    }
    EXPECT_TRUE(read_file(stream_path()).empty());
}

}  // namespace
