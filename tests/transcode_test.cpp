#include "duosplit.hpp"
#include "support.hpp"

namespace {

using frame_bytes = std::array<std::uint8_t, adp_frame_size>;

bytes transcode(const frame_bytes& frame, int channel) {
    std::FILE* f = scratch_stream();
    transcode_frame(frame, channel, f);
    std::fclose(f);
    return read_file(stream_path());
}

TEST(Transcode, HeaderByteBecomesPredictorScale) {
    const std::array<std::array<std::uint8_t, 2>, 5> cases{
        {{0x00, 0x0C}, {0x3C, 0x30}, {0x12, 0x1A}, {0x34, 0x38}, {0xF5, 0xF7}}};
    for (const auto [header, ps] : cases) {
        for (int channel : {0, 1}) {
            SCOPED_TRACE(testing::Message() << "header " << int{header} << " channel " << channel);
            frame_bytes frame{};
            frame[channel] = header;
            frame[1 - channel] = 0x0F;  // the other channel's header, out of range, is not looked at
            EXPECT_EQ(transcode(frame, channel), (bytes{ps, 0, 0, 0, 0, 0, 0, 0, ps, 0, 0, 0, 0, 0, 0, 0}));
        }
    }
}

TEST(Transcode, CodesKeepTheirOrderInTheirChannel) {
    frame_bytes frame{};
    frame[2] = 0xFF;  // bytes 2 and 3 carry nothing
    frame[3] = 0xFF;
    frame[4] = 0xAB;  // samples 0 and 1
    frame[5] = 0xCD;
    frame[18] = 0x71;  // sample 14 opens the second DSP frame
    frame[31] = 0x96;  // sample 27 closes it
    EXPECT_EQ(transcode(frame, 0), (bytes{0x0C, 0xBD, 0, 0, 0, 0, 0, 0, 0x0C, 0x10, 0, 0, 0, 0, 0, 0x06}));
    EXPECT_EQ(transcode(frame, 1), (bytes{0x0C, 0xAC, 0, 0, 0, 0, 0, 0, 0x0C, 0x70, 0, 0, 0, 0, 0, 0x09}));
}

TEST(TranscodeDeathTest, ShiftAboveTwelveWritesNothing) {
    for (const std::uint8_t header : {0x0D, 0x0E, 0x0F, 0x3F}) {
        for (int channel : {0, 1}) {
            frame_bytes frame{};
            frame[channel] = header;
            std::FILE* f = scratch_stream();
            EXPECT_EXIT(transcode_frame(frame, channel, f), testing::ExitedWithCode(1),
                        "^duosplit\\.cpp:" + any_line + ":transcode_frame: scale range\n$");
            EXPECT_TRUE(read_file(stream_path()).empty());
            std::fclose(f);
        }
    }
}

}  // namespace
