// Runs kavrelt's decoder over one input through the in-memory descriptors and
// holds every run against zlib's reference and against the other runs: the
// verdict and the bytes must agree however the input arrives, whichever
// build of the code loop runs and whether the windows go to a descriptor or
// to a sink in memory, and a failed read or write fails the file at once.
#include <cstdio>
#include <cstdlib>

#include "codes.h"
#include "decoder_state.h"
#include "fake_io.h"
#include "gzip_decoder.h"
#include "oracle.h"

namespace {

// A Deflate code takes at least one bit, so a match of 258 bytes takes at
// least two (length and distance): no stream yields more per input byte.
constexpr uint64_t MOST_OUTPUT_PER_INPUT_BYTE = 258 * 4;

struct IoFaults {
    uint32_t max_read = 0;       // 0: every read is served in full
    int read_fail_at = 0;        // 1-based read that fails; 0: none
    int write_fault_at = 0;      // 1-based write that fails or falls short; 0: none
    int write_fault_result = 0;  // what that write returns
};

struct DecoderRun {
    int result;
    std::vector<uint8_t> output;
    int64_t mtime;
    int write_calls;
    std::vector<uint32_t> write_sizes;
};

DecoderRun run_decoder(const uint8_t* data, size_t size, const IoFaults& faults,
                       int* read_calls = nullptr)
{
    fake_io_reset();
    const int in = fake_open_input(data, size);
    const int out = fake_open_output();
    fake_file(in)->max_read = faults.max_read;
    fake_file(in)->read_fail_at = faults.read_fail_at;
    fake_file(out)->write_fault_at = faults.write_fault_at;
    fake_file(out)->write_fault_result = faults.write_fault_result;
    DecoderRun run{};
    run.result = unzip_stream(in, out);
    run.mtime = member_mtime();
    run.output = fake_file(out)->output;
    run.write_calls = fake_file(out)->write_calls;
    run.write_sizes = fake_file(out)->write_sizes;
    if (read_calls != nullptr) *read_calls = fake_file(in)->read_calls;
    fake_io_reset();
    return run;
}

[[noreturn]] void mismatch(const char* how, const char* what)
{
    std::fprintf(stderr, "MISMATCH (%s): %s\n", how, what);
    std::abort();
}

bool starts_with(const std::vector<uint8_t>& whole, const std::vector<uint8_t>& part, size_t count)
{
    if (whole.size() < count || part.size() < count) return false;
    for (size_t i = 0; i < count; i++)
        if (whole[i] != part[i]) return false;
    return true;
}

// The checks every run must pass against zlib's reading of the same bytes.
void expect_reference(const DecoderRun& run, const Reference& ref, size_t input_size, const char* how)
{
    if (run.result != 0 && run.result != -1) mismatch(how, "result is neither 0 nor -1");
    for (const uint32_t size : run.write_sizes)
        if (size == 0 || size > WINDOW_SEGMENTS * WINDOW_SIZE)
            mismatch(how, "a write is empty or larger than the output area");
    if (run.output.size() > MOST_OUTPUT_PER_INPUT_BYTE * input_size)
        mismatch(how, "more output than the input can encode: decoding went on past the input");
    if ((run.result == 0) != ref.ok)
        mismatch(how, ref.ok ? "zlib accepts, the decoder refuses" : "zlib refuses, the decoder accepts");
    if (run.result == 0 && ref.ok) {
        if (run.output != ref.output) mismatch(how, "output differs from zlib's");
        if (run.mtime != ref.mtime) mismatch(how, "modification time differs from the header's");
        return;
    }
    // Both refused: the bytes both produced before stopping must agree.
    const size_t common = run.output.size() < ref.output.size() ? run.output.size() : ref.output.size();
    if (!starts_with(run.output, ref.output, common)) mismatch(how, "output differs from zlib's");
}

int write_to_run(void* context, const uint8_t* data, uint32_t count)
{
    DecoderRun& run = *static_cast<DecoderRun*>(context);
    run.output.insert(run.output.end(), data, data + count);
    run.write_sizes.push_back(count);
    return static_cast<int>(count);
}

// The same run with the windows handed to a sink in memory, as a decoding
// thread does.
DecoderRun run_decoder_to_sink(const uint8_t* data, size_t size)
{
    fake_io_reset();
    const int in = fake_open_input(data, size);
    DecoderRun run{};
    const WindowSink sink = {write_to_run, &run};
    run.result = unzip_to_sink(in, &sink);
    run.mtime = member_mtime();
    run.write_calls = static_cast<int>(run.write_sizes.size());
    fake_io_reset();
    return run;
}

void expect_same_run(const DecoderRun& a, const DecoderRun& b, const char* how)
{
    if (a.result != b.result) mismatch(how, "verdict depends on how the input is read");
    if (a.output != b.output) mismatch(how, "output depends on how the input is read");
}

uint32_t hash_of(const uint8_t* data, size_t size)
{
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < size; i++) h = (h ^ data[i]) * 16777619u;
    return h;
}

// A read size that cuts the input into pieces at awkward places, kept large
// enough that a big input does not take a million reads.
uint32_t pick_read_size(uint32_t h, size_t size)
{
    static constexpr uint32_t sizes[] = {1, 2, 3, 5, 7, 8, 9, 15, 16, 17, 63, 100, 4095, 32767};
    uint32_t pick = sizes[h % (sizeof sizes / sizeof sizes[0])];
    while (size / pick > 20000) pick = pick * 4 + 1;
    return pick;
}

}  // namespace

std::vector<uint8_t> decoder_output(const uint8_t* data, size_t size)
{
    return run_decoder(data, size, IoFaults{}).output;
}

void check_decoder(const uint8_t* data, size_t size)
{
    const Reference ref = reference_unzip(data, size);
    const uint32_t h = hash_of(data, size);

    const DecoderRun whole = run_decoder(data, size, IoFaults{});
    expect_reference(whole, ref, size, "reads of whole chunks");

    // Short reads run the plain build of the code loop, so that both builds
    // meet every input.
    IoFaults short_reads;
    short_reads.max_read = pick_read_size(h, size);
    use_plain_code_loop(true);
    const DecoderRun plain = run_decoder(data, size, short_reads);
    use_plain_code_loop(false);
    expect_same_run(whole, plain, "short reads, plain code loop");

    const DecoderRun queued = run_decoder_to_sink(data, size);
    expect_same_run(whole, queued, "windows to a sink");
    for (const uint32_t size : queued.write_sizes)
        if (size == 0 || size > WINDOW_SIZE) mismatch("windows to a sink", "a window is empty or larger than 32768 bytes");
    if (queued.result == 0 && queued.mtime != whole.mtime) mismatch("windows to a sink", "modification time differs");

    // A failed read fails the file (the bytes behind it may hold more
    // members); up to it the decoder must read the delivered bytes as zlib
    // reads that prefix. A decoder done before that read is not affected.
    IoFaults failed_read;
    failed_read.max_read = pick_read_size(h >> 8, size);
    failed_read.read_fail_at = 1 + static_cast<int>((h >> 16) % 6);
    const uint64_t delivered = uint64_t{failed_read.max_read} * (failed_read.read_fail_at - 1);
    const size_t prefix = delivered < size ? static_cast<size_t>(delivered) : size;
    int read_calls = 0;
    const DecoderRun cut = run_decoder(data, size, failed_read, &read_calls);
    Reference expected = reference_unzip(data, prefix);
    if (read_calls >= failed_read.read_fail_at) expected.ok = false;
    char how[96];
    std::snprintf(how, sizeof how, "reads of %u bytes, read %d fails, %zu bytes delivered",
                  failed_read.max_read, failed_read.read_fail_at, prefix);
    expect_reference(cut, expected, prefix, how);

    if (whole.write_calls == 0) return;
    // A write that fails or falls short ends the file as failed, and nothing
    // is written after it.
    IoFaults failed_write;
    failed_write.write_fault_at = 1 + static_cast<int>((h >> 4) % whole.write_calls);
    const uint32_t asked = whole.write_sizes[failed_write.write_fault_at - 1];
    failed_write.write_fault_result = (h & 1) ? -1 : static_cast<int>((h >> 12) % asked);
    const DecoderRun broken = run_decoder(data, size, failed_write);
    if (broken.result != -1) mismatch("failed write", "a file whose write failed is reported good");
    if (broken.write_calls != failed_write.write_fault_at) mismatch("failed write", "wrote on after a failed write");
    if (!starts_with(whole.output, broken.output, broken.output.size()))
        mismatch("failed write", "output before the failed write differs");
}
