// End-to-end tests: the built program run in a scratch directory.
#include <regex>

#include "duosplit.hpp"
#include "support.hpp"

namespace {

// One ADP frame: the two channel headers, then 28 sample bytes from `seed`.
bytes adp_frame(std::uint8_t left_header, std::uint8_t right_header, unsigned seed = 1) {
    bytes frame{left_header, right_header, 0x5A, 0xA5};
    for (unsigned i = 0; i < 28; ++i) {
        seed = seed * 1103515245U + 12345U;
        frame.push_back(static_cast<std::uint8_t>(seed >> 16));
    }
    return frame;
}

bytes join(std::initializer_list<bytes> parts) {
    bytes all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// The header a file of `samples` samples whose first frame starts with `ps` must carry.
bytes dsp_header(std::uint32_t samples, std::uint8_t ps) {
    bytes header(96, 0);
    const auto be32 = [&](std::size_t at, std::uint32_t v) {
        for (std::size_t k = 0; k < 4; ++k)
            header[at + k] = static_cast<std::uint8_t>(v >> (24 - 8 * k));
    };
    be32(0x00, samples);
    be32(0x04, samples / 14 * 16);
    be32(0x08, 48000);
    be32(0x18, 2);
    const bytes coefficients{0, 0, 0, 0, 0x07, 0x80, 0, 0, 0x0E, 0x60, 0xF9, 0x80, 0x0C, 0x40, 0xF9, 0x20};
    std::copy(coefficients.begin(), coefficients.end(), header.begin() + 0x1C);
    header[0x3F] = ps;
    return header;
}

// A channel's DSP frames worked out the long way: list the channel's codes,
// then lay them out 14 to a frame behind the predictor/scale byte.
bytes dsp_frames(const bytes& adp, int channel) {
    bytes out;
    for (std::size_t at = 0; at + 32 <= adp.size(); at += 32) {
        const int header = adp[at + channel];
        const auto ps = static_cast<std::uint8_t>((header & 0xF0) | (12 - (header & 0x0F)));
        std::vector<int> codes;
        for (std::size_t i = 0; i < 28; ++i) {
            codes.push_back(channel == 0 ? adp[at + 4 + i] & 0x0F : adp[at + 4 + i] >> 4);
        }
        for (std::size_t i = 0; i < 28; i += 2) {
            if (i % 14 == 0)
                out.push_back(ps);
            out.push_back(static_cast<std::uint8_t>(codes[i] << 4 | codes[i + 1]));
        }
    }
    return out;
}

void expect_report(const std::string& err, const std::string& pattern) {
    EXPECT_TRUE(std::regex_match(err, std::regex(pattern))) << "stderr: " << err;
}

TEST(Cli, NoArgumentsDoNothing) {
    const run_result r = run_duosplit(scratch_dir(), "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
}

TEST(Cli, NamesOutputsAfterTheLastDot) {
    struct naming_case {
        std::string input, arg, run_in, left, right;
    };
    const std::vector<naming_case> cases{
        {"track.adp", "track.adp", ".", "track_L.dsp", "track_R.dsp"},
        {"a.b.adp", "a.b.adp", ".", "a.b_L.dsp", "a.b_R.dsp"},
        {"track", "track", ".", "track_L.dsp", "track_R.dsp"},
        {"track.", "track.", ".", "track_L.dsp", "track_R.dsp"},
        {"dir.old/track", "dir.old/track", ".", "dir_L.dsp", "dir_R.dsp"},
        {"track", "../track", "sub", "sub/._L.dsp", "sub/._R.dsp"},
        {".adp", ".adp", ".", "_L.dsp", "_R.dsp"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arg);
        const fs::path dir = scratch_dir();
        fs::create_directories(dir / c.run_in);
        fs::create_directories((dir / c.input).parent_path());
        write_file(dir / c.input, adp_frame(0x00, 0x00));
        write_file(dir / c.left, bytes(500, 0x77));  // an existing output is truncated
        const run_result r = run_duosplit(dir / c.run_in, "\"" + c.arg + "\"");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, c.arg + " -> " + fs::path(c.left).filename().string() + ", " +
                             fs::path(c.right).filename().string() + ", 28 samples\n");
        EXPECT_EQ(fs::file_size(dir / c.left), 112U);
        EXPECT_EQ(fs::file_size(dir / c.right), 112U);
    }
}

TEST(Cli, ConvertsEveryWholeFrameExactly) {
    const fs::path dir = scratch_dir();
    const bytes input =
        join({adp_frame(0x2B, 0x10, 1), adp_frame(0x00, 0xFC, 2), adp_frame(0x3C, 0x45, 3), bytes(6, 0xFF)});
    write_file(dir / "in.adp", input);
    const run_result r = run_duosplit(dir, "in.adp");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "in.adp -> in_L.dsp, in_R.dsp, 84 samples\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(dir / "in_L.dsp"), join({dsp_header(84, 0x21), dsp_frames(input, 0)}));
    EXPECT_EQ(read_file(dir / "in_R.dsp"), join({dsp_header(84, 0x1C), dsp_frames(input, 1)}));
}

TEST(Cli, InputWithoutAWholeFrameFailsAtTheReadBack) {
    const fs::path dir = scratch_dir();
    write_file(dir / "short.adp", bytes(31, 0));
    const run_result r = run_duosplit(dir, "short.adp");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    expect_report(r.err, "util\\.cpp:\\d+:get_byte:fread: unexpected EOF\n");
    EXPECT_TRUE(fs::exists(dir / "short_L.dsp") && fs::is_empty(dir / "short_L.dsp"));
    EXPECT_TRUE(fs::exists(dir / "short_R.dsp") && fs::is_empty(dir / "short_R.dsp"));
}

TEST(Cli, BadShiftLeavesTheFramesBeforeIt) {
    // Frame k has a bad header: in the left channel (both files keep k frames)
    // or in the right alone (the left keeps k + 1), early, deep inside the
    // first block, and on the first frame of the second.
    struct shift_case {
        std::size_t k;
        bool left_bad;
    };
    const std::vector<shift_case> cases{
        {1, true}, {1, false}, {10000, true}, {frames_per_block, false}, {frames_per_block, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "frame " << c.k << (c.left_bad ? " left" : " right"));
        const fs::path dir = scratch_dir();
        bytes input;
        for (std::size_t i = 0; i < c.k + 2; ++i) {
            const bool bad = i == c.k;
            const bytes frame = adp_frame(bad && c.left_bad ? 0x0D : 0x11, bad ? 0x3E : 0x22, static_cast<unsigned>(i));
            input.insert(input.end(), frame.begin(), frame.end());
        }
        write_file(dir / "in.adp", input);
        const run_result r = run_duosplit(dir, "in.adp");
        EXPECT_EQ(r.status, 1);
        expect_report(r.err, "duosplit\\.cpp:\\d+:transcode_frame: scale range\n");
        const bytes left = dsp_frames(input, 0);
        const bytes right = dsp_frames(input, 1);
        const std::size_t left_frames = c.left_bad ? c.k : c.k + 1;
        EXPECT_EQ(read_file(dir / "in_L.dsp"),
                  join({bytes(96, 0), bytes(left.begin(), left.begin() + 16 * left_frames)}));
        EXPECT_EQ(read_file(dir / "in_R.dsp"), join({bytes(96, 0), bytes(right.begin(), right.begin() + 16 * c.k)}));
    }
}

TEST(Cli, OpenFailuresStopBeforeLaterArguments) {
    const fs::path dir = scratch_dir();
    write_file(dir / "a.adp", adp_frame(0, 0));
    write_file(dir / "c.adp", adp_frame(0, 0));
    const run_result r = run_duosplit(dir, "a.adp missing.adp c.adp", true);
    EXPECT_EQ(r.status, 1);
    // Standard output comes out ahead of the report on a shared stream.
    expect_report(
        r.out,
        "a\\.adp -> a_L\\.dsp, a_R\\.dsp, 28 samples\nduosplit\\.cpp:\\d+:main:fopen: No such file or directory\n");
    EXPECT_EQ(fs::file_size(dir / "a_R.dsp"), 112U);
    EXPECT_FALSE(fs::exists(dir / "missing_L.dsp"));
    EXPECT_FALSE(fs::exists(dir / "c_L.dsp"));
}

TEST(Cli, UncreatableRightOutputLeavesTheLeftEmpty) {
    const fs::path dir = scratch_dir();
    write_file(dir / "x.adp", adp_frame(0, 0));
    fs::create_directory(dir / "x_R.dsp");
    const run_result r = run_duosplit(dir, "x.adp");
    EXPECT_EQ(r.status, 1);
    expect_report(r.err, std::string("duosplit\\.cpp:\\d+:main:fopen: ") + std::strerror(is_a_directory_error) + "\n");
    EXPECT_TRUE(fs::exists(dir / "x_L.dsp") && fs::is_empty(dir / "x_L.dsp"));
}

TEST(Cli, ShortWriteIsReportedByTheWriter) {
    if (!posix_devices)
        GTEST_SKIP() << "needs /dev/full and symbolic links";
    const fs::path dir = scratch_dir();
    write_file(dir / "in.adp", bytes(1000 * 32, 0));
    fs::create_symlink("/dev/full", dir / "in_L.dsp");
    const run_result r = run_duosplit(dir, "in.adp");
    EXPECT_EQ(r.status, 1);
    expect_report(r.err, "util\\.cpp:\\d+:put_bytes:fwrite: fwrite: No space left on device\n");
}

TEST(Cli, RefusesToCountPastTheSignedRange) {
    if (!posix_devices)
        GTEST_SKIP() << "needs /dev/zero, /dev/null and symbolic links";
    const fs::path dir = scratch_dir();
    fs::create_symlink("/dev/zero", dir / "zero.adp");
    fs::create_symlink("/dev/null", dir / "zero_L.dsp");
    fs::create_symlink("/dev/null", dir / "zero_R.dsp");
    const run_result r = run_duosplit(dir, "zero.adp");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    expect_report(r.err, "duosplit\\.cpp:\\d+:main: sample count range\n");
}

}  // namespace
