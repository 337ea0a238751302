// duosplit: converts headerless stereo ADP streams into pairs of mono DSP
// ADPCM files, copying the 4-bit codes without decoding them.
#include "duosplit.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform.hpp"
#include "util.hpp"

// The vector kernels. On x86 (GCC and Clang) each is compiled for the
// instructions it uses, whatever the build targets, and runs only where the
// CPU has them; NEON is there wherever the compiler targets it (every
// aarch64 build).
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define DUOSPLIT_X86_KERNELS
#include <immintrin.h>
#endif
#ifdef __ARM_NEON
#include <arm_neon.h>
#endif

namespace {

// The DSP predictor/scale byte for an ADP channel header (filter in the high
// nibble, shift in the low one): the filter unchanged, scale 12 - shift; -1
// for a shift of 13 to 15, which has no scale.
int predictor_scale(std::uint8_t header) {
    const int scale = 12 - (header & 0x0F);
    return scale < 0 ? -1 : (header & 0xF0) | scale;
}

// A packing step packs consecutive ADP frames, each into its two DSP frames:
// the frame's predictor/scale byte (from `ps`, one per frame), then its 14
// codes two a byte, the earlier in the high nibble. `nibble_shift` picks the
// channel's nibble of each sample byte (0: low, left; 4: high, right).

// One frame, a byte at a time.
void pack_step_portable(const std::uint8_t* frame, int nibble_shift, const std::uint8_t* ps, std::uint8_t* block) {
    for (std::size_t f = 0; f < 2; ++f) {
        block[8 * f] = *ps;
        for (std::size_t p = 0; p < 7; ++p) {
            const std::size_t s = 4 + 14 * f + 2 * p;
            const int a = (frame[s] >> nibble_shift) & 0x0F;
            const int b = (frame[s + 1] >> nibble_shift) & 0x0F;
            block[8 * f + 1 + p] = static_cast<std::uint8_t>((a << 4) | b);
        }
    }
}

// The one packing loop, as pack_channel_portable says, `step` frames at a time
// through `pack_step`. Frames left over at the end, or before a frame that
// stops the run, that make less than a step are packed one by one.
template <std::size_t step, auto pack_step>
std::size_t pack_frames(std::span<const std::uint8_t> frames, int channel, std::span<std::uint8_t> blocks) {
    const std::size_t count = std::min(frames.size() / adp_frame_size, blocks.size() / dsp_block_size);
    // The left channel's codes are the low nibbles, the right channel's the high.
    const int nibble_shift = channel == 0 ? 0 : 4;
    for (std::size_t done = 0; done < count; done += step) {
        std::array<std::uint8_t, step> ps{};
        std::size_t ready = 0;  // frames of this step that have a scale
        for (; ready < step && done + ready < count; ++ready) {
            const int scale =
                predictor_scale(frames[(done + ready) * adp_frame_size + static_cast<std::size_t>(channel)]);
            if (scale < 0) {
                break;
            }
            ps[ready] = static_cast<std::uint8_t>(scale);
        }
        const std::uint8_t* frame = frames.data() + done * adp_frame_size;
        std::uint8_t* block = blocks.data() + done * dsp_block_size;
        if (ready < step) {
            for (std::size_t i = 0; i < ready; ++i) {
                pack_step_portable(frame + i * adp_frame_size, nibble_shift, &ps[i], block + i * dsp_block_size);
            }
            return done + ready;
        }
        pack_step(frame, nibble_shift, ps.data(), block);
    }
    return count;
}

#ifdef DUOSPLIT_X86_KERNELS
// SSE2, one frame a step, on the frame as sixteen 16-bit lanes: lane k holds
// sample bytes 2k (low half) and 2k + 1 (high half), so each lane makes one
// output byte. Lanes 0 and 1 (headers, unused bytes) are packed too and
// masked away; the codes of the first DSP frame move down one byte to make
// room for its predictor/scale byte, those of the second stay where they are.
[[gnu::target("sse2")]] __m128i codes_sse2(__m128i lanes, int nibble_shift) {
    const __m128i earlier = _mm_sll_epi16(lanes, _mm_cvtsi32_si128(4 - nibble_shift));
    const __m128i later = _mm_srl_epi16(lanes, _mm_cvtsi32_si128(8 + nibble_shift));
    return _mm_or_si128(_mm_and_si128(earlier, _mm_set1_epi16(0x00F0)), _mm_and_si128(later, _mm_set1_epi16(0x000F)));
}

[[gnu::target("sse2")]] void pack_step_sse2(const std::uint8_t* frame, int nibble_shift, const std::uint8_t* ps,
                                            std::uint8_t* block) {
    const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(frame));
    const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(frame + 16));
    // Byte k: the codes of sample bytes 2k and 2k + 1.
    const __m128i packed = _mm_packus_epi16(codes_sse2(first, nibble_shift), codes_sse2(second, nibble_shift));
    const __m128i first_frame = _mm_and_si128(_mm_srli_si128(packed, 1), _mm_set_epi32(0, 0, -1, -256));
    const __m128i second_frame = _mm_and_si128(packed, _mm_set_epi32(-1, -256, 0, 0));
    const __m128i scales = _mm_set_epi32(0, ps[0], 0, ps[0]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(block), _mm_or_si128(_mm_or_si128(first_frame, second_frame), scales));
}

// AVX2, two frames a step, on the same 16-bit lanes: a multiply-add makes
// each lane's output byte, 16 times the earlier code plus the later, from the
// channel's nibbles. The pack interleaves the two frames by 8-byte quarters
// (first 0-7, second 0-7, first 8-15, second 8-15), the permute gives each
// frame one 128-bit half, and a shuffle puts the codes of its two DSP frames
// in place, with a zero where each predictor/scale byte goes.
[[gnu::target("avx2")]] __m256i codes_avx2(__m256i lanes, __m128i nibble_shift) {
    const __m256i nibbles = _mm256_and_si256(_mm256_srl_epi16(lanes, nibble_shift), _mm256_set1_epi8(0x0F));
    return _mm256_maddubs_epi16(nibbles, _mm256_set1_epi16(0x0110));  // low byte times 16, high byte times 1
}

[[gnu::target("avx2")]] void pack_step_avx2(const std::uint8_t* frames, int nibble_shift, const std::uint8_t* ps,
                                            std::uint8_t* blocks) {
    const __m128i shift = _mm_cvtsi32_si128(nibble_shift);
    const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(frames));
    const __m256i second = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(frames + 32));
    const __m256i interleaved = _mm256_packus_epi16(codes_avx2(first, shift), codes_avx2(second, shift));
    const __m256i packed = _mm256_permute4x64_epi64(interleaved, 0xD8);
    const __m256i placed =
        _mm256_shuffle_epi8(packed, _mm256_setr_epi8(-1, 2, 3, 4, 5, 6, 7, 8, -1, 9, 10, 11, 12, 13, 14, 15, -1, 2, 3,
                                                     4, 5, 6, 7, 8, -1, 9, 10, 11, 12, 13, 14, 15));
    const __m256i scales = _mm256_set_epi64x(ps[1], ps[1], ps[0], ps[0]);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(blocks), _mm256_or_si256(placed, scales));
}

[[gnu::target("sse2"), gnu::flatten]] std::size_t pack_channel_sse2(std::span<const std::uint8_t> frames, int channel,
                                                                    std::span<std::uint8_t> blocks) {
    return pack_frames<1, pack_step_sse2>(frames, channel, blocks);
}

[[gnu::target("avx2"), gnu::flatten]] std::size_t pack_channel_avx2(std::span<const std::uint8_t> frames, int channel,
                                                                    std::span<std::uint8_t> blocks) {
    return pack_frames<2, pack_step_avx2>(frames, channel, blocks);
}
#endif

#ifdef __ARM_NEON
// NEON, one frame a step: the load splits the frame into its even and its odd
// bytes, so that byte k of each holds the earlier and the later code of packed
// byte k; the packed bytes then move as in SSE2.
void pack_step_neon(const std::uint8_t* frame, int nibble_shift, const std::uint8_t* ps, std::uint8_t* block) {
    const uint8x16x2_t bytes = vld2q_u8(frame);
    const uint8x16_t earlier =
        vandq_u8(vshlq_u8(bytes.val[0], vdupq_n_s8(static_cast<std::int8_t>(4 - nibble_shift))), vdupq_n_u8(0xF0));
    const uint8x16_t later =
        vandq_u8(vshlq_u8(bytes.val[1], vdupq_n_s8(static_cast<std::int8_t>(-nibble_shift))), vdupq_n_u8(0x0F));
    const uint8x16_t packed = vorrq_u8(earlier, later);
    // Bytes 0-7 from one byte further on, 8-15 from where they are.
    uint8x16_t codes = vbslq_u8(vcombine_u8(vdup_n_u8(0xFF), vdup_n_u8(0)), vextq_u8(packed, packed, 1), packed);
    codes = vsetq_lane_u8(ps[0], codes, 0);
    vst1q_u8(block, vsetq_lane_u8(ps[0], codes, 8));
}

std::size_t pack_channel_neon(std::span<const std::uint8_t> frames, int channel, std::span<std::uint8_t> blocks) {
    return pack_frames<1, pack_step_neon>(frames, channel, blocks);
}
#endif

}  // namespace

std::size_t pack_channel_portable(std::span<const std::uint8_t> frames, int channel, std::span<std::uint8_t> blocks) {
    return pack_frames<1, pack_step_portable>(frames, channel, blocks);
}

std::vector<pack_kernel> available_kernels() {
    std::vector<pack_kernel> kernels;
#ifdef DUOSPLIT_X86_KERNELS
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) {
        kernels.push_back({"avx2", pack_channel_avx2});
    }
    if (__builtin_cpu_supports("sse2")) {
        kernels.push_back({"sse2", pack_channel_sse2});
    }
#endif
#ifdef __ARM_NEON
    kernels.push_back({"neon", pack_channel_neon});
#endif
    kernels.push_back({"portable", pack_channel_portable});
    return kernels;
}

void transcode_frame(std::span<const std::uint8_t, adp_frame_size> frame, int channel, std::FILE* stream) {
    std::array<std::uint8_t, dsp_block_size> block{};
    if (pack_channel_portable(frame, channel, block) == 0) {
        fail_with_message("scale range");
    }
    put_bytes(stream, block.data(), block.size());
}

// The library build leaves the driver out, so that the tests linking it keep their own main.
#ifndef DUOSPLIT_NO_MAIN
namespace {

constexpr std::size_t dsp_header_size = 96;
constexpr long dsp_frames_offset = 96;

// The four ADP prediction filters as (first, second) coefficient pairs,
// followed by four unused zero pairs; the header stores each times 32.
constexpr std::array<std::int16_t, 16> filter_coefficients{0, 0, 60, 0, 115, -52, 98, -55, 0, 0, 0, 0, 0, 0, 0, 0};

using dsp_header = std::array<std::uint8_t, dsp_header_size>;

// The blocks that frames move through, 512 KiB in and 256 KiB out per
// channel. Each starts on a page boundary, so on a 64-byte one too: the
// system copies between the page cache and a buffer that starts part way into
// a cache line more slowly, and, on some CPUs, between pages and a buffer that
// starts part way into a page as well (measured on an AMD EPYC: blocks on a
// 64-byte boundary made the copies into the outputs about a third slower).
struct block_buffers {
    alignas(4096) std::array<std::uint8_t, frames_per_block * adp_frame_size> in;
    alignas(4096) std::array<std::uint8_t, frames_per_block * dsp_block_size> left;
    alignas(4096) std::array<std::uint8_t, frames_per_block * dsp_block_size> right;
};

// Every header field but the initial predictor/scale byte, which is read back
// from each file's first frame.
dsp_header make_header(std::int32_t samples) {
    dsp_header header{};
    const std::span<std::uint8_t, dsp_header_size> fields(header);
    write_32_be(static_cast<std::uint32_t>(samples), fields.subspan<0x00, 4>());
    write_32_be(static_cast<std::uint32_t>(samples / 14) * 16U, fields.subspan<0x04, 4>());
    write_32_be(48000, fields.subspan<0x08, 4>());
    write_32_be(2, fields.subspan<0x18, 4>());
    for (std::size_t i = 0; i < filter_coefficients.size(); ++i) {
        const auto scaled = static_cast<std::uint16_t>(static_cast<std::uint16_t>(filter_coefficients[i]) * 32U);
        write_16_be(scaled, fields.subspan(0x1C + 2 * i).first<2>());
    }
    return header;
}

// Completes the header with the file's first predictor/scale byte and writes
// it at the start of the file.
void write_header(dsp_header& header, std::FILE* stream) {
    write_16_be(get_byte_seek(dsp_frames_offset, stream), std::span(header).subspan<0x3E, 2>());
    put_bytes_seek(0, stream, header.data(), header.size());
}

}  // namespace

int main(int argc, char* argv[]) {
    if (!open_standard_streams()) {
        fail_with_errno("open");
    }
    const auto arguments = program_arguments(argc, argv);
    if (!arguments) {
        fail_with_errno("CommandLineToArgvW");
    }
    // Standard output and error, when they are regular files, must be neither
    // an input (the summary or report would be written into it) nor an output
    // (the output would be written over them, or they over it).
    struct standard_file {
        file_identity identity;
        const char* as_input;
        const char* as_output;
    };
    // A terminal, a pipe or a device is no file to protect: only a regular
    // file keeps its identity here, anything else is one that matches none.
    const auto regular = [](const file_identity& identity) {
        return identity.kind == file_kind::regular ? identity : file_identity{};
    };
    const std::array<standard_file, 2> standard_files{{
        {regular(identify(stdout)), "input is standard output", "output is standard output"},
        {regular(identify(stderr)), "input is standard error", "output is standard error"},
    }};
    const auto buffers = std::make_unique_for_overwrite<block_buffers>();
    const std::span in(buffers->in);
    // The fastest packing kernel that this CPU runs, chosen once.
    const auto pack = available_kernels().front().pack;
    int summary_error = 0;

    for (const std::optional<std::string>& each : *arguments) {
        // An argument that no name can hold is refused in its turn.
        if (!each) {
            fail_with_message("bad argument encoding");
        }
        const std::string& argument = *each;
        const opened_file opened_input = open_input(argument.c_str());
        std::FILE* const input = opened_input.stream;
        if (input == nullptr) {
            fail_with_errno("fopen");
        }
        for (const standard_file& standard : standard_files) {
            if (same_file(opened_input.identity, standard.identity)) {
                fail_with_message(standard.as_input);
            }
        }

        // Outputs are named after the argument cut at its last dot, wherever it stands.
        std::string base = argument;
        if (const auto dot = base.rfind('.'); dot != std::string::npos) {
            base.resize(dot);
        }
        const std::string left_name = base + "_L.dsp";
        const std::string right_name = base + "_R.dsp";
        // What each output is comes from the file opened, not from its name,
        // and it is emptied only once it is known to be none of the files that
        // must not be touched. The right output, if it exists, is opened before
        // the left one may be created, so that refusing an output that is the
        // input creates nothing.
        const std::array<const std::string*, 2> output_names{&left_name, &right_name};
        std::array<opened_file, 2> outputs{};
        for (const auto& [i, create] : {std::pair<std::size_t, bool>{1, false}, {0, true}, {1, true}}) {
            if (outputs[i].stream != nullptr) {
                continue;
            }
            outputs[i] = open_output(output_names[i]->c_str(), create);
            const int error = errno;
            if (outputs[i].stream == nullptr && !create && error == ENOENT) {
                continue;
            }
            // One that cannot be opened for writing (on Windows, one that
            // another program holds open) is still told by what it is.
            const opened_file seen = outputs[i].stream != nullptr ? outputs[i] : open_input(output_names[i]->c_str());
            if (same_file(seen.identity, opened_input.identity)) {
                fail_with_message("output is the input");
            }
            for (const standard_file& standard : standard_files) {
                if (same_file(seen.identity, standard.identity)) {
                    fail_with_message(standard.as_output);
                }
            }
            if (outputs[i].stream == nullptr) {
                errno = error;
                fail_with_errno("fopen");
            }
        }
        // Two outputs that are one file would each overwrite the other.
        if (same_file(outputs[0].identity, outputs[1].identity)) {
            fail_with_message("outputs are the same file");
        }
        std::FILE* const left = outputs[0].stream;
        std::FILE* const right = outputs[1].stream;
        // Unbuffered streams: each block comes from the system in one read and
        // goes to it in one write, whatever the offset, with no copy through a
        // stream buffer nor the cost of setting one up for every input.
        if (std::setvbuf(input, nullptr, _IONBF, 0) != 0 || std::setvbuf(left, nullptr, _IONBF, 0) != 0 ||
            std::setvbuf(right, nullptr, _IONBF, 0) != 0) {
            fail_with_message("setvbuf");
        }
        // Room for the headers; an output that cannot be positioned (a pipe)
        // fails here, before either output is emptied.
        if (std::fseek(left, dsp_frames_offset, SEEK_SET) != 0) {
            fail_with_errno("fseek");
        }
        if (std::fseek(right, dsp_frames_offset, SEEK_SET) != 0) {
            fail_with_errno("fseek");
        }
        for (const opened_file& output : outputs) {
            if (!empty_output(output)) {
                fail_with_errno("ftruncate");
            }
        }

        // Whole frames are read, packed and written a block at a time; a short
        // read is the end of the input, and a trailing partial frame is dropped.
        // A frame that stops the conversion goes through transcode_frame after
        // the frames before it are written, so that the files end exactly where
        // a frame-by-frame conversion would have stopped.
        std::int32_t samples = 0;
        std::size_t read = frames_per_block;
        while (read == frames_per_block) {
            read = std::fread(in.data(), adp_frame_size, frames_per_block, input);
            std::size_t done = 0;
            while (done < read) {
                const auto rest = in.subspan(done * adp_frame_size, (read - done) * adp_frame_size);
                const auto room = static_cast<std::size_t>((std::numeric_limits<std::int32_t>::max() - samples) / 28);
                std::size_t good = pack(rest.first(std::min(read - done, room) * adp_frame_size), 0, buffers->left);
                good = pack(rest.first(good * adp_frame_size), 1, buffers->right);
                put_bytes(left, buffers->left.data(), good * dsp_block_size);
                put_bytes(right, buffers->right.data(), good * dsp_block_size);
                samples += static_cast<std::int32_t>(28 * good);
                done += good;
                if (done < read) {
                    if (samples > std::numeric_limits<std::int32_t>::max() - 28) {
                        fail_with_message("sample count range");
                    }
                    const auto frame = rest.subspan(good * adp_frame_size).first<adp_frame_size>();
                    transcode_frame(frame, 0, left);
                    transcode_frame(frame, 1, right);
                    samples += 28;
                    ++done;
                }
            }
        }

        // A short read is the end of the input only when it is not a read error.
        if (std::ferror(input) != 0) {
            fail_with_stream(input, "fread");
        }
        // Every frame is on disk before a header counts it: a write that failed
        // while a stream held it back shows here, and nowhere later on a runtime
        // whose seek drops a buffer that it could not write.
        for (std::FILE* output : {left, right}) {
            if (std::fflush(output) != 0 || std::ferror(output) != 0) {
                fail_with_errno("fflush");
            }
        }

        dsp_header header = make_header(samples);
        write_header(header, left);
        write_header(header, right);

        std::fclose(input);
        for (std::FILE* output : {left, right}) {
            if (std::ferror(output) != 0 || std::fclose(output) != 0) {
                fail_with_errno("fclose");
            }
        }
        print_text(argument + " -> " + left_name + ", " + right_name + ", " + std::to_string(samples) + " samples\n");
        // The reason a summary line was lost is the reason of the first one.
        if (summary_error == 0 && std::ferror(stdout) != 0) {
            summary_error = errno;
        }
    }
    // Summary lines that never arrived are a failure too, however complete the
    // outputs: a write that failed earlier leaves the error indicator set.
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        if (summary_error != 0) {
            errno = summary_error;
        }
        fail_with_errno("fflush");
    }
    return 0;
}
#endif
