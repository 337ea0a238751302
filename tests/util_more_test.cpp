// Numbers, whole files, names, directory trees, range copy and zero fill.
#include <cstdlib>
#include <cstring>

#include "support.hpp"
#include "util.hpp"

namespace {

const std::string sep(1, directory_separator);

TEST(ReadLong, AcceptsOneNumberInAnyBase) {
    const std::vector<std::pair<const char*, long>> cases{{"42", 42},     {"0x1F", 31}, {"017", 15},
                                                          {"-0x10", -16}, {" \t7", 7},  {"", 0}};
    for (const auto& [text, value] : cases) {
        EXPECT_EQ(read_long(text), value) << text;
    }
}

TEST(ReadLongDeathTest, RejectsAnythingElse) {
    for (const char* text : {"12 ", "12a", "  ", "-", "0x"}) {
        EXPECT_EXIT(read_long(text), testing::ExitedWithCode(1),
                    "^util\\.cpp:" + any_line + ":read_long: bad number format\n$");
    }
    // The range test comes first, also when characters follow the number.
    for (const char* text : {"99999999999999999999999", "-99999999999999999999999x"}) {
        EXPECT_EXIT(read_long(text), testing::ExitedWithCode(1),
                    "^util\\.cpp:" + any_line + ":read_long:strtol: " + std::strerror(ERANGE) + "\n$");
    }
}

TEST(WholeFile, ReadsEveryByteIntoANewBuffer) {
    for (const bytes& content : {bytes{1, 2, 0xFF, 4, 5}, bytes{}}) {
        std::FILE* f = scratch_stream(content);
        std::size_t size = 99;
        std::uint8_t* buffer = get_whole_file(f, &size);
        ASSERT_NE(buffer, nullptr);
        EXPECT_EQ(bytes(buffer, buffer + size), content);
        EXPECT_EQ(std::ftell(f), static_cast<long>(content.size()));
        std::free(buffer);
        std::free(get_whole_file(f, nullptr));
        std::fclose(f);
    }
}

TEST(Names, JoinsAndSplits) {
    const std::vector<std::pair<std::string, std::string>> joins{{"ab", "cd"}, {"", ""}, {"", "x"}};
    for (const auto& [first, second] : joins) {
        char* name = build_name(first.c_str(), second.c_str());
        EXPECT_STREQ(name, (first + second).c_str());
        std::free(name);
    }
    const std::string nested = "a" + sep + "b" + sep + "c.dat";
    EXPECT_STREQ(base_name(nested.c_str()), "c.dat");
    const char* plain = "c.dat";
    EXPECT_EQ(base_name(plain), plain);
    const std::string trailing = "a" + sep;
    EXPECT_EQ(base_name(trailing.c_str()), trailing.c_str() + trailing.size());
    const char* other = directory_separator == '/' ? "a\\b\\c.dat" : "a/b/c.dat";
    EXPECT_EQ(base_name(other), other);
}

TEST(OpenInDirs, CreatesTheTreeTopDown) {
    struct tree_case {
        const char* sub_path;
        std::vector<std::string> dirs;  // below "out", separators as '/'
        std::string opened;
    };
    const std::vector<tree_case> cases{
        {nullptr, {}, "out/x.dat"},     {"", {}, "out/x.dat"},
        {"ab", {"ab"}, "out/ab/x.dat"}, {"a:b", {"a", "a/b"}, "out/a/b/x.dat"},
        {"a:", {"a"}, "out/a//x.dat"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.opened);
        const fs::path dir = scratch_dir();
        fs::create_directory(dir / "out");  // an existing directory is passed through
        std::FILE* f = open_in_dirs((dir / "out").string().c_str(), c.sub_path, ':', "x.dat", "wb");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
        EXPECT_TRUE(fs::is_regular_file(dir / c.opened));
        std::vector<std::string> made;
        for (const auto& entry : fs::recursive_directory_iterator(dir / "out")) {
            if (entry.is_directory())
                made.push_back(fs::relative(entry.path(), dir / "out").generic_string());
        }
        std::sort(made.begin(), made.end());
        EXPECT_EQ(made, c.dirs);
    }
    const fs::path dir = scratch_dir();
    EXPECT_EQ(open_in_dirs((dir / "out").string().c_str(), "a:b", ':', "none.dat", "rb"), nullptr);
    EXPECT_TRUE(fs::is_directory(dir / "out" / "a" / "b"));
}

TEST(Dump, CopiesARangeInChunks) {
    bytes source(6000);
    for (std::size_t i = 0; i < source.size(); ++i)
        source[i] = static_cast<std::uint8_t>(i * 7);
    std::FILE* in = scratch_stream(source);
    std::FILE* out = std::fopen((test_dir() / "out.bin").string().c_str(), "w+b");
    put_bytes(out, source.data(), 3);
    dump(in, out, 1000, 0);
    EXPECT_EQ(std::ftell(in), 1000);
    dump(in, out, 1000, 5000);
    EXPECT_EQ(std::ftell(in), 6000);
    std::fclose(out);
    bytes expected(source.begin(), source.begin() + 3);
    expected.insert(expected.end(), source.begin() + 1000, source.end());
    EXPECT_EQ(read_file(test_dir() / "out.bin"), expected);
    std::fclose(in);
}

TEST(DumpDeathTest, RangePastTheEndKeepsTheWholeChunksBeforeIt) {
    std::FILE* in = scratch_stream(bytes(3000, 0xAB));
    std::FILE* out = std::fopen((test_dir() / "out.bin").string().c_str(), "wb");
    EXPECT_EXIT(dump(in, out, 0, 5000), testing::ExitedWithCode(1),
                "^util\\.cpp:" + any_line + ":dump:fread: unexpected EOF\n$");
    EXPECT_EQ(read_file(test_dir() / "out.bin"), bytes(2048, 0xAB));
    EXPECT_EXIT(dump(in, out, -1, 1), testing::ExitedWithCode(1),
                "^util\\.cpp:" + any_line + ":dump:fseek: Invalid argument\n$");
}

TEST(PadToMultiple, ZeroFillsUpToTheBoundary) {
    struct pad_case {
        std::int32_t offset, block, end;
    };
    for (const auto& c : {pad_case{100, 32, 128}, pad_case{128, 32, 128}, pad_case{0, 32, 0}, pad_case{5, 1, 5}}) {
        std::FILE* f = scratch_stream(bytes(130, 0xEE));
        std::fseek(f, 7, SEEK_SET);
        EXPECT_EQ(pad_to_multiple(c.offset, c.block, f), c.end);
        EXPECT_EQ(std::ftell(f), c.end > c.offset ? c.end : 7);  // untouched when nothing is written
        std::fclose(f);
        bytes expected(130, 0xEE);
        std::fill(expected.begin() + c.offset, expected.begin() + c.end, 0);
        EXPECT_EQ(read_file(stream_path()), expected);
    }
}

TEST(PadToMultipleDeathTest, RefusesArgumentsOutOfRange) {
    struct pad_case {
        std::int32_t offset, block;
    };
    for (const auto& c : {pad_case{-1, 32}, pad_case{5, 0}, pad_case{5, -4}, pad_case{2147483600, 64}}) {
        std::FILE* f = scratch_stream();
        EXPECT_EXIT(pad_to_multiple(c.offset, c.block, f), testing::ExitedWithCode(1),
                    "^util\\.cpp:" + any_line + ":pad_to_multiple: pad range\n$");
        EXPECT_TRUE(read_file(stream_path()).empty());
        std::fclose(f);
    }
}

}  // namespace
