// A queue's windows leave for the output in batches of up to
// WRITE_BUFFERS_MOST, each in one gathered write: fewer calls than a window
// at a time, and the memory goes back to the budget as soon as it is written.
#include "queue_writer.h"

#include <cstdint>

#include "output_queue.h"
#include "platform.h"

void write_ready_windows(QueueWriter* writer)
{
    if (writer->ended || writer->failed) return;
    WriteBuffer buffers[WRITE_BUFFERS_MOST];
    OutputChunk chunks[WRITE_BUFFERS_MOST];
    for (;;) {
        int count = 0;
        uint64_t asked = 0;
        int taken = TAKE_NOT_YET;
        while (count < WRITE_BUFFERS_MOST && (taken = output_queue_poll(writer->queue, &chunks[count])) == TAKE_CHUNK) {
            buffers[count] = WriteBuffer{chunks[count].data, chunks[count].size};
            asked += chunks[count].size;
            count++;
        }
        if (count > 0) {
            const int64_t written = platform_write_gather(writer->output, buffers, count);
            for (int i = 0; i < count; ++i) output_queue_release(chunks[i]);
            if (written < 0 || static_cast<uint64_t>(written) != asked) {
                // Nothing more may reach the output: it would follow a gap.
                writer->failed = true;
                output_queue_cancel(writer->queue);
                return;
            }
        }
        if (taken == TAKE_ENDED) writer->ended = true;
        if (taken != TAKE_CHUNK) return;
    }
}
