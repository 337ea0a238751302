// duosplit: converts headerless stereo ADP streams into pairs of mono DSP
// ADPCM files, copying the 4-bit codes without decoding them.
#include "duosplit.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "platform.hpp"
#include "util.hpp"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

// The DSP predictor/scale byte for an ADP channel header (filter in the high
// nibble, shift in the low one): the filter unchanged, scale 12 - shift; -1
// for a shift of 13 to 15, which has no scale.
int predictor_scale(std::uint8_t header) {
    const int scale = 12 - (header & 0x0F);
    return scale < 0 ? -1 : (header & 0xF0) | scale;
}

// One frame's two DSP frames, a byte at a time: each output byte holds two
// successive codes, the earlier in the high nibble. `nibble_shift` picks the
// channel's nibble of each sample byte (0: low, left; 4: high, right).
void pack_frame_portable(const std::uint8_t* frame, int nibble_shift, std::uint8_t ps, std::uint8_t* block) {
    for (std::size_t f = 0; f < 2; ++f) {
        block[8 * f] = ps;
        for (std::size_t p = 0; p < 7; ++p) {
            const std::size_t s = 4 + 14 * f + 2 * p;
            const int a = (frame[s] >> nibble_shift) & 0x0F;
            const int b = (frame[s + 1] >> nibble_shift) & 0x0F;
            block[8 * f + 1 + p] = static_cast<std::uint8_t>((a << 4) | b);
        }
    }
}

#ifdef __SSE2__
// The same with SSE2, on the frame as sixteen 16-bit lanes: lane k holds
// sample bytes 2k (low half) and 2k + 1 (high half), so each lane makes one
// output byte. Lanes 0 and 1 (headers, unused bytes) are packed too and
// masked away; the codes of the first DSP frame move up one byte to make room
// for its predictor/scale byte, those of the second stay where they are.
void pack_frame_sse2(const std::uint8_t* frame, int nibble_shift, std::uint8_t ps, std::uint8_t* block) {
    const __m128i to_high = _mm_cvtsi32_si128(4 - nibble_shift);
    const __m128i to_low = _mm_cvtsi32_si128(8 + nibble_shift);
    const auto codes = [&](__m128i lanes) {
        const __m128i earlier = _mm_and_si128(_mm_sll_epi16(lanes, to_high), _mm_set1_epi16(0x00F0));
        const __m128i later = _mm_and_si128(_mm_srl_epi16(lanes, to_low), _mm_set1_epi16(0x000F));
        return _mm_or_si128(earlier, later);
    };
    const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(frame));
    const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(frame + 16));
    const __m128i packed = _mm_packus_epi16(codes(first), codes(second));  // byte k: codes of bytes 2k, 2k + 1
    const __m128i first_frame = _mm_and_si128(_mm_srli_si128(packed, 1), _mm_set_epi32(0, 0, -1, -256));
    const __m128i second_frame = _mm_and_si128(packed, _mm_set_epi32(-1, -256, 0, 0));
    const __m128i scales = _mm_set_epi32(0, ps, 0, ps);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(block), _mm_or_si128(_mm_or_si128(first_frame, second_frame), scales));
}
#endif

// Packs frames one after the other with `pack_frame`, as pack_channel says.
template <auto pack_frame>
std::size_t pack_frames(std::span<const std::uint8_t> frames, int channel, std::span<std::uint8_t> blocks) {
    const std::size_t count = std::min(frames.size() / adp_frame_size, blocks.size() / dsp_block_size);
    // The left channel's codes are the low nibbles, the right channel's the high.
    const int nibble_shift = channel == 0 ? 0 : 4;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* frame = frames.data() + i * adp_frame_size;
        const int ps = predictor_scale(frame[static_cast<std::size_t>(channel)]);
        if (ps < 0) {
            return i;
        }
        pack_frame(frame, nibble_shift, static_cast<std::uint8_t>(ps), blocks.data() + i * dsp_block_size);
    }
    return count;
}

}  // namespace

std::size_t pack_channel_portable(std::span<const std::uint8_t> frames, int channel, std::span<std::uint8_t> blocks) {
    return pack_frames<pack_frame_portable>(frames, channel, blocks);
}

std::size_t pack_channel(std::span<const std::uint8_t> frames, int channel, std::span<std::uint8_t> blocks) {
#ifdef __SSE2__
    return pack_frames<pack_frame_sse2>(frames, channel, blocks);
#else
    return pack_channel_portable(frames, channel, blocks);
#endif
}

void transcode_frame(std::span<const std::uint8_t, adp_frame_size> frame, int channel, std::FILE* stream) {
    std::array<std::uint8_t, dsp_block_size> block{};
    if (pack_channel(frame, channel, block) == 0) {
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
    const std::array<standard_file, 2> standard_files{{
        {identify(stdout), "input is standard output", "output is standard output"},
        {identify(stderr), "input is standard error", "output is standard error"},
    }};
    // Frames move a block at a time: 512 KiB in, 256 KiB out per channel.
    std::vector<std::uint8_t> in(frames_per_block * adp_frame_size);
    std::vector<std::uint8_t> left_out(frames_per_block * dsp_block_size);
    std::vector<std::uint8_t> right_out(frames_per_block * dsp_block_size);
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
            if (standard.identity.kind == file_kind::regular && same_file(opened_input.identity, standard.identity)) {
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
                if (standard.identity.kind == file_kind::regular && same_file(seen.identity, standard.identity)) {
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
        for (const opened_file& output : outputs) {
            if (!empty_output(output)) {
                fail_with_errno("ftruncate");
            }
        }
        std::FILE* const left = outputs[0].stream;
        std::FILE* const right = outputs[1].stream;
        if (std::fseek(left, dsp_frames_offset, SEEK_SET) != 0) {
            fail_with_errno("fseek");
        }
        if (std::fseek(right, dsp_frames_offset, SEEK_SET) != 0) {
            fail_with_errno("fseek");
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
                const auto rest = std::span(in).subspan(done * adp_frame_size, (read - done) * adp_frame_size);
                const auto room = static_cast<std::size_t>((std::numeric_limits<std::int32_t>::max() - samples) / 28);
                std::size_t good = pack_channel(rest.first(std::min(read - done, room) * adp_frame_size), 0, left_out);
                good = pack_channel(rest.first(good * adp_frame_size), 1, right_out);
                put_bytes(left, left_out.data(), good * dsp_block_size);
                put_bytes(right, right_out.data(), good * dsp_block_size);
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
