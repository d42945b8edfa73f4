// The gzip member reader: header fields and flags, modification time,
// trailer checks (CRC-32 and length), concatenated members, what may follow
// the last member, and the zero-filled window of each member.
#include <gtest/gtest.h>

#include <algorithm>

#include "bit_writer.h"
#include "decode_harness.h"

namespace {

std::vector<uint8_t> fixed_deflate(const std::vector<uint8_t>& literals)
{
    BitWriter w;
    put_fixed_block(w, true, literals);
    return finish_bits(w);
}

std::vector<uint8_t> member_of(const std::string& text)
{
    return frame_gzip_member(fixed_deflate(bytes_of(text)), bytes_of(text));
}

// A member whose header carries `flags` and `fields` (the optional fields as
// they are stored), holding `text`.
std::vector<uint8_t> member_with_fields(uint8_t flags, const std::vector<uint8_t>& fields,
                                        const std::string& text)
{
    std::vector<uint8_t> m = concat(gzip_header(flags), fields);
    m = concat(m, fixed_deflate(bytes_of(text)));
    return concat(m, gzip_trailer(bytes_of(text)));
}

}  // namespace

TEST(GzipMember, MinimalMemberWritesNothing)
{
    const UnzipRun run = run_unzip(member_of(""));
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.write_calls, 0);
}

TEST(GzipMember, TrailerMustMatchCrcAndLength)
{
    std::vector<uint8_t> m = member_of("hello");
    EXPECT_EQ(run_unzip(m).result, 0);

    std::vector<uint8_t> bad_crc = m;
    bad_crc[bad_crc.size() - 8] ^= 1;
    UnzipRun run = run_unzip(bad_crc);
    EXPECT_EQ(run.result, -1) << "a wrong CRC-32 with the right length fails";

    std::vector<uint8_t> bad_size = m;
    bad_size[bad_size.size() - 4]++;
    run = run_unzip(bad_size);
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(run.output, bytes_of("hello")) << "the output was written before the check";
}

TEST(GzipMember, WrongMagicOrMethodWritesNothing)
{
    for (size_t at : {size_t{0}, size_t{1}, size_t{2}}) {
        std::vector<uint8_t> m = member_of("abc");
        m[at] = at == 2 ? 9 : m[at] ^ 0x40;
        const UnzipRun run = run_unzip(m);
        EXPECT_EQ(run.result, -1) << at;
        EXPECT_EQ(run.write_calls, 0);
    }
}

TEST(GzipMember, OptionalFieldsAreSkippedInTheirStoredOrder)
{
    const std::vector<uint8_t> extra = {4, 0, 'a', 'b', 'c', 'd'};
    const std::vector<uint8_t> name = bytes_of(std::string("hello", 6));      // with its 0
    const std::vector<uint8_t> comment = bytes_of(std::string("note", 5));
    const std::vector<uint8_t> header_crc = {0x12, 0x34};
    struct Case {
        uint8_t flags;
        std::vector<uint8_t> fields;
    };
    const Case cases[] = {
        {0x08, name},
        {0x10, comment},
        {0x04, {0, 0}},  // XLEN 0
        {0x04, extra},
        {0x02, header_crc},
        {0x06, concat(extra, header_crc)},
        {0x0A, concat(name, header_crc)},
        {0x1E, concat(concat(concat(extra, name), comment), header_crc)},
        {0x1C, concat(concat(extra, name), comment)},
        {0xE1, {}},  // text flag and reserved bits change nothing
    };
    for (const Case& c : cases) {
        const UnzipRun run = run_unzip(member_with_fields(c.flags, c.fields, "body"));
        EXPECT_EQ(run.result, 0) << "flags " << int{c.flags};
        EXPECT_EQ(run.output, bytes_of("body")) << "flags " << int{c.flags};
    }
}

TEST(GzipMember, ExtraFieldOfMaximumLength)
{
    std::vector<uint8_t> extra = {0xFF, 0xFF};
    const std::vector<uint8_t> payload = random_bytes(65535, 3);
    extra = concat(extra, payload);
    const UnzipRun run = run_unzip(member_with_fields(0x04, extra, "after"));
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.output, bytes_of("after"));
}

TEST(GzipMember, ModificationTimeIsSignExtended)
{
    const struct {
        uint32_t stored;
        int64_t expected;
    } cases[] = {{0, 0}, {0x80000000u, -2147483648LL}, {0x7FFFFFFFu, 2147483647LL}, {1234567890u, 1234567890LL}};
    for (const auto& c : cases) {
        std::vector<uint8_t> m = member_of("t");
        const std::vector<uint8_t> h = gzip_header(0, c.stored);
        std::copy(h.begin(), h.end(), m.begin());
        const UnzipRun run = run_unzip(m);
        ASSERT_EQ(run.result, 0);
        EXPECT_EQ(run.mtime, c.expected);
    }
}

TEST(ConcatenatedMembers, AllAreDecodedIntoOneOutput)
{
    std::vector<uint8_t> first = member_of("first,");
    const std::vector<uint8_t> h = gzip_header(0, 1000);
    std::copy(h.begin(), h.end(), first.begin());
    std::vector<uint8_t> second = member_of("second");
    const std::vector<uint8_t> h2 = gzip_header(0, 2000);
    std::copy(h2.begin(), h2.end(), second.begin());
    const std::vector<uint8_t> file = concat(concat(first, member_of("")), second);
    const UnzipRun run = run_unzip(file);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.output, bytes_of("first,second"));
    EXPECT_EQ(run.mtime, 1000) << "the first member's time";
}

TEST(ConcatenatedMembers, EachMemberIsCheckedOnItsOwn)
{
    std::vector<uint8_t> second = member_of("two");
    second[second.size() - 7] ^= 0x10;  // CRC-32 of the second member
    EXPECT_EQ(run_unzip(concat(member_of("one"), second)).result, -1);

    // Trailers swapped: each total would match, each member does not.
    std::vector<uint8_t> a = member_of("aaaa");
    std::vector<uint8_t> b = member_of("bbbb");
    std::swap_ranges(a.end() - 8, a.end(), b.end() - 8);
    EXPECT_EQ(run_unzip(concat(a, b)).result, -1);

    std::vector<uint8_t> cut = member_of("three");
    cut.resize(cut.size() - 1);
    EXPECT_EQ(run_unzip(concat(member_of("one"), cut)).result, -1);
    EXPECT_EQ(run_unzip(concat(member_of("one"), {0x1F, 0x8B})).result, -1)
        << "a magic is a member, however short";
}

TEST(ConcatenatedMembers, OtherBytesAfterAMemberAreIgnored)
{
    const std::vector<std::vector<uint8_t>> tails = {
        {}, {0}, std::vector<uint8_t>(100, 0), {0x1F}, {0x1F, 0x8C, 8}, bytes_of("trailing junk\n")};
    for (const std::vector<uint8_t>& tail : tails) {
        const UnzipRun run = run_unzip(concat(member_of("kept"), tail));
        EXPECT_EQ(run.result, 0) << "tail of " << tail.size() << " bytes";
        EXPECT_EQ(run.output, bytes_of("kept"));
    }
}

// A back-reference before a member's first byte reads zeros: never bytes of
// an earlier member or an earlier file.
TEST(GzipMember, HistoryBeforeTheFirstByteIsZero)
{
    const Code lit = fixed_literal_code();
    const Code dist = fixed_distance_code();
    BitWriter w;
    put_block_header(w, true, 1);
    put_length(w, lit, 5);
    put_distance(w, dist, 300);
    put_symbol(w, lit, 256);
    const std::vector<uint8_t> zeros(5, 0);
    const std::vector<uint8_t> reaching = frame_gzip_member(finish_bits(w), zeros);

    const std::vector<uint8_t> filler = random_bytes(1000, 4);
    const std::vector<uint8_t> first = zlib_gzip_bytes(filler, 6, 0);
    run_unzip(first);
    UnzipRun run = run_unzip(reaching);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.output, zeros);

    run = run_unzip(concat(first, reaching));
    EXPECT_EQ(run.result, 0) << "the second member starts from a cleared window";
    EXPECT_EQ(run.output, concat(filler, zeros));
}
