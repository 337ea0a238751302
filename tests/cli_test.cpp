// The converter: its packing paths against each other, and the built program
// run in a scratch directory against a model of what it must leave behind.
#include <algorithm>
#include <optional>
#include <random>
#include <span>

#include "duosplit.hpp"
#include "support.hpp"

namespace {

// A DSP file worked out the long way from the first `frames` ADP frames of
// `adp`: the channel's codes listed in order, then laid out 14 to a DSP frame.
// With `complete`, the header the converter writes last goes first; else the
// file holds what a failed conversion leaves: 96 zero bytes, then the frames.
bytes dsp_file(const bytes& adp, int channel, std::size_t frames, bool complete) {
    bytes file(96, 0);
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
    if (!complete)
        return frames == 0 ? bytes{} : file;  // the seek to the frames doesn't extend a file
    const auto samples = static_cast<std::uint32_t>(28 * frames);
    for (const auto& [at, value] : {std::pair{0x00, samples}, {0x04, samples / 14 * 16}, {0x08, 48000U}, {0x18, 2U}}) {
        for (int k = 0; k < 4; ++k)
            file[at + k] = static_cast<std::uint8_t>(value >> (24 - 8 * k));
    }
    const bytes coefficients{0, 0, 0, 0, 0x07, 0x80, 0, 0, 0x0E, 0x60, 0xF9, 0x80, 0x0C, 0x40, 0xF9, 0x20};
    std::copy(coefficients.begin(), coefficients.end(), file.begin() + 0x1C);
    file[0x3F] = file[96];
    return file;
}

// `frames` random ADP frames, then `tail` random bytes. Every channel header
// has a random filter and a shift of 0 to 12, but at frame `bad_at` the
// channels of `bad` (bit 0 left, bit 1 right) get a shift of 13 to 15.
bytes adp_input(std::mt19937& rng, std::size_t frames, std::size_t tail, std::size_t bad_at, unsigned bad) {
    bytes in(frames * 32 + tail);
    std::generate(in.begin(), in.end(), [&] { return static_cast<std::uint8_t>(rng()); });
    for (std::size_t i = 0; i < frames; ++i) {
        for (unsigned c = 0; c < 2; ++c)
            in[i * 32 + c] = static_cast<std::uint8_t>((rng() & 0xF0) + (i == bad_at && (bad >> c & 1) ? 13 + rng() % 3 : rng() % 13));
    }
    return in;
}

TEST(PackChannel, EveryPathGivesThePortableBytes) {
    // Runs start at every frame, so that a bad shift stops them anywhere, and
    // together they hold every header byte value on each channel.
    std::mt19937 rng(2026);
    bytes frames = adp_input(rng, 512, 0, 512, 0);
    for (std::size_t i = 0; i < 256; ++i) {
        frames[i * 32] = static_cast<std::uint8_t>(i);
        frames[(511 - i) * 32 + 1] = static_cast<std::uint8_t>(i);
    }
    for (const int channel : {0, 1}) {
        for (std::size_t start = 0; start < 512; ++start) {
            const auto run = std::span<const std::uint8_t>(frames).subspan(start * 32);
            bytes fast(run.size() / 2 + 16, 0xEE), portable(run.size() / 2 + 16, 0xEE);  // 16 bytes to spare
            ASSERT_EQ(pack_channel(run, channel, fast), pack_channel_portable(run, channel, portable));
            ASSERT_EQ(fast, portable) << channel << " " << start;
        }
    }
}

TEST(Cli, ConvertsAsTheModelSays) {
    // Runs of one to three inputs (frames, tail bytes, bad frame, bad channels):
    // stops on the first frame, on the last of the first block and on the
    // first of the second, then random inputs, a few larger than one block.
    std::mt19937 rng(7);
    struct input { std::size_t frames, tail, bad_at; unsigned bad; };
    std::vector<std::vector<input>> runs{{{3, 0, 0, 1}},
                                         {{frames_per_block + 1, 0, frames_per_block - 1, 2}},
                                         {{frames_per_block + 2, 5, frames_per_block, 1}},
                                         {{frames_per_block + 2, 0, frames_per_block, 2}}};
    while (runs.size() < 40) {
        std::vector<input>& run = runs.emplace_back(1 + rng() % 3);
        for (input& in : run) {
            in = {rng() % 20 == 0 ? frames_per_block + rng() % 50 : rng() % 12, rng() % 3 == 0 ? rng() % 32 : 0, SIZE_MAX, 0};
            if (rng() % 4 == 0)
                in.bad_at = rng() % (in.frames + 1), in.bad = 1 + rng() % 3;
        }
    }
    for (const auto& run : runs) {
        const fs::path dir = scratch_dir();
        std::string args, expected;
        std::vector<std::pair<std::string, std::optional<bytes>>> files;  // nullopt: not created
        bool stopped = false;
        for (std::size_t k = 0; k < run.size(); ++k) {
            const auto& [frames, tail, bad_at, bad] = run[k];
            const std::string name = "in" + std::to_string(k);
            const bytes adp = adp_input(rng, frames, tail, bad_at, bad);
            write_file(dir / (name + ".adp"), adp);
            args += name + ".adp ";
            if (stopped) {
                files.insert(files.end(), {{name + "_L.dsp", std::nullopt}, {name + "_R.dsp", std::nullopt}});
                continue;
            }
            stopped = frames == 0 || bad_at < frames;
            // The left half of a frame goes out before its right header is looked at.
            const std::size_t right = std::min(frames, bad_at), left = right + (bad_at < frames && bad == 2);
            files.insert(files.end(), {{name + "_L.dsp", dsp_file(adp, 0, left, !stopped)},
                                       {name + "_R.dsp", dsp_file(adp, 1, right, !stopped)}});
            if (frames == 0)
                expected += "util.cpp:N:get_byte:fread: unexpected EOF\n";
            else if (stopped)
                expected += "duosplit.cpp:N:transcode_frame: scale range\n";
            else
                expected += name + ".adp -> " + name + "_L.dsp, " + name + "_R.dsp, " + std::to_string(28 * frames) +
                            " samples\n";
        }
        const run_result r = run_duosplit(dir, args);
        EXPECT_EQ(r.status, stopped ? 1 : 0) << args;
        EXPECT_EQ(r.out, expected);
        for (const auto& [name, content] : files)
            ASSERT_EQ(fs::exists(dir / name) ? std::optional(read_file(dir / name)) : std::nullopt, content) << name;
    }
}

TEST(Cli, NamesOutputsAfterTheLastDot) {
    EXPECT_EQ(run_duosplit(scratch_dir(), "").out, "");
    const bytes one(32, 0);
    // clang-format off
    const std::vector<std::array<std::string, 5>> cases{  // input, argument, run in, outputs
        {"track.adp", "track.adp", ".", "track_L.dsp", "track_R.dsp"}, {"a.b.adp", "a.b.adp", ".", "a.b_L.dsp", "a.b_R.dsp"},
        {"track", "track", ".", "track_L.dsp", "track_R.dsp"}, {"track.", "track.", ".", "track_L.dsp", "track_R.dsp"},
        {"dir.old/track", "dir.old/track", ".", "dir_L.dsp", "dir_R.dsp"}, {"track", "../track", "sub", "._L.dsp", "._R.dsp"},
        {".adp", ".adp", ".", "_L.dsp", "_R.dsp"}, {"日本語🎵.adp", "日本語🎵.adp", ".", "日本語🎵_L.dsp", "日本語🎵_R.dsp"}};
    // clang-format on
    for (const auto& [input, arg, run_in, left, right] : cases) {
        const fs::path dir = scratch_dir();
        fs::create_directories((dir / u8_path(input)).parent_path());
        fs::create_directories(dir / run_in);
        write_file(dir / u8_path(input), one);
        write_file(dir / run_in / u8_path(left), bytes(500, 0x77));  // overwritten from the start
        const run_result r = run_duosplit(dir / run_in, "\"" + arg + "\"");
        EXPECT_EQ(r.out, arg + " -> " + left + ", " + right + ", 28 samples\n");
        EXPECT_EQ(read_file(dir / run_in / u8_path(left)), dsp_file(one, 0, 1, true));
        EXPECT_EQ(read_file(dir / run_in / u8_path(right)), dsp_file(one, 1, 1, true));
    }
}

TEST(Cli, FailuresLeaveWhatWasWritten) {
    // Files made beforehand (a name ending in '/' is a directory), links (a
    // target starting with '=' is a hard link), the arguments, the output, and
    // what stands on disk afterwards (nullopt: nothing).
    struct failure {
        std::vector<std::pair<std::string, bytes>> files;
        std::vector<std::pair<std::string, std::string>> links;
        std::string args, report;
        std::vector<std::pair<std::string, std::optional<bytes>>> after;
        bool posix_only = false;  // also when there are links
    };
    const bytes one(32, 0);
    const std::string same = "duosplit.cpp:N:main: output is the input\n", open = "duosplit.cpp:N:main:fopen: ";
    // clang-format off
    const std::vector<failure> failures{
        {{{"in.adp", one}}, {{"in_L.dsp", "=in.adp"}}, "in.adp", same, {{"in.adp", one}, {"in_R.dsp", std::nullopt}}},
        {{{"in.adp", one}}, {{"in_R.dsp", "=in.adp"}}, "in.adp", same, {{"in.adp", one}, {"in_L.dsp", std::nullopt}}},
        {{{"in.adp", one}}, {{"in_L.dsp", "in.adp"}}, "in.adp", same, {{"in.adp", one}, {"in_R.dsp", std::nullopt}}},
        {{{"in.adp", one}}, {{"in_R.dsp", "in.adp"}}, "in.adp", same, {{"in.adp", one}, {"in_L.dsp", std::nullopt}}},
        {{{"d.adp/", {}}}, {}, "d.adp", "duosplit.cpp:N:main:fread: fread: Is a directory\n", {{"d_L.dsp", bytes{}}, {"d_R.dsp", bytes{}}}, true},
        {{{"x.adp", one}, {"x_R.dsp/", {}}}, {}, "x.adp", open + std::strerror(is_a_directory_error) + "\n", {{"x_L.dsp", bytes{}}}},
        {{{"a.adp", one}, {"c.adp", one}}, {}, "a.adp missing.adp c.adp", "a.adp -> a_L.dsp, a_R.dsp, 28 samples\n" + open + "No such file or directory\n",
         {{"a_R.dsp", dsp_file(one, 1, 1, true)}, {"missing_L.dsp", std::nullopt}, {"c_L.dsp", std::nullopt}}},
        {{{"in.adp", bytes(32000, 0)}}, {{"in_L.dsp", "/dev/full"}}, "in.adp", "util.cpp:N:put_bytes:fwrite: fwrite: No space left on device\n", {}},
        // An endless input: refused once the sample count would overflow.
        {{}, {{"z.adp", "/dev/zero"}, {"z_L.dsp", "/dev/null"}, {"z_R.dsp", "/dev/null"}}, "z.adp", "duosplit.cpp:N:main: sample count range\n", {}}};
    // clang-format on
    for (const auto& f : failures) {
        if ((f.posix_only || !f.links.empty()) && !posix)
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
        EXPECT_EQ(r.status, 1) << f.args;
        EXPECT_EQ(r.out, f.report);
        for (const auto& [name, content] : f.after)
            EXPECT_EQ(fs::exists(dir / name) ? std::optional(read_file(dir / name)) : std::nullopt, content) << name;
    }
}

}  // namespace
