// duosplit: converts headerless stereo ADP streams into pairs of mono DSP
// ADPCM files, copying the 4-bit codes without decoding them.

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "frames.hpp"
#include "platform.hpp"
#include "util.hpp"

// Writes the two DSP frames of one channel (0 left, 1 right) of an ADP frame
// to the stream's current position. A header shift of 13 to 15 ends the
// process with "scale range" before anything is written; with a null stream
// the frame is only checked.
void transcode_frame(std::span<const std::uint8_t, adp_frame_size> frame, int channel, std::FILE* stream) {
    std::array<std::uint8_t, dsp_block_size> block{};
    if (pack_channel_portable(frame, channel, block) == 0) {
        fail_with_message("scale range");
    }
    if (stream != nullptr) {
        put_bytes(stream, block.data(), block.size());
    }
}

namespace {

// The header's size, and so the offset of each file's first frame.
constexpr std::size_t dsp_header_size = 96;

// The four ADP prediction filters as (first, second) coefficient pairs,
// followed by four unused zero pairs; the header stores each times 32.
constexpr std::array<std::int16_t, 16> filter_coefficients{0, 0, 60, 0, 115, -52, 98, -55, 0, 0, 0, 0, 0, 0, 0, 0};

using dsp_header = std::array<std::uint8_t, dsp_header_size>;

// Bytes written to an output per call, a whole number of pages at an offset
// that is one too (the first write ends at one): with two outputs, 64 KiB
// writes cost the system a third more than 256 KiB ones.
constexpr std::size_t bytes_per_write = 256 * 1024;

// The blocks that frames move through: frames_per_block frames read at a
// time, small enough to be packed while the CPU's cache still holds them, and
// each channel's DSP frames gathered for one write, with room for one block
// more than a write takes. Each starts on a page boundary: the system copies
// between the page cache and a buffer that starts part way into a cache line
// more slowly, and, on some CPUs, between pages and a buffer that starts part
// way into a page as well. The stream buffers are used only by C libraries
// that need one to move a block per call (see set_block_buffering).
struct block_buffers {
    alignas(4096) std::array<std::uint8_t, frames_per_block * adp_frame_size> in;
    alignas(4096) std::array<std::uint8_t, bytes_per_write + frames_per_block * dsp_block_size> left;
    alignas(4096) std::array<std::uint8_t, bytes_per_write + frames_per_block * dsp_block_size> right;
    alignas(4096) std::array<std::uint8_t, frames_per_block * adp_frame_size> input_stream;
    alignas(4096) std::array<std::uint8_t, bytes_per_write> left_stream;
    alignas(4096) std::array<std::uint8_t, bytes_per_write> right_stream;
};

using pack_function = std::size_t (*)(std::span<const std::uint8_t>, int, std::span<std::uint8_t>);

// ---- Refusals ------------------------------------------------------------

// Standard output or error when it is a regular file, which no argument may
// read or write: its summary lines or report would be written into it.
// Anything else (a terminal, a pipe, a device) has an unknown identity here.
struct standard_file {
    file_identity identity;
    const char* input_message;   // the report when an input is this file
    const char* output_message;  // and when an output is
    bool is_standard_error;
};

// The outputs this run has written, regular files each, by where they are
// (volume and file index), with the input each came from: looked up once per
// output, however many arguments came before.
using written_outputs = std::map<std::array<std::uint64_t, 3>, file_identity>;

std::array<std::uint64_t, 3> place(const file_identity& file) { return {file.volume, file.index, file.index_high}; }

// Why a file may not be used: the report's message, and whether the file is
// standard error itself, where the report must not be written. No reason:
// the file may be used.
struct refusal {
    const char* reason = nullptr;
    bool into_standard_error = false;
};

refusal standard_file_refusal(const file_identity& file, std::span<const standard_file, 2> standard, bool as_output) {
    for (const standard_file& each : standard) {
        if (same_file(file, each.identity)) {
            return {as_output ? each.output_message : each.input_message, each.is_standard_error};
        }
    }
    return {};
}

// What is refused. An input that is standard output or error. An output that
// is the input (emptying it would lose the input), the other output (each
// would overwrite the other), standard output or error, or one that an
// earlier argument wrote from another input (that conversion would be lost
// under its summary line; the same input converted again gives the same
// bytes).
refusal input_refusal(const file_identity& input, std::span<const standard_file, 2> standard) {
    return standard_file_refusal(input, standard, false);
}

refusal output_refusal(const file_identity& output, const file_identity& other_output, const file_identity& input,
                       std::span<const standard_file, 2> standard, const written_outputs& written) {
    if (same_file(output, input)) {
        return {"output is the input"};
    }
    if (same_file(output, other_output)) {
        return {"outputs are the same file"};
    }
    if (const refusal standard_use = standard_file_refusal(output, standard, true); standard_use.reason != nullptr) {
        return standard_use;
    }
    if (const auto earlier = written.find(place(output));
        output.kind == file_kind::regular && earlier != written.end() && !same_file(input, earlier->second)) {
        return {"output was written by an earlier argument"};
    }
    return {};
}

// Readies the report of a refusal, when there is one: if the file refused is
// standard error itself, the report is not written into it but goes nowhere,
// and the exit status tells.
bool prepare_refusal(const refusal& why) {
    if (why.into_standard_error) {
        silence_standard_error();
    }
    return why.reason != nullptr;
}

// ---- The steps of one conversion -------------------------------------------

// The outputs' names: the argument cut at its last dot, wherever it stands
// (in a directory part too), then "_L.dsp" for the left channel and "_R.dsp"
// for the right.
std::array<std::string, 2> output_names(const std::string& argument) {
    const std::string base = argument.substr(0, argument.rfind('.'));
    return {base + "_L.dsp", base + "_R.dsp"};
}

// When standard output or error is a regular file, the first argument whose
// input or existing output is that file: looked at by name before anything
// is converted, since a summary line or report written there would change a
// file that an argument reads or writes. Looking opens nothing (a FIFO cannot
// block it) and changes nothing.
refusal standard_streams_refusal(const std::vector<std::optional<std::string>>& arguments,
                                 std::span<const standard_file, 2> standard) {
    if (standard[0].identity.kind != file_kind::regular && standard[1].identity.kind != file_kind::regular) {
        return {};
    }
    for (const std::optional<std::string>& argument : arguments) {
        if (!argument) {
            continue;
        }
        refusal why = input_refusal(identify_name(argument->c_str()), standard);
        for (const std::string& name : output_names(*argument)) {
            if (why.reason == nullptr) {
                why = standard_file_refusal(identify_name(name.c_str()), standard, true);
            }
        }
        if (why.reason != nullptr) {
            return why;
        }
    }
    return {};
}

// Both outputs, opened as they are, or what stopped that: a refusal, or the
// error of an open that failed.
struct opened_outputs {
    std::array<opened_file, 2> files;
    refusal why;
    int error = 0;
};

// Opens the outputs. What each is comes from the file opened, not from its
// name, and neither is emptied here. Those that exist are opened and checked
// first, so that a refusal creates nothing; then the missing ones are made
// and checked in turn. On a refusal or failure, the files opened stay open:
// the process ends.
opened_outputs open_outputs(const std::array<std::string, 2>& names, const file_identity& input,
                            std::span<const standard_file, 2> standard, const written_outputs& written) {
    opened_outputs outputs;
    for (const bool create : {false, true}) {
        for (std::size_t i = 0; i < names.size(); ++i) {
            opened_file& output = outputs.files[i];
            if (output.stream != nullptr) {
                continue;
            }
            output = open_output(names[i].c_str(), create);
            const int error = errno;
            if (output.stream == nullptr && !create && error == ENOENT) {
                continue;
            }
            // One that cannot be opened for writing is still told by what it is.
            const file_identity identity = output.stream != nullptr ? output.identity : identify_name(names[i].c_str());
            outputs.why = output_refusal(identity, outputs.files[1 - i].identity, input, standard, written);
            if (outputs.why.reason != nullptr || output.stream == nullptr) {
                outputs.error = error;
                return outputs;
            }
        }
    }
    return outputs;
}

// Readies the outputs for their frames: each stream set to move a block per
// call, both positioned behind the room for their headers (an output that
// cannot be positioned, a pipe, fails here, before either is emptied), then
// both emptied. Gives the name of the call that failed, with errno set, or
// null.
const char* ready_outputs(const std::array<opened_file, 2>& outputs, block_buffers& buffers) {
    if (!set_block_buffering(outputs[0].stream, buffers.left_stream) ||
        !set_block_buffering(outputs[1].stream, buffers.right_stream)) {
        return "setvbuf";
    }
    for (const opened_file& output : outputs) {
        if (std::fseek(output.stream, static_cast<long>(dsp_header_size), SEEK_SET) != 0) {
            return "fseek";
        }
    }
    for (const opened_file& output : outputs) {
        if (!empty_output(output)) {
            return "ftruncate";
        }
    }
    return nullptr;
}

// Reads up to one block of whole frames; gives how many came. Fewer than a
// block: the input ended (a trailing partial frame is dropped) or failed.
std::size_t read_block(std::FILE* input, std::span<std::uint8_t> in) {
    return std::fread(in.data(), adp_frame_size, frames_per_block, input);
}

// Writes the first `count` bytes of both channel blocks, one call each, and
// moves what follows them to the front.
void write_blocks(std::span<std::uint8_t> left_block, std::span<std::uint8_t> right_block, std::size_t count,
                  std::size_t pending, std::FILE* left, std::FILE* right) {
    put_bytes(left, left_block.data(), count);
    put_bytes(right, right_block.data(), count);
    std::copy(left_block.begin() + count, left_block.begin() + pending, left_block.begin());
    std::copy(right_block.begin() + count, right_block.begin() + pending, right_block.begin());
}

// What streaming an input's frames found.
struct stream_result {
    std::uint64_t frames = 0;      // converted, and on disk
    bool read_error = false;       // a read failed before the end of the input
    bool too_many_frames = false;  // more frames than a header can count
};

// Converts the input's frames, the first `got` of them already read into the
// in block, into the two outputs, which stand at their first frame. Frames
// are packed a read block at a time and written whenever a write's worth is
// gathered, ending on a page boundary. A block that would take the count past
// what a header can hold stops the conversion before it is packed. A frame
// that stops the conversion goes through transcode_frame once every frame
// before it is written, so that the files end exactly where a frame-by-frame
// conversion would have stopped.
stream_result stream_frames(pack_function pack, std::FILE* input, std::size_t got, block_buffers& buffers,
                            std::FILE* left, std::FILE* right) {
    const std::span<const std::uint8_t> in(buffers.in);
    stream_result result;
    std::size_t pending = 0;                 // bytes in each channel block, not yet written
    std::uint64_t length = dsp_header_size;  // each output's length on disk
    for (;;) {
        if (!frames_within_limit(result.frames + got)) {
            result.too_many_frames = true;
            break;
        }
        const std::size_t left_packed =
            pack(in.first(got * adp_frame_size), 0, std::span(buffers.left).subspan(pending));
        const std::size_t packed =
            pack(in.first(left_packed * adp_frame_size), 1, std::span(buffers.right).subspan(pending));
        pending += packed * dsp_block_size;
        result.frames += packed;
        if (packed < got) {
            write_blocks(buffers.left, buffers.right, pending, pending, left, right);
            const auto frame = in.subspan(packed * adp_frame_size).first<adp_frame_size>();
            transcode_frame(frame, 0, left);
            transcode_frame(frame, 1, right);
        }
        if (const std::uint64_t end = (length + pending) / bytes_per_write * bytes_per_write; end > length) {
            write_blocks(buffers.left, buffers.right, end - length, pending, left, right);
            pending -= end - length;
            length = end;
        }
        if (got < frames_per_block) {
            break;
        }
        got = read_block(input, buffers.in);
    }
    write_blocks(buffers.left, buffers.right, pending, pending, left, right);
    result.read_error = std::ferror(input) != 0;
    return result;
}

// Every header field but the initial predictor/scale byte.
dsp_header make_header(std::uint64_t frames) {
    const auto samples = static_cast<std::uint32_t>(28 * frames);
    dsp_header header{};
    const std::span<std::uint8_t, dsp_header_size> fields(header);
    write_32_be(samples, fields.subspan<0x00, 4>());
    write_32_be(samples / 14 * 16, fields.subspan<0x04, 4>());
    write_32_be(48000, fields.subspan<0x08, 4>());
    write_32_be(2, fields.subspan<0x18, 4>());
    for (std::size_t i = 0; i < filter_coefficients.size(); ++i) {
        const auto scaled = static_cast<std::uint16_t>(static_cast<std::uint16_t>(filter_coefficients[i]) * 32U);
        write_16_be(scaled, fields.subspan(0x1C + 2 * i).first<2>());
    }
    return header;
}

// Completes the header with the file's first predictor/scale byte and writes
// it at the start of the file. The byte is read back from the file, not taken
// from memory, so that the header names what the file's first frame holds on
// disk.
void write_header(dsp_header& header, std::FILE* stream) {
    write_16_be(get_byte_seek(static_cast<long>(dsp_header_size), stream), std::span(header).subspan<0x3E, 2>());
    put_bytes_seek(0, stream, header.data(), header.size());
}

}  // namespace

int main(int argc, char* argv[]) {
    if (!start_process()) {
        fail_with_errno("open");
    }
    const auto arguments = program_arguments(argc, argv);
    if (!arguments) {
        fail_with_errno("CommandLineToArgvW");
    }
    const auto if_regular_file = [](const file_identity& identity) {
        return identity.kind == file_kind::regular ? identity : file_identity{};
    };
    const std::array<standard_file, 2> standard{{
        {if_regular_file(identify(stdout)), "input is standard output", "output is standard output", false},
        {if_regular_file(identify(stderr)), "input is standard error", "output is standard error", true},
    }};
    if (const refusal why = standard_streams_refusal(*arguments, standard); prepare_refusal(why)) {
        fail_with_message(why.reason);
    }
    const std::unique_ptr<block_buffers> buffers(new block_buffers);  // left as it is: every byte is written first
    const std::span in(buffers->in);
    // The fastest packing kernel that this CPU runs, chosen once.
    const pack_function pack = available_kernels().front().pack;
    written_outputs written;
    int summary_error = 0;

    for (const std::optional<std::string>& each : *arguments) {
        // An argument that no name can hold is refused in its turn.
        if (!each) {
            fail_with_message("bad argument encoding");
        }
        const std::string& argument = *each;

        // The input, and its first block: a failure found there is reported
        // before any output is opened, so that it changes no file.
        const opened_file input = open_input(argument.c_str());
        if (input.stream == nullptr) {
            fail_with_errno("fopen");
        }
        if (const refusal why = input_refusal(input.identity, standard); prepare_refusal(why)) {
            fail_with_message(why.reason);
        }
        if (!set_block_buffering(input.stream, buffers->input_stream)) {
            fail_with_errno("setvbuf");
        }
        const std::size_t got = read_block(input.stream, in);
        if (std::ferror(input.stream) != 0) {
            fail_with_stream(input.stream, "fread");
        }
        if (got == 0) {
            get_byte(input.stream);  // no whole frame: the first frame's header byte is not there
        }
        if (input.identity.kind == file_kind::regular && !frames_within_limit(input.identity.size / adp_frame_size)) {
            fail_with_message("sample count range");
        }
        transcode_frame(in.first<adp_frame_size>(), 0, nullptr);
        transcode_frame(in.first<adp_frame_size>(), 1, nullptr);

        const std::array<std::string, 2> names = output_names(argument);
        const opened_outputs outputs = open_outputs(names, input.identity, standard, written);
        if (prepare_refusal(outputs.why)) {
            fail_with_message(outputs.why.reason);
        }
        if (outputs.error != 0) {
            errno = outputs.error;
            fail_with_errno("fopen");
        }
        if (const char* failed = ready_outputs(outputs.files, *buffers); failed != nullptr) {
            fail_with_errno(failed);
        }
        std::FILE* const left = outputs.files[0].stream;
        std::FILE* const right = outputs.files[1].stream;

        const stream_result streamed = stream_frames(pack, input.stream, got, *buffers, left, right);
        if (streamed.read_error) {
            fail_with_stream(input.stream, "fread");
        }
        if (streamed.too_many_frames) {
            fail_with_message("sample count range");
        }
        // Where a stream buffers the outputs (see set_block_buffering), it may
        // still hold the last block: flushed here, a write that fails is
        // reported before a header counts frames that are not on disk.
        for (std::FILE* output : {left, right}) {
            if (std::fflush(output) != 0 || std::ferror(output) != 0) {
                fail_with_errno("fflush");
            }
        }

        dsp_header header = make_header(streamed.frames);
        write_header(header, left);
        write_header(header, right);

        std::fclose(input.stream);
        for (std::FILE* output : {left, right}) {
            if (std::ferror(output) != 0 || close_stream(output) != 0) {
                fail_with_errno("fclose");
            }
        }
        for (const opened_file& output : outputs.files) {
            if (output.identity.kind == file_kind::regular) {
                written[place(output.identity)] = input.identity;
            }
        }
        print_text(argument + " -> " + names[0] + ", " + names[1] + ", " + std::to_string(28 * streamed.frames) +
                   " samples\n");
        // The reason a summary line was lost is the reason of the first one.
        if (summary_error == 0 && std::ferror(stdout) != 0) {
            summary_error = errno;
        }
    }
    // Summary lines that never arrived are a failure too, however complete the
    // outputs: a write that failed earlier leaves the error indicator set.
    if (flush_stream(stdout) != 0 || std::ferror(stdout) != 0) {
        if (summary_error != 0) {
            errno = summary_error;
        }
        fail_with_errno("fflush");
    }
    return 0;
}
