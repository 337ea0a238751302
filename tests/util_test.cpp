#include "util.hpp"

#include <cerrno>
#include <functional>

#include "support.hpp"

namespace {

using u64 = std::uint64_t;

TEST(Codecs, ByteOrderInMemory) {
    const std::array<std::uint8_t, 8> in{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    EXPECT_EQ(read_16_be(std::span(in).first<2>()), 0x0102);
    EXPECT_EQ(read_16_le(std::span(in).first<2>()), 0x0201);
    EXPECT_EQ(read_32_be(std::span(in).first<4>()), 0x01020304U);
    EXPECT_EQ(read_32_le(std::span(in).first<4>()), 0x04030201U);
    EXPECT_EQ(read_64_be(in), 0x0102030405060708ULL);

    // Writers store exactly their width: the guard bytes stay.
    std::array<std::uint8_t, 6> out{};
    out.fill(0xEE);
    write_32_be(0x11223344, std::span(out).subspan<1, 4>());
    EXPECT_EQ(out, (std::array<std::uint8_t, 6>{0xEE, 0x11, 0x22, 0x33, 0x44, 0xEE}));
    write_32_le(0x11223344, std::span(out).subspan<1, 4>());
    EXPECT_EQ(out, (std::array<std::uint8_t, 6>{0xEE, 0x44, 0x33, 0x22, 0x11, 0xEE}));
    write_16_be(0xABCD, std::span(out).subspan<1, 2>());
    write_16_le(0xABCD, std::span(out).subspan<3, 2>());
    EXPECT_EQ(out, (std::array<std::uint8_t, 6>{0xEE, 0xAB, 0xCD, 0xCD, 0xAB, 0xEE}));
}

// Each row writes a value with the plain writer and with its _seek twin at
// offset 3, then reads it back with both readers.
struct width_case {
    const char* name;
    std::function<void(std::FILE*)> put;
    std::function<void(std::FILE*)> put_seek;
    std::function<u64(std::FILE*)> get;
    std::function<u64(std::FILE*)> get_seek;
    u64 value;
    bytes stored;
};

#define WIDTH_CASE(put, get, value, ...)                                                             \
    width_case {                                                                                     \
#get, [](std::FILE* f) { put(value, f); }, [](std::FILE* f) { put##_seek(value, 3, f); },          \
            [](std::FILE* f) -> u64 { return get(f); }, [](std::FILE* f) -> u64 { return get##_seek(3, f); }, \
            value, bytes { \
            __VA_ARGS__                                                                              \
        }                                                                                            \
    }

TEST(StreamOps, RoundTripsAtPositionAndOffset) {
    const bytes eight{1, 2, 3, 4, 5, 6, 7, 8};
    const std::vector<width_case> cases{
        WIDTH_CASE(put_byte, get_byte, 0xFF, 0xFF),
        WIDTH_CASE(put_16_be, get_16_be, 0xABCD, 0xAB, 0xCD),
        WIDTH_CASE(put_16_le, get_16_le, 0xFFFF, 0xFF, 0xFF),
        WIDTH_CASE(put_32_be, get_32_be, 0x11223344, 0x11, 0x22, 0x33, 0x44),
        WIDTH_CASE(put_32_le, get_32_le, 0xFFFFFFFE, 0xFE, 0xFF, 0xFF, 0xFF),
        {"get_64_be", [&](std::FILE* f) { put_bytes(f, eight.data(), 8); },
         [&](std::FILE* f) { put_bytes_seek(3, f, eight.data(), 8); }, [](std::FILE* f) -> u64 { return get_64_be(f); },
         [](std::FILE* f) -> u64 { return get_64_be_seek(3, f); }, 0x0102030405060708ULL, eight},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::FILE* f = scratch_stream({0xEE, 0xEE, 0xEE});
        c.put_seek(f);
        EXPECT_EQ(std::ftell(f), static_cast<long>(3 + c.stored.size()));
        c.put(f);
        std::fflush(f);
        bytes expected{0xEE, 0xEE, 0xEE};
        expected.insert(expected.end(), c.stored.begin(), c.stored.end());
        expected.insert(expected.end(), c.stored.begin(), c.stored.end());
        EXPECT_EQ(read_file(stream_path()), expected);
        EXPECT_EQ(c.get_seek(f), c.value);
        EXPECT_EQ(c.get(f), c.value);
        EXPECT_EQ(std::ftell(f), static_cast<long>(expected.size()));
        std::fclose(f);
    }
}

TEST(StreamOps, ByteRunsIncludingEmptyOnes) {
    std::FILE* f = scratch_stream({9, 9, 9, 9, 9});
    const bytes run{0xA0, 0xB0};
    put_bytes(f, run.data(), 0);
    put_bytes_seek(2, f, run.data(), 2);
    bytes back(5, 0);
    get_bytes_seek(0, f, back.data(), 5);
    EXPECT_EQ(back, (bytes{9, 9, 0xA0, 0xB0, 9}));
    get_bytes(f, back.data(), 0);
    EXPECT_EQ(std::ftell(f), 5);
    std::fclose(f);
}

TEST(ReportDeathTest, UnexpectedEndOfFileNamesTheReader) {
    std::FILE* f = scratch_stream({1, 2, 3});
    EXPECT_EXIT(get_32_le(f), testing::ExitedWithCode(1),
                "^util\\.cpp:" + any_line + ":get_32_le:fread: unexpected EOF\n$");
    // The seek beyond the end succeeds; the short read reports from the plain member.
    EXPECT_EXIT(get_16_be_seek(10, f), testing::ExitedWithCode(1),
                "^util\\.cpp:" + any_line + ":get_16_be:fread: unexpected EOF\n$");
}

TEST(ReportDeathTest, FailedSeekNamesTheTwin) {
    std::FILE* f = scratch_stream({1, 2, 3});
    EXPECT_EXIT(put_32_be_seek(1, -1, f), testing::ExitedWithCode(1),
                "^util\\.cpp:" + any_line + ":put_32_be_seek:fseek: Invalid argument\n$");
}

TEST(ReportDeathTest, ShortWriteNamesTheCallTwice) {
    if (!posix_devices)
        GTEST_SKIP() << "needs /dev/full";
    std::FILE* full = std::fopen("/dev/full", "wb");
    std::setvbuf(full, nullptr, _IONBF, 0);
    const bytes run(16, 0);
    EXPECT_EXIT(put_bytes(full, run.data(), run.size()), testing::ExitedWithCode(1),
                "^util\\.cpp:" + any_line + ":put_bytes:fwrite: fwrite: No space left on device\n$");
}

TEST(ReportDeathTest, ErrnoFormKeepsTheErrorOfTheFailedCall) {
    if (!posix_devices)
        GTEST_SKIP() << "needs /dev/full";
    // Standard output's flush fails with ENOSPC; the report still names ENOENT.
    auto fail_after_flush_error = [] {
        std::freopen("/dev/full", "w", stdout);
        std::printf("pending");
        errno = ENOENT;
        fail_with_errno("fopen");
    };
    const int line = __LINE__ - 2;
    EXPECT_EXIT(fail_after_flush_error(), testing::ExitedWithCode(1),
                "^util_test\\.cpp:" + std::to_string(line) + ":operator\\(\\):fopen: No such file or directory\n$");
}

TEST(ReportDeathTest, MessageFormPrintsNoSystemText) {
    const int line = __LINE__ + 1;
    auto fail = [] { fail_with_message("boom"); };
    errno = ENOENT;
    EXPECT_EXIT(fail(), testing::ExitedWithCode(1),
                "^util_test\\.cpp:" + std::to_string(line) + ":operator\\(\\): boom\n$");
}

}  // namespace
