// ADP frames into DSP frames: the sizes of both, the most frames one
// conversion can count, and the kernels that pack one channel of many frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

// Bytes in one stereo ADP input frame (28 samples per channel).
inline constexpr std::size_t adp_frame_size = 32;
// Bytes that one ADP frame becomes in one channel's DSP file: two 8-byte frames.
inline constexpr std::size_t dsp_block_size = 16;
// ADP frames read and packed at a time (64 KiB).
inline constexpr std::size_t frames_per_block = 2048;

// The most frames one conversion takes: the DSP header counts samples, 28 a
// frame, in a signed 32-bit field (76,695,844 frames, 2,147,483,632 samples).
inline constexpr std::uint64_t max_frames = 0x7FFFFFFF / 28;

// Whether a conversion of `frames` frames can be counted in the header.
constexpr bool frames_within_limit(std::uint64_t frames) { return frames <= max_frames; }

// Packs one channel (0 left, 1 right) of the whole ADP frames in `frames`
// into `blocks`, two DSP frames (16 bytes) for each, as far as both hold.
// Stops before the first frame whose header for the channel has a shift of 13
// to 15; gives the number of frames packed. This is the loop that every
// platform has, 64 bits at a time in plain C++ (the same bytes on either byte
// order); the kernels below give the same bytes and count, faster.
std::size_t pack_channel_portable(std::span<const std::uint8_t> frames, int channel, std::span<std::uint8_t> blocks);

// Packs as pack_channel_portable does, a byte at a time: the plainest loop,
// which the tests hold every kernel to.
std::size_t pack_channel_bytes(std::span<const std::uint8_t> frames, int channel, std::span<std::uint8_t> blocks);

// A packing kernel by name ("avx2", "sse2", "neon", "portable"): a function
// that packs as pack_channel_portable does.
struct pack_kernel {
    const char* name;
    std::size_t (*pack)(std::span<const std::uint8_t> frames, int channel, std::span<std::uint8_t> blocks);
};

// The kernels that this build has and this CPU runs, fastest first: AVX2 and
// SSE2 on any x86 build where the CPU has them, NEON on any Arm build where
// the CPU has it (every 64-bit one; a 32-bit one built with GCC, as Linux
// reports it), and last the portable 64-bit loop, which is always there.
std::vector<pack_kernel> available_kernels();
