// duosplit: converts headerless stereo ADP streams into pairs of mono DSP
// ADPCM files, copying the 4-bit codes without decoding them.
#include "duosplit.hpp"

#include <array>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

#include "util.hpp"

void transcode_frame(std::span<const std::uint8_t, adp_frame_size> frame, int channel, std::FILE* stream) {
    const std::uint8_t header = frame[static_cast<std::size_t>(channel)];
    const int shift = header & 0x0F;
    const int filter = header >> 4;
    const int scale = 12 - shift;
    if (scale < 0) {
        fail_with_message("scale range");
    }
    const auto ps = static_cast<std::uint8_t>((filter << 4) | scale);

    // The left channel's codes are the low nibbles, the right channel's the high.
    const int nibble_shift = channel == 0 ? 0 : 4;
    std::array<std::uint8_t, dsp_block_size> block{};
    for (std::size_t f = 0; f < 2; ++f) {
        block[8 * f] = ps;
        for (std::size_t p = 0; p < 7; ++p) {
            const std::size_t s = 4 + 14 * f + 2 * p;
            const int a = (frame[s] >> nibble_shift) & 0x0F;
            const int b = (frame[s + 1] >> nibble_shift) & 0x0F;
            block[8 * f + 1 + p] = static_cast<std::uint8_t>((a << 4) | b);
        }
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
    for (int i = 1; i < argc; ++i) {
        const char* path = argv[i];
        std::FILE* input = std::fopen(path, "rb");
        if (input == nullptr) {
            fail_with_errno("fopen");
        }

        // Outputs are named after the argument cut at its last dot, wherever it stands.
        std::string base = path;
        if (const auto dot = base.rfind('.'); dot != std::string::npos) {
            base.resize(dot);
        }
        const std::string left_name = base + "_L.dsp";
        const std::string right_name = base + "_R.dsp";
        std::FILE* left = std::fopen(left_name.c_str(), "w+b");
        if (left == nullptr) {
            fail_with_errno("fopen");
        }
        std::FILE* right = std::fopen(right_name.c_str(), "w+b");
        if (right == nullptr) {
            fail_with_errno("fopen");
        }
        if (std::fseek(left, dsp_frames_offset, SEEK_SET) != 0) {
            fail_with_errno("fseek");
        }
        if (std::fseek(right, dsp_frames_offset, SEEK_SET) != 0) {
            fail_with_errno("fseek");
        }

        // A short read is the end of the input: a trailing partial frame is dropped.
        std::int32_t samples = 0;
        std::array<std::uint8_t, adp_frame_size> frame{};
        while (std::fread(frame.data(), 1, frame.size(), input) == frame.size()) {
            if (samples > std::numeric_limits<std::int32_t>::max() - 28) {
                fail_with_message("sample count range");
            }
            transcode_frame(frame, 0, left);
            transcode_frame(frame, 1, right);
            samples += 28;
        }

        dsp_header header = make_header(samples);
        write_header(header, left);
        write_header(header, right);

        std::fclose(input);
        if (std::fclose(left) != 0) {
            fail_with_errno("fclose");
        }
        if (std::fclose(right) != 0) {
            fail_with_errno("fclose");
        }
        std::printf("%s -> %s, %s, %d samples\n", path, left_name.c_str(), right_name.c_str(),
                    static_cast<int>(samples));
    }
    return 0;
}
#endif
