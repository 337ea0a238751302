// duosplit: converts headerless stereo ADP streams into pairs of mono DSP
// ADPCM files, copying the 4-bit codes without decoding them.

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

#include "frames.hpp"
#include "platform.hpp"
#include "util.hpp"

// Writes the two DSP frames of one channel (0 left, 1 right) of an ADP frame
// to the stream's current position. A header shift of 13 to 15 ends the
// process with "scale range" before anything is written.
void transcode_frame(std::span<const std::uint8_t, adp_frame_size> frame, int channel, std::FILE* stream) {
    std::array<std::uint8_t, dsp_block_size> block{};
    if (pack_channel_portable(frame, channel, block) == 0) {
        fail_with_message("scale range");
    }
    put_bytes(stream, block.data(), block.size());
}

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
