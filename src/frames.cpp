// The packing kernels: one channel of many ADP frames into DSP frames, by a
// byte loop, by a portable 64-bit loop and, where the CPU has them, by vector
// instructions.
#include "frames.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

// The vector kernels. On x86 (GCC and Clang) each is compiled for the
// instructions it uses, whatever the build targets, and runs only where the
// CPU has them. NEON is there wherever the compiler targets it (every
// aarch64 build); a 32-bit Arm build with GCC, whose baseline may lack it
// (Debian's armhf), compiles the NEON kernel alone for it and runs it only
// where the CPU has it.
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define DUOSPLIT_X86_KERNELS
#include <immintrin.h>
#endif
#ifdef __ARM_NEON
#define DUOSPLIT_NEON_KERNEL
#define DUOSPLIT_NEON_TARGET
#elif defined(__GNUC__) && !defined(__clang__) && defined(__arm__) && defined(__ARM_FP)
#define DUOSPLIT_NEON_KERNEL
// Flattened, so that the packing loop, compiled for NEON with it, calls no step.
#define DUOSPLIT_NEON_TARGET [[gnu::target("fpu=neon"), gnu::flatten]]
#endif
#ifdef DUOSPLIT_NEON_KERNEL
#include <arm_neon.h>

#include "platform.hpp"
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
void pack_step_bytes(const std::uint8_t* frame, int nibble_shift, const std::uint8_t* ps, std::uint8_t* block) {
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

// Eight bytes as one number, the first the lowest, and back, on a CPU of
// either byte order. Compilers make the load one load (byte-reversed on a
// big-endian CPU); the store is a copy of the number's bytes, reversed first
// where the CPU keeps the highest byte first (byte by byte, GCC's vectorizer
// can take the 16 stores of a step for a vector to build a byte at a time).
inline std::uint64_t load_le64(const std::uint8_t* bytes) {
    return std::uint64_t{bytes[0]} | std::uint64_t{bytes[1]} << 8 | std::uint64_t{bytes[2]} << 16 |
           std::uint64_t{bytes[3]} << 24 | std::uint64_t{bytes[4]} << 32 | std::uint64_t{bytes[5]} << 40 |
           std::uint64_t{bytes[6]} << 48 | std::uint64_t{bytes[7]} << 56;
}

inline void store_le64(std::uint8_t* bytes, std::uint64_t word) {
    if constexpr (std::endian::native == std::endian::big) {
        word = (word & 0x00FF00FF00FF00FF) << 8 | (word >> 8 & 0x00FF00FF00FF00FF);
        word = (word & 0x0000FFFF0000FFFF) << 16 | (word >> 16 & 0x0000FFFF0000FFFF);
        word = word << 32 | word >> 32;
    }
    std::memcpy(bytes, &word, sizeof word);
}

// The packed bytes of eight sample bytes (a word as load_le64 gives it), in
// the high four bytes: byte 4 + k packs the codes of sample bytes 2k and
// 2k + 1 (the low four bytes hold leftovers). Each multiplication, by
// 2^s + 1, adds to a number a copy of it s bits up that shares no set bit
// with it, so that no sum carries: the first puts the earlier code of each
// 16-bit lane 12 bits up, above the later one in the lane's high byte; the
// next two close up those high bytes, two, then four.
std::uint64_t codes_64(std::uint64_t word, int nibble_shift) {
    const std::uint64_t codes = word >> nibble_shift & 0x0F0F0F0F0F0F0F0F;  // byte k: the code of sample byte k
    const std::uint64_t packed = codes * 0x1001 & 0xFF00FF00FF00FF00;       // bytes 1, 3, 5, 7
    return (packed * 0x101 & 0xFFFF0000FFFF0000) * 0x10001;                 // bytes 2, 3, 6, 7; then 4 to 7
}

// One frame, 64 bits at a time, as SSE2 does it in 128: the frame's 32 bytes
// make 16 packed bytes, the first two (headers, unused bytes) masked away;
// the codes of the first DSP frame move down one byte to make room for its
// predictor/scale byte, those of the second stay where they are.
void pack_step_64(const std::uint8_t* frame, int nibble_shift, const std::uint8_t* ps, std::uint8_t* block) {
    const auto half = [&](const std::uint8_t* bytes) {
        return codes_64(load_le64(bytes), nibble_shift) >> 32 |
               (codes_64(load_le64(bytes + 8), nibble_shift) & 0xFFFFFFFF00000000);
    };
    const std::uint64_t first = half(frame), second = half(frame + 16);
    store_le64(block, (first >> 8 & 0x00FFFFFFFFFFFF00) | second << 56 | *ps);
    store_le64(block + 8, (second & ~std::uint64_t{0xFF}) | *ps);
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
                pack_step_bytes(frame + i * adp_frame_size, nibble_shift, &ps[i], block + i * dsp_block_size);
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

#ifdef DUOSPLIT_NEON_KERNEL
// NEON, one frame a step: the load splits the frame into its even and its odd
// bytes, so that byte k of each holds the earlier and the later code of packed
// byte k; the packed bytes then move as in SSE2.
DUOSPLIT_NEON_TARGET void pack_step_neon(const std::uint8_t* frame, int nibble_shift, const std::uint8_t* ps,
                                         std::uint8_t* block) {
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

DUOSPLIT_NEON_TARGET std::size_t pack_channel_neon(std::span<const std::uint8_t> frames, int channel,
                                                   std::span<std::uint8_t> blocks) {
    return pack_frames<1, pack_step_neon>(frames, channel, blocks);
}
#endif

}  // namespace

std::size_t pack_channel_bytes(std::span<const std::uint8_t> frames, int channel, std::span<std::uint8_t> blocks) {
    return pack_frames<1, pack_step_bytes>(frames, channel, blocks);
}

std::size_t pack_channel_portable(std::span<const std::uint8_t> frames, int channel, std::span<std::uint8_t> blocks) {
    return pack_frames<1, pack_step_64>(frames, channel, blocks);
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
#ifdef DUOSPLIT_NEON_KERNEL
    if (cpu_has_neon()) {
        kernels.push_back({"neon", pack_channel_neon});
    }
#endif
    kernels.push_back({"portable", pack_channel_portable});
    return kernels;
}
