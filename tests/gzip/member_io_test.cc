// How a member meets its descriptors: reads of whole chunks, writes of whole
// windows a full output area at a time plus one for the rest, input served a byte at a time or cut at
// any chunk boundary, and reads or writes that fail part-way.
#include <gtest/gtest.h>

#include <algorithm>

#include "bit_writer.h"
#include "decode_harness.h"
#include "decoder_state.h"

namespace {

// One final stored block holding `data`: its compressed size is data + 23.
std::vector<uint8_t> stored_member(const std::vector<uint8_t>& data)
{
    BitWriter w;
    put_stored_block(w, true, data);
    return frame_gzip_member(finish_bits(w), data);
}

}  // namespace

TEST(MemberIo, EmptyInputFailsWithoutWriting)
{
    const UnzipRun run = run_unzip({});
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(run.read_calls, 1);
    EXPECT_EQ(run.write_calls, 0);
}

TEST(MemberIo, WritesWholeOutputAreasAndOneFinalPart)
{
    const size_t area = WINDOW_SEGMENTS * WINDOW_SIZE;
    for (size_t size : {size_t{0}, size_t{1}, size_t{32768}, size_t{65537}, area, 2 * area + 32773}) {
        const std::vector<uint8_t> data = random_bytes(size, static_cast<uint32_t>(size));
        const UnzipRun run = run_unzip(zlib_gzip_bytes(data, 1, 0));
        ASSERT_EQ(run.result, 0) << size;
        EXPECT_TRUE(run.output == data) << size;
        std::vector<uint32_t> expected(size / area, static_cast<uint32_t>(area));
        if (size % area != 0) expected.push_back(static_cast<uint32_t>(size % area));
        EXPECT_EQ(run.write_sizes, expected) << size;
    }
}

TEST(MemberIo, EveryReadAsksForAWholeChunk)
{
    const std::vector<uint8_t> data = random_bytes(200000, 1);
    const UnzipRun run = run_unzip(zlib_gzip_bytes(data, 0, 0));
    ASSERT_EQ(run.result, 0);
    const size_t compressed = zlib_gzip_bytes(data, 0, 0).size();
    EXPECT_EQ(static_cast<size_t>(run.read_calls), compressed / INPUT_CHUNK + 2)
        << "one read per chunk, the last partial one, and the one that finds the end";
    for (uint32_t size : run.read_sizes) EXPECT_EQ(size, INPUT_CHUNK);
}

// The member ends exactly at the end of the first read: its trailer comes from
// that read, and the only other read is the one that finds no next member.
TEST(MemberIo, MemberFillingExactlyOneChunk)
{
    // Stored blocks hold at most 65535 bytes: several fill the chunk.
    size_t blocks = 1;
    while (INPUT_CHUNK - 18 - 5 * blocks > 65535 * blocks) blocks++;
    const std::vector<uint8_t> data = random_bytes(INPUT_CHUNK - 18 - 5 * blocks, 2);
    BitWriter w;
    for (size_t at = 0; at < data.size(); at += 65535) {
        const size_t end = std::min(data.size(), at + 65535);
        put_stored_block(w, end == data.size(), std::vector<uint8_t>(data.begin() + at, data.begin() + end));
    }
    const std::vector<uint8_t> member = frame_gzip_member(finish_bits(w), data);
    ASSERT_EQ(member.size(), INPUT_CHUNK);
    UnzipRun run = run_unzip(member);
    EXPECT_EQ(run.result, 0);
    EXPECT_TRUE(run.output == data);
    EXPECT_EQ(run.read_calls, 2);

    std::vector<uint8_t> short_member = member;
    short_member.pop_back();
    run = run_unzip(short_member);
    EXPECT_EQ(run.result, -1) << "the last trailer byte is missing";
    uint64_t asked = 0;
    for (uint32_t size : run.write_sizes) asked += size;
    EXPECT_EQ(asked, data.size()) << "the end found in the trailer writes nothing more";
}

// Reads that return at most n bytes put chunk boundaries everywhere,
// including inside the last bytes of Deflate data and the trailer.
TEST(MemberIo, ShortReadsOfEverySizeGiveTheSameOutput)
{
    const std::vector<uint8_t> data = concat(bytes_of("a short text, a short text, a short text"),
                                             random_bytes(40, 3));
    for (int level : {0, 1, 9}) {
        const std::vector<uint8_t> file = concat(zlib_gzip_bytes(data, level, 0), zlib_gzip_bytes(data, level, 0));
        for (uint32_t n = 1; n <= file.size(); n++) {
            IoKnobs knobs;
            knobs.max_read = n;
            const UnzipRun run = run_unzip(file, knobs);
            ASSERT_EQ(run.result, 0) << "level " << level << " reads of " << n;
            ASSERT_EQ(run.output, concat(data, data)) << "level " << level << " reads of " << n;
        }
    }
}

TEST(MemberIo, OneByteReadsOfALargeMember)
{
    const std::vector<uint8_t> data = text_bytes(300000, 4);
    IoKnobs knobs;
    knobs.max_read = 1;
    const std::vector<uint8_t> file = zlib_gzip_bytes(data, 6, 0);
    const UnzipRun run = run_unzip(file, knobs);
    EXPECT_EQ(run.result, 0);
    EXPECT_TRUE(run.output == data);
    EXPECT_EQ(static_cast<size_t>(run.read_calls), file.size() + 1);
}

TEST(MemberIo, FailedReadEndsTheMember)
{
    const std::vector<uint8_t> data = random_bytes(300000, 5);
    IoKnobs knobs;
    knobs.read_fail_at = 3;
    const UnzipRun run = run_unzip(zlib_gzip_bytes(data, 0, 0), knobs);
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(run.read_calls, 3) << "no read after the failed one";
    EXPECT_EQ(run.output.size() % 32768, 0u) << "only whole windows reach the output";
    EXPECT_TRUE(std::equal(run.output.begin(), run.output.end(), data.begin()));
}

// A read error where a next member could start is not the end of the file:
// members after it would be lost while the file counted as good.
TEST(MemberIo, FailedReadAfterAGoodMemberFailsTheFile)
{
    const std::vector<uint8_t> data = bytes_of("the first member");
    const std::vector<uint8_t> file = concat(stored_member(data), stored_member(data));
    IoKnobs knobs;
    knobs.max_read = static_cast<uint32_t>(stored_member(data).size());
    knobs.read_fail_at = 2;
    EXPECT_EQ(run_unzip(file, knobs).result, -1);
    knobs.read_fail_at = 0;
    EXPECT_EQ(run_unzip(file, knobs).result, 0);
}

TEST(MemberIo, ShortOrFailedWriteEndsTheMember)
{
    const std::vector<uint8_t> data = random_bytes(300000, 6);
    const std::vector<uint8_t> file = zlib_gzip_bytes(data, 0, 0);
    for (int result : {-1, 0, 1000, 32767}) {
        IoKnobs knobs;
        knobs.write_fault_at = 2;
        knobs.write_fault_result = result;
        const UnzipRun run = run_unzip(file, knobs);
        EXPECT_EQ(run.result, -1) << result;
        EXPECT_EQ(run.write_calls, 2) << "no write after the failed one";
        EXPECT_LE(run.read_calls, 4) << "no reads long after the failed write";
    }
}

// The last write falls short while the trailer is already in memory and its
// length would match: the member still fails.
TEST(MemberIo, ShortFinalWriteFailsEvenWhenTheTrailerMatches)
{
    const std::vector<uint8_t> data = random_bytes(5000, 7);
    const std::vector<uint8_t> file = stored_member(data);
    for (int result : {-1, 1000, 4999}) {
        IoKnobs knobs;
        knobs.write_fault_at = 1;
        knobs.write_fault_result = result;
        const UnzipRun run = run_unzip(file, knobs);
        EXPECT_EQ(run.result, -1) << result;
        EXPECT_EQ(run.write_calls, 1);
    }
    IoKnobs second_member;
    second_member.write_fault_at = 2;
    second_member.write_fault_result = 10;
    EXPECT_EQ(run_unzip(concat(file, file), second_member).result, -1);
}
