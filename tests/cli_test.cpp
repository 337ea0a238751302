// End-to-end tests: the built program run in a scratch directory.
#include <algorithm>
#include <array>
#include <functional>
#include <optional>
#include <random>
#include <regex>
#include <span>

#include "duosplit.hpp"
#include "support.hpp"

namespace {

using header_pair = std::array<std::uint8_t, 2>;

// `count` ADP frames with the channel headers `headers(i)` for frame i, then a
// trailing partial frame of 6 bytes.
bytes adp_input(std::size_t count, const std::function<header_pair(std::size_t)>& headers) {
    bytes out;
    for (std::size_t i = 0; i < count; ++i) {
        const auto [left, right] = headers(i);
        out.insert(out.end(), {left, right, 0x5A, 0xA5});
        for (std::size_t k = 0; k < 28; ++k)
            out.push_back(static_cast<std::uint8_t>(i * 131 + k * 29 + (k << 5)));
    }
    out.insert(out.end(), 6, 0xFF);
    return out;
}

// A DSP file worked out the long way: a header for `samples` samples whose
// first predictor/scale byte is `ps` (0: the zeros a failed conversion
// leaves), then the first `frames` frames of the channel, each made by
// listing the channel's codes and laying them out 14 to a DSP frame.
bytes dsp_file(std::uint32_t samples, std::uint8_t ps, const bytes& adp, int channel, std::size_t frames) {
    bytes file(96, 0);
    const std::vector<std::pair<std::size_t, std::uint32_t>> fields{
        {0x00, samples}, {0x04, samples / 14 * 16}, {0x08, 48000}, {0x18, 2}};
    const bytes coefficients{0, 0, 0, 0, 0x07, 0x80, 0, 0, 0x0E, 0x60, 0xF9, 0x80, 0x0C, 0x40, 0xF9, 0x20};
    if (ps != 0) {
        for (const auto& [at, value] : fields) {
            for (std::size_t k = 0; k < 4; ++k)
                file[at + k] = static_cast<std::uint8_t>(value >> (24 - 8 * k));
        }
        std::copy(coefficients.begin(), coefficients.end(), file.begin() + 0x1C);
        file[0x3F] = ps;
    }
    for (std::size_t at = 0; at < frames * 32; at += 32) {
        std::vector<int> codes;
        for (std::size_t i = 4; i < 32; ++i)
            codes.push_back(channel == 0 ? adp[at + i] & 0x0F : adp[at + i] >> 4);
        const int header = adp[at + channel];
        for (std::size_t i = 0; i < 28; i += 2) {
            if (i % 14 == 0)
                file.push_back(static_cast<std::uint8_t>((header & 0xF0) | (12 - (header & 0x0F))));
            file.push_back(static_cast<std::uint8_t>(codes[i] << 4 | codes[i + 1]));
        }
    }
    return file;
}

bool matches(const std::string& text, const std::string& pattern) {
    return std::regex_match(text, std::regex(pattern));
}

TEST(PackChannel, EveryPathGivesThePortableBytes) {
    // Random frames, every header byte value on each channel; runs start at
    // every frame, so that a bad shift stops them anywhere.
    std::mt19937 rng(2026);
    bytes frames(512 * adp_frame_size);
    std::generate(frames.begin(), frames.end(), [&] { return static_cast<std::uint8_t>(rng()); });
    for (std::size_t i = 0; i < 256; ++i) {
        frames[i * adp_frame_size] = static_cast<std::uint8_t>(i);
        frames[(511 - i) * adp_frame_size + 1] = static_cast<std::uint8_t>(i);
    }
    for (const int channel : {0, 1}) {
        for (std::size_t start = 0; start < 512; ++start) {
            const auto run = std::span<const std::uint8_t>(frames).subspan(start * adp_frame_size);
            bytes fast(run.size() / 2, 0xEE), portable(run.size() / 2, 0xEE);
            ASSERT_EQ(pack_channel(run, channel, fast), pack_channel_portable(run, channel, portable));
            ASSERT_EQ(fast, portable) << channel << " " << start;
        }
    }
}

TEST(Cli, NamesOutputsAfterTheLastDot) {
    const run_result none = run_duosplit(scratch_dir(), "");
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(none.out + none.err, "");
    const bytes one(32, 0);
    // clang-format off
    const std::vector<std::array<std::string, 5>> cases{  // input, argument, run in, outputs
        {"track.adp", "track.adp", ".", "track_L.dsp", "track_R.dsp"}, {"a.b.adp", "a.b.adp", ".", "a.b_L.dsp", "a.b_R.dsp"},
        {"track", "track", ".", "track_L.dsp", "track_R.dsp"}, {"track.", "track.", ".", "track_L.dsp", "track_R.dsp"},
        {"dir.old/track", "dir.old/track", ".", "dir_L.dsp", "dir_R.dsp"}, {"track", "../track", "sub", "._L.dsp", "._R.dsp"},
        {".adp", ".adp", ".", "_L.dsp", "_R.dsp"},
        // Characters of no single legacy code page.
        {"日本語🎵.adp", "日本語🎵.adp", ".", "日本語🎵_L.dsp", "日本語🎵_R.dsp"}};
    // clang-format on
    for (const auto& [input, arg, run_in, left, right] : cases) {
        const fs::path dir = scratch_dir();
        fs::create_directories((dir / u8_path(input)).parent_path());
        fs::create_directories(dir / run_in);
        write_file(dir / u8_path(input), one);
        write_file(dir / run_in / u8_path(left), bytes(500, 0x77));  // an existing output is overwritten from the start
        const run_result r = run_duosplit(dir / run_in, "\"" + arg + "\"");
        EXPECT_EQ(r.out, arg + " -> " + left + ", " + right + ", 28 samples\n");
        EXPECT_EQ(read_file(dir / run_in / u8_path(left)), dsp_file(28, 0x0C, one, 0, 1));
        EXPECT_EQ(read_file(dir / run_in / u8_path(right)), dsp_file(28, 0x0C, one, 1, 1));
    }
}

TEST(Cli, ConvertsEveryWholeFrameExactly) {
    // Literal predictor/scale bytes: 0x2B gives 0x21, 0x10 gives 0x1C; filters above 3 pass.
    const bytes in = adp_input(3, [](std::size_t i) {
        return i == 0 ? header_pair{0x2B, 0x10} : header_pair{0xF5, 0x3C};
    });
    const fs::path dir = scratch_dir();
    write_file(dir / "in.adp", in);
    const run_result r = run_duosplit(dir, "in.adp");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "in.adp -> in_L.dsp, in_R.dsp, 84 samples\n");
    EXPECT_EQ(read_file(dir / "in_L.dsp"), dsp_file(84, 0x21, in, 0, 3));
    EXPECT_EQ(read_file(dir / "in_R.dsp"), dsp_file(84, 0x1C, in, 1, 3));
}

// A failing run: files made beforehand (a name ending in '/' is a directory),
// links (a target starting with '=' is a hard link, else a symbolic one), the
// arguments, the report, and what stands on disk afterwards (nullopt: nothing).
struct failure {
    std::vector<std::pair<std::string, bytes>> files;
    std::vector<std::pair<std::string, std::string>> links;
    std::string args, report;
    std::vector<std::pair<std::string, std::optional<bytes>>> after;
    bool posix_only = false;  // links, devices or POSIX error texts
};

failure bad_shift(std::size_t k, bool left_bad) {
    const bytes in = adp_input(k + 2, [&](std::size_t i) {
        return header_pair{std::uint8_t(i == k && left_bad ? 0x0D : 0x11), std::uint8_t(i == k ? 0x3E : 0x22)};
    });
    const std::size_t left_frames = left_bad ? k : k + 1;  // the left half of frame k goes out first
    return {{{"in.adp", in}},
            {},
            "in.adp",
            "duosplit\\.cpp:\\d+:transcode_frame: scale range\n",
            {{"in_L.dsp", dsp_file(0, 0, in, 0, left_frames)}, {"in_R.dsp", dsp_file(0, 0, in, 1, k)}}};
}

TEST(Cli, FailuresLeaveWhatWasWritten) {
    const bytes one(32, 0);
    const std::string open_report = "duosplit\\.cpp:\\d+:main:fopen: ";
    // clang-format off
    const std::vector<failure> failures{
        {{{"s.adp", bytes(31, 0)}}, {}, "s.adp", "util\\.cpp:\\d+:get_byte:fread: unexpected EOF\n", {{"s_L.dsp", bytes{}}, {"s_R.dsp", bytes{}}}},
        // A bad header early, deep inside the first block, and on the first frame of the second.
        bad_shift(1, true), bad_shift(1, false), bad_shift(10000, true), bad_shift(frames_per_block, true), bad_shift(frames_per_block, false),
        // An output that is the input is refused before anything is created.
        {{{"in.adp", one}}, {{"in_L.dsp", "=in.adp"}}, "in.adp", "duosplit\\.cpp:\\d+:main: output is the input\n", {{"in.adp", one}, {"in_R.dsp", std::nullopt}}},
        {{{"in.adp", one}}, {{"in_R.dsp", "=in.adp"}}, "in.adp", "duosplit\\.cpp:\\d+:main: output is the input\n", {{"in.adp", one}, {"in_L.dsp", std::nullopt}}},
        {{{"in.adp", one}}, {{"in_L.dsp", "in.adp"}}, "in.adp", "duosplit\\.cpp:\\d+:main: output is the input\n", {{"in.adp", one}, {"in_R.dsp", std::nullopt}}},
        {{{"in.adp", one}}, {{"in_R.dsp", "in.adp"}}, "in.adp", "duosplit\\.cpp:\\d+:main: output is the input\n", {{"in.adp", one}, {"in_L.dsp", std::nullopt}}},
        {{{"d.adp/", {}}}, {}, "d.adp", "duosplit\\.cpp:\\d+:main:fread: fread: Is a directory\n", {{"d_L.dsp", bytes{}}, {"d_R.dsp", bytes{}}}, true},
        {{{"x.adp", one}, {"x_R.dsp/", {}}}, {}, "x.adp", open_report + std::strerror(is_a_directory_error) + "\n", {{"x_L.dsp", bytes{}}}},
        {{{"a.adp", one}, {"c.adp", one}}, {}, "a.adp missing.adp c.adp", open_report + "No such file or directory\n",
         {{"a_R.dsp", dsp_file(28, 0x0C, one, 1, 1)}, {"missing_L.dsp", std::nullopt}, {"c_L.dsp", std::nullopt}}},
        {{{"in.adp", bytes(32000, 0)}}, {{"in_L.dsp", "/dev/full"}}, "in.adp", "util\\.cpp:\\d+:put_bytes:fwrite: fwrite: No space left on device\n", {}},
        {{}, {{"z.adp", "/dev/zero"}, {"z_L.dsp", "/dev/null"}, {"z_R.dsp", "/dev/null"}}, "z.adp", "duosplit\\.cpp:\\d+:main: sample count range\n", {}}};
    // clang-format on
    for (const auto& f : failures) {
        SCOPED_TRACE(f.report);
        if ((f.posix_only || !f.links.empty()) && !posix_devices)
            continue;
        const fs::path dir = scratch_dir();
        for (const auto& [name, content] : f.files) {
            if (name.ends_with('/'))
                fs::create_directory(dir / name);
            else
                write_file(dir / name, content);
        }
        for (const auto& [name, target] : f.links) {
            if (target.starts_with('='))
                fs::create_hard_link(dir / target.substr(1), dir / name);
            else
                fs::create_symlink(target, dir / name);
        }
        const run_result r = run_duosplit(dir, f.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(matches(r.err, f.report)) << r.err;
        for (const auto& [name, content] : f.after) {
            EXPECT_EQ(fs::exists(dir / name) ? std::optional(read_file(dir / name)) : std::nullopt, content) << name;
        }
    }
    // Summary lines come out ahead of the report on a shared stream, whatever its form.
    write_file(scratch_dir() / "a.adp", one);
    write_file(test_dir() / "b.adp", bytes(32, 0x0F));
    for (const auto& [second, report] :
         {std::pair{"missing.adp", open_report + "No such file or directory\n"},
          std::pair{"b.adp", std::string("duosplit\\.cpp:\\d+:transcode_frame: scale range\n")}}) {
        const run_result r = run_duosplit(test_dir(), std::string("a.adp ") + second, true);
        EXPECT_TRUE(matches(r.out, "a\\.adp -> a_L\\.dsp, a_R\\.dsp, 28 samples\n" + report)) << r.out;
    }
}

}  // namespace
