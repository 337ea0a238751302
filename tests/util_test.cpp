// The checked I/O core: every stream operation and codec, and the report forms.
#include "util.hpp"

#include <functional>

#include "support.hpp"

namespace {

TEST(StreamOps, RoundTripEveryWidthAndByteOrder) {
    // Each _seek twin seeks, then calls its plain member: together they run all 26.
    const bytes eight{1, 2, 3, 4, 5, 6, 7, 8};
    std::FILE* f = scratch_stream({0xEE});
    put_bytes_seek(14, f, eight.data(), 8);
    put_32_le_seek(0x11223344, 10, f);
    put_32_be_seek(0x11223344, 6, f);
    put_16_le_seek(0xFFFF, 4, f);
    put_16_be_seek(0xABCD, 2, f);
    put_byte_seek(0xFF, 1, f);
    put_bytes_seek(3, f, eight.data(), 0);  // a run of 0 bytes moves nothing
    std::fflush(f);
    EXPECT_EQ(read_file(stream_path()), (bytes{0xEE, 0xFF, 0xAB, 0xCD, 0xFF, 0xFF, 0x11, 0x22, 0x33, 0x44, 0x44,
                                               0x33, 0x22, 0x11, 1,    2,    3,    4,    5,    6,    7,    8}));
    EXPECT_EQ(get_byte_seek(1, f), 255);
    EXPECT_EQ(get_16_be_seek(2, f), 0xABCD);
    EXPECT_EQ(get_16_le_seek(4, f), 65535);
    EXPECT_EQ(get_32_be_seek(6, f), 0x11223344U);
    EXPECT_EQ(get_32_le_seek(10, f), 0x11223344U);
    EXPECT_EQ(get_64_be_seek(14, f), 0x0102030405060708ULL);
    bytes run(8, 0);
    get_bytes_seek(14, f, run.data(), 8);
    EXPECT_EQ(run, eight);
    get_bytes_seek(3, f, run.data(), 0);
    EXPECT_EQ(std::ftell(f), 3);
}

TEST(ReportDeathTest, EachShapeNamesTheCheck) {
    std::FILE* f = scratch_stream({1, 2, 3});
    const std::vector<std::pair<std::function<void()>, std::string>> cases{
        {[f] { get_32_le(f); }, "get_32_le:fread: unexpected EOF"},
        // The seek past the end succeeds; the short read reports from the plain member.
        {[f] { get_16_be_seek(10, f); }, "get_16_be:fread: unexpected EOF"},
        {[f] { put_32_be_seek(1, -1, f); }, std::string("put_32_be_seek:fseek: ") + std::strerror(EINVAL)}};
    for (const auto& [fail, report] : cases) {
        EXPECT_EXIT(fail(), testing::ExitedWithCode(1), "^util\\.cpp:" + any_line + ":" + report + "\n$");
    }
    const int line = __LINE__ + 1;
    const auto message = [] { fail_with_message("boom"); };
    errno = ENOENT;  // the message form prints no system text
    EXPECT_EXIT(message(), testing::ExitedWithCode(1),
                "^util_test\\.cpp:" + std::to_string(line) + ":operator\\(\\): boom\n$");
}

TEST(ReportDeathTest, SystemTextIsTheFailedCalls) {
    if (!posix)
        GTEST_SKIP() << "needs /dev/full";
    std::FILE* full = std::fopen("/dev/full", "wb");
    std::setvbuf(full, nullptr, _IONBF, 0);
    EXPECT_EXIT(put_byte(0, full), testing::ExitedWithCode(1),
                "^util\\.cpp:" + any_line + ":put_byte:fwrite: fwrite: No space left on device\n$");
    // Standard output's flush fails with ENOSPC; the report still names ENOENT.
    const int line = __LINE__ + 5;
    const auto fail_after_flush_error = [] {
        std::freopen("/dev/full", "w", stdout);
        std::printf("pending");
        errno = ENOENT;
        fail_with_errno("fopen");
    };
    EXPECT_EXIT(fail_after_flush_error(), testing::ExitedWithCode(1),
                "^util_test\\.cpp:" + std::to_string(line) + ":operator\\(\\):fopen: No such file or directory\n$");
}

}  // namespace
