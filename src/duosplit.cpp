// duosplit: converts headerless stereo ADP streams into pairs of mono DSP
// ADPCM files, copying the 4-bit codes without decoding them.

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

// Bytes written to an output per call: a whole number of pages, at an offset
// that is one too (the first write ends at one).
constexpr std::size_t bytes_per_write = 256 * 1024;

// The blocks that frames move through: frames_per_block frames read at a
// time, small enough to be packed while the CPU's cache still holds them, and
// each channel's DSP frames gathered for one write, with room for one block
// more than a write takes. Each starts on a 4096-byte boundary, so on a cache
// line: the system copies between the page cache and a buffer that starts
// part way into a cache line more slowly. The stream buffers are used only by
// C libraries that need one to move a block per call (see
// set_block_buffering).
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
//
// The files that a run names, every argument's input and existing outputs,
// are written only as the output of the argument in hand. A refusal is the
// message of its report, or null when the file may be used.

// Standard output or error when it is a regular file, which no argument may
// read or write: its summary lines or report would be written into it.
// Anything else (a terminal, a pipe, a device) has an unknown identity here.
struct standard_file {
    file_identity identity;
    const char* input_message;   // the report when an input is this file
    const char* output_message;  // and when an output is
};

const char* standard_file_refusal(const file_identity& file, std::span<const standard_file, 2> standard,
                                  bool as_output) {
    for (const standard_file& each : standard) {
        if (same_file(file, each.identity)) {
            return as_output ? each.output_message : each.input_message;
        }
    }
    return nullptr;
}

// What the run has done so far with each regular file it read or wrote, by
// where the file is (volume and file index): looked up once per output,
// however many arguments came before.
struct earlier_use {
    bool read = false;        // an earlier argument's input
    file_identity input;      // written from this input (unknown: not written, or from no regular file)
    std::size_t channel = 0;  // and of this channel
};
using earlier_uses = std::map<std::array<std::uint64_t, 3>, earlier_use>;

std::array<std::uint64_t, 3> place(const file_identity& file) { return {file.volume, file.index, file.index_high}; }

// An input that is standard output or error is refused. So is an output that
// is the input (emptying it would lose the input), the other output (each
// would overwrite the other), standard output or error, or an earlier
// argument's input; and one that an earlier argument wrote, unless from this
// same regular input on this same channel, which gives the same bytes again
// (what a pipe or a device yields is not fixed by what it is).
const char* output_refusal(const file_identity& output, std::size_t channel, const file_identity& other_output,
                           const file_identity& input, std::span<const standard_file, 2> standard,
                           const earlier_uses& earlier) {
    if (same_file(output, input)) {
        return "output is the input";
    }
    if (same_file(output, other_output)) {
        return "outputs are the same file";
    }
    if (const char* standard_use = standard_file_refusal(output, standard, true)) {
        return standard_use;
    }
    const auto use = earlier.find(place(output));
    if (output.kind != file_kind::regular || use == earlier.end()) {
        return nullptr;
    }
    if (use->second.read) {
        return "output is an earlier input";
    }
    if (!same_file(input, use->second.input) || channel != use->second.channel) {
        return "output was written by an earlier argument";
    }
    return nullptr;
}

// Records a finished conversion: its input, and each output with the input
// and channel it was written from.
void record_use(const opened_file& input, const std::array<opened_file, 2>& outputs, earlier_uses& earlier) {
    if (input.identity.kind == file_kind::regular) {
        earlier[place(input.identity)].read = true;
    }
    for (std::size_t channel = 0; channel < outputs.size(); ++channel) {
        if (outputs[channel].identity.kind == file_kind::regular) {
            earlier_use& use = earlier[place(outputs[channel].identity)];
            use.input = input.identity.kind == file_kind::regular ? input.identity : file_identity{};
            use.channel = channel;
        }
    }
}

// ---- Answers ----------------------------------------------------------------

constexpr const char* usage =
    "Usage: duosplit [FILE]...\n"
    "Converts each FILE, a headerless stereo ADP stream, into two mono DSP ADPCM\n"
    "files, copying the 4-bit codes as they are: BASE_L.dsp (the left channel) and\n"
    "BASE_R.dsp (the right), where BASE is FILE cut at its last dot. Existing files\n"
    "are overwritten. Prints one line per file converted, and stops at the first\n"
    "failure with a one-line report on standard error.\n"
    "\n"
    "Exit status: 0 when every FILE was converted (also when there are none), else 1.\n"
    "\n"
    "duosplit --help and duosplit --version print this text and the version. With\n"
    "other arguments, or anywhere but alone, --help and --version are file names\n"
    "like any other, as ./--help always is.\n"
    "\n"
    "Manual: man duosplit; on Windows, README.md beside duosplit.exe.\n";

// The answer to an argument list that is exactly "--help" or exactly
// "--version", which names no file that anyone converts; none for any other
// list, every argument of which is a file name.
std::optional<std::string> answer(const std::vector<std::optional<std::string>>& arguments, const char* kernel) {
    if (arguments.size() == 1 && arguments[0] == "--help") {
        return usage;
    }
    if (arguments.size() == 1 && arguments[0] == "--version") {
        return std::string("duosplit " DUOSPLIT_VERSION "\npacking kernel: ") + kernel + "\n";
    }
    return std::nullopt;
}

// ---- The steps of one conversion -------------------------------------------

// The outputs' names: the argument cut at its last dot, wherever it stands
// (in a directory part too), then "_L.dsp" for the left channel and "_R.dsp"
// for the right.
std::array<std::string, 2> output_names(const std::string& argument) {
    const std::string base = argument.substr(0, argument.rfind('.'));
    return {base + "_L.dsp", base + "_R.dsp"};
}

// What a look at every argument's names finds before anything is converted,
// when standard output or error is a regular file: the refusal of the first
// argument whose input or existing output is that file, as a summary line or
// report written there would change a file that the run reads or writes; and
// whether standard error is any such file of any argument, so that no report
// is written into it. Looking opens nothing (a FIFO cannot block it) and
// changes nothing.
struct named_standard_files {
    const char* refusal = nullptr;
    bool standard_error_named = false;
};

named_standard_files look_at_names(const std::vector<std::optional<std::string>>& arguments,
                                   std::span<const standard_file, 2> standard) {
    named_standard_files found;
    if (std::none_of(standard.begin(), standard.end(),
                     [](const standard_file& each) { return each.identity.kind == file_kind::regular; })) {
        return found;
    }
    for (const std::optional<std::string>& argument : arguments) {
        if (!argument) {
            continue;
        }
        const std::array<std::string, 2> outputs = output_names(*argument);
        for (const std::string* name : {&*argument, &outputs[0], &outputs[1]}) {
            const file_identity file = identify_name(name->c_str());
            if (found.refusal == nullptr) {
                found.refusal = standard_file_refusal(file, standard, name != &*argument);
            }
            found.standard_error_named = found.standard_error_named || same_file(file, standard[1].identity);
        }
    }
    return found;
}

// Both outputs, opened as they are, or what stopped that: a refusal, or the
// error of an open that failed.
struct opened_outputs {
    std::array<opened_file, 2> files;
    const char* refusal = nullptr;
    int error = 0;
};

// Opens the outputs. What each is comes from the file opened, not from its
// name, and neither is emptied here. Those that exist are opened and checked
// first, so that a refusal creates nothing; then the missing ones are made
// and checked in turn. On a refusal or failure, the files opened stay open:
// the process ends.
opened_outputs open_outputs(const std::array<std::string, 2>& names, const file_identity& input,
                            std::span<const standard_file, 2> standard, const earlier_uses& earlier) {
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
            outputs.refusal = output_refusal(identity, i, outputs.files[1 - i].identity, input, standard, earlier);
            if (outputs.refusal != nullptr || output.stream == nullptr) {
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

// Ends the process at the frame that a packing kernel stopped at, a header
// shift with no scale: transcode_frame writes the frame's left half when only
// its right header is bad, as a frame-by-frame conversion would, then reports
// "scale range".
[[noreturn]] void stop_at(std::span<const std::uint8_t, adp_frame_size> frame, std::FILE* left, std::FILE* right) {
    transcode_frame(frame, 0, left);
    transcode_frame(frame, 1, right);
    std::abort();  // not reached: a kernel stops only where transcode_frame does
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
// with a shift that has no scale ends the process in stop_at, once every frame
// before it is written.
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
            stop_at(in.subspan(packed * adp_frame_size).first<adp_frame_size>(), left, right);
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

// Each argument in turn: the input opened and its first block read, then the
// outputs opened, both checked against every file the run names before either
// is emptied, then the frames streamed, the outputs flushed, the headers
// written, the files closed and the summary line printed. The order is what
// keeps files safe: a failure found in the input's first block, and every
// refusal, comes before any output is touched; both outputs are positioned
// before either is emptied, so that one that cannot be (a pipe) changes
// neither; the outputs are flushed before a header counts their frames; and
// the header's predictor/scale byte is read back from the file, so that it
// names what the first frame holds on disk.
int main(int argc, char* argv[]) {
    if (!start_process()) {
        fail_with_errno("open");
    }
    auto arguments = program_arguments(argc, argv);
    if (!arguments) {
        fail_with_errno("CommandLineToArgvW");
    }
    // The fastest packing kernel that this CPU runs, chosen once.
    const pack_kernel kernel = available_kernels().front();
    if (const std::optional<std::string> text = answer(*arguments, kernel.name)) {
        print_text(*text);
        arguments->clear();  // nothing to convert: on to the check that standard output took the text
    }
    const auto if_regular_file = [](const file_identity& identity) {
        return identity.kind == file_kind::regular ? identity : file_identity{};
    };
    const std::array<standard_file, 2> standard{{
        {if_regular_file(identify(stdout)), "input is standard output", "output is standard output"},
        {if_regular_file(identify(stderr)), "input is standard error", "output is standard error"},
    }};
    const named_standard_files named = look_at_names(*arguments, standard);
    if (named.standard_error_named) {
        silence_standard_error();  // a report goes nowhere, and the exit status tells
    }
    if (named.refusal != nullptr) {
        fail_with_message(named.refusal);
    }
    const std::unique_ptr<block_buffers> buffers(new block_buffers);  // left as it is: every byte is written first
    const std::span in(buffers->in);
    earlier_uses earlier;
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
        if (const char* refusal = standard_file_refusal(input.identity, standard, false)) {
            fail_with_message(refusal);
        }
        if (!set_block_buffering(input.stream, buffers->input_stream)) {
            fail_with_errno("setvbuf");
        }
        const std::size_t got = read_block(input.stream, in);
        if (std::ferror(input.stream) != 0) {
            fail_with_stream(input.stream, "fread");
        }
        if (got == 0) {
            // No whole frame. The input is at its end, so the read of the
            // first frame's header byte, made for its report, fails there
            // ("unexpected EOF") and ends the process.
            get_byte(input.stream);
        }
        if (input.identity.kind == file_kind::regular && !frames_within_limit(input.identity.size / adp_frame_size)) {
            fail_with_message("sample count range");
        }
        transcode_frame(in.first<adp_frame_size>(), 0, nullptr);
        transcode_frame(in.first<adp_frame_size>(), 1, nullptr);

        const std::array<std::string, 2> names = output_names(argument);
        const opened_outputs outputs = open_outputs(names, input.identity, standard, earlier);
        if (outputs.refusal != nullptr) {
            fail_with_message(outputs.refusal);
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

        const stream_result streamed = stream_frames(kernel.pack, input.stream, got, *buffers, left, right);
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
            if (flush_stream(output) != 0 || std::ferror(output) != 0) {
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
        record_use(input, outputs.files, earlier);
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
