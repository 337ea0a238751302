// The converter: its packing paths against each other, and the built program
// run in a scratch directory against a model of what it must leave behind.
#include <algorithm>
#include <array>
#include <optional>
#include <random>
#include <span>

#include "duosplit.hpp"
#include "support.hpp"

namespace {

// A DSP file worked out the long way from the first `frames` ADP frames of
// `adp`: each DSP frame's predictor/scale byte, then its 14 codes two a byte.
// With `complete`, the header the converter writes last goes first; else the
// file holds what a failed conversion leaves: 96 zero bytes, then the frames.
bytes dsp_file(const bytes& adp, int channel, std::size_t frames, bool complete) {
    bytes file(96, 0);
    for (std::size_t at = 0; at < frames * 32; at += 32) {
        const auto code = [&](std::size_t i) { return channel == 0 ? adp[at + i] & 0x0F : adp[at + i] >> 4; };
        const int header = adp[at + channel];
        for (std::size_t i = 4; i < 32; i += 2) {
            if (i == 4 || i == 18)
                file.push_back(static_cast<std::uint8_t>((header & 0xF0) | (12 - (header & 0x0F))));
            file.push_back(static_cast<std::uint8_t>(code(i) << 4 | code(i + 1)));
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
    for (std::size_t i = 0; i < frames * 2; ++i) {
        const bool stop = i / 2 == bad_at && (bad >> i % 2 & 1);
        in[i / 2 * 32 + i % 2] = static_cast<std::uint8_t>((rng() & 0xF0) + (stop ? 13 + rng() % 3 : rng() % 13));
    }
    return in;
}

TEST(PackChannel, EveryPathGivesThePortableBytes) {
    // Runs start at every frame, so that a bad shift stops them anywhere, and
    // together they hold every header byte value on each channel.
    std::mt19937 rng(2026);
    bytes frames = adp_input(rng, 512, 0, 512, 0);
    for (std::size_t i = 0; i < 256; ++i)
        frames[i * 32] = frames[(511 - i) * 32 + 1] = static_cast<std::uint8_t>(i);
    for (const int channel : {0, 1}) {
        for (std::size_t start = 0; start < 512; ++start) {
            const auto run = std::span<const std::uint8_t>(frames).subspan(start * 32);
            bytes fast(run.size() / 2 + 16, 0xEE), portable = fast;  // 16 bytes to spare
            ASSERT_EQ(pack_channel(run, channel, fast), pack_channel_portable(run, channel, portable));
            ASSERT_EQ(fast, portable) << channel << " " << start;
        }
    }
}

// One run of the program: the files made first, a shell command run next, the
// arguments, the output (a report in it means exit status 1, else 0), and the
// files then on disk (nullopt: no such file).
struct run_case {
    std::vector<std::pair<std::string, bytes>> inputs;
    std::string setup, args, output;
    std::vector<std::pair<std::string, std::optional<bytes>>> files;
};

TEST(Cli, ConvertsAsTheModelSays) {
    // Every failure of the converter, beside inputs of 1000 frames.
    const bytes in(32000, 0);
    const std::string same = "duosplit.cpp:N:main: output is the input\n", open = "duosplit.cpp:N:main:fopen: ";
    // clang-format off
    std::vector<run_case> cases{
        {{{"in.adp", in}}, "mkdir in_R.dsp", "in.adp", open + std::strerror(is_a_directory_error) + "\n", {{"in_L.dsp", bytes{}}}},
        {{{"in.adp", in}, {"c.adp", in}}, "", "in.adp missing.adp c.adp", "in.adp -> in_L.dsp, in_R.dsp, 28000 samples\n" + open + "No such file or directory\n",
         {{"in_R.dsp", dsp_file(in, 1, 1000, true)}, {"missing_L.dsp", std::nullopt}, {"c_L.dsp", std::nullopt}}}};
    if (posix) {
        // Many arguments, few files open at once: each input is closed before the next.
        std::string many, summaries;
        for (int i = 0; i < 100; ++i)
            many += "in.adp ", summaries += "in.adp -> in_L.dsp, in_R.dsp, 28000 samples\n";
        cases.push_back({{{"in.adp", in}}, "ulimit -n 32", many, summaries, {{"in_L.dsp", dsp_file(in, 0, 1000, true)}}});
        for (const std::string link : {"ln in.adp in_", "ln -s in.adp in_"}) {
            cases.push_back({{{"in.adp", in}}, link + "L.dsp", "in.adp", same, {{"in.adp", in}, {"in_R.dsp", std::nullopt}}});
            cases.push_back({{{"in.adp", in}}, link + "R.dsp", "in.adp", same, {{"in.adp", in}, {"in_L.dsp", std::nullopt}}});
        }
        cases.insert(cases.end(), {
            // Standard output's flush fails (ENOSPC) before the report, which still names the error of the check.
            {{{"in.adp", in}}, "", "in.adp missing.adp 2>&1 >/dev/full", open + "No such file or directory\n", {{"missing_L.dsp", std::nullopt}}},
            {{{"in.adp", in}}, "mkdir d.adp", "in.adp d.adp 2>&1 >/dev/full", "duosplit.cpp:N:main:fread: fread: Is a directory\n",
             {{"in_L.dsp", dsp_file(in, 0, 1000, true)}, {"d_L.dsp", bytes{}}, {"d_R.dsp", bytes{}}}},
            {{{"in.adp", in}}, "ln -s /dev/full in_L.dsp", "in.adp", "util.cpp:N:put_bytes:fwrite: fwrite: No space left on device\n", {}},
            // An endless input, refused once the sample count would overflow.
            {{}, "ln -s /dev/zero z.adp && ln -s /dev/null z_L.dsp && ln -s /dev/null z_R.dsp", "z.adp", "duosplit.cpp:N:main: sample count range\n", {}}});
    }
    // Then runs of random inputs {frames, tail bytes, bad frame, bad channels}:
    // none at all, stops on the first frame, on the last of the first block and
    // on the first of the second, then random runs of up to three inputs, a few
    // larger than one block. The inputs take the arguments of this table in
    // turn, each with the base name of its outputs; the first one's left output
    // is there beforehand and gets overwritten.
    const std::array<std::array<std::string, 2>, 9> names{{{"track.adp", "track"}, {"a.b.adp", "a.b"}, {"dir.old/t", "dir"},
        {"track", "track"}, {".adp", ""}, {"日本語🎵.adp", "日本語🎵"}, {"track.", "track"}, {"sub/../t", "sub/."}, {"x", "x"}}};
    struct input { std::size_t frames, tail, bad_at; unsigned bad; };
    std::vector<std::vector<input>> runs{{}, {{3, 0, 0, 1}}, {{frames_per_block + 1, 0, frames_per_block - 1, 2}},
        {{frames_per_block + 2, 5, frames_per_block, 1}}, {{frames_per_block + 2, 0, frames_per_block, 2}}};
    // clang-format on
    std::mt19937 rng(7);
    while (runs.size() < 40) {
        for (input& each : runs.emplace_back(1 + rng() % 3)) {
            each = {rng() % 20 == 0 ? frames_per_block + rng() % 50 : rng() % 12, rng() % 3 == 0 ? rng() % 32 : 0,
                    SIZE_MAX, 0};
            if (rng() % 4 == 0)
                each.bad_at = rng() % (each.frames + 1), each.bad = 1 + rng() % 3;
        }
    }
    for (std::size_t n = 0; const auto& run : runs) {
        run_case& c = cases.emplace_back();
        bool stopped = false;
        for (const auto& [frames, tail, bad_at, bad] : run) {
            const auto& [arg, base] = names[n++ % names.size()];
            const bytes adp = adp_input(rng, frames, tail, bad_at, bad);
            if (c.inputs.empty())
                c.inputs.emplace_back(base + "_L.dsp", bytes(500, 0x77));
            c.inputs.emplace_back(arg, adp);
            c.args += "\"" + arg + "\" ";
            // The left half of a frame goes out before its right header is looked at.
            const std::size_t right = std::min(frames, bad_at), left = right + (bad_at < frames && bad == 2);
            const bool fails = frames == 0 || bad_at < frames;
            const auto file = [&](int channel, std::size_t k) {
                return stopped ? std::nullopt : std::optional(dsp_file(adp, channel, k, !fails));
            };
            c.files.insert(c.files.end(), {{base + "_L.dsp", file(0, left)}, {base + "_R.dsp", file(1, right)}});
            if (!stopped && frames == 0)
                c.output += "util.cpp:N:get_byte:fread: unexpected EOF\n";
            else if (!stopped && fails)
                c.output += "duosplit.cpp:N:transcode_frame: scale range\n";
            else if (!stopped)
                c.output +=
                    arg + " -> " + base + "_L.dsp, " + base + "_R.dsp, " + std::to_string(28 * frames) + " samples\n";
            stopped = stopped || fails;
        }
    }
    for (const auto& [inputs, setup, args, output, files] : cases) {
        const fs::path dir = scratch_dir();
        fs::create_directory(dir / "sub");  // for the argument sub/../t
        for (const auto& [name, content] : inputs) {
            fs::create_directories((dir / u8_path(name)).parent_path());
            write_file(dir / u8_path(name), content);
        }
        const auto [status, out] = run_duosplit(dir, args, setup);
        ASSERT_EQ(status, output.find(".cpp:N:") == std::string::npos ? 0 : 1) << args;
        EXPECT_EQ(out, output);
        for (const auto& [name, content] : files)
            EXPECT_EQ(fs::exists(dir / u8_path(name)) ? std::optional(read_file(dir / u8_path(name))) : std::nullopt,
                      content)
                << name;
    }
    // On every platform: an output that is the input under a name in UTF-8.
    const fs::path dir = scratch_dir(), input = dir / u8_path("日本語🎵.adp");
    write_file(input, in);
    fs::create_hard_link(input, dir / u8_path("日本語🎵_L.dsp"));
    EXPECT_EQ(run_duosplit(dir, "\"日本語🎵.adp\"").second, same);
    EXPECT_EQ(read_file(input), in);
    EXPECT_FALSE(fs::exists(dir / u8_path("日本語🎵_R.dsp")));
}

}  // namespace
