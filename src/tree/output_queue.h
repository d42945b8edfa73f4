// Decoded output on its way from a decoding thread to the thread that writes
// it: the decoder's windows queue up in memory, in the order and sizes the
// decoder would have written them to a descriptor. All queues of a run share
// one memory budget. A queue has one producer thread, which writes and
// closes it, and one consumer thread, which takes its windows; either may
// hurry, stream, cancel, create or destroy it, as said below. Each thread
// keeps a little of its own besides (a window buffer in hand, the chunks it
// has released): the state shared between threads is guarded inside. None
// prints or ends the process.
#pragma once

#include <cstdint>

struct OutputQueue;  // opaque; owned by whoever created it

// One window as the decoder handed it over.
struct OutputChunk {
    uint8_t* data;
    uint32_t size;
};

// Bytes of decoded data all queues together may hold while nobody writes
// them out. A queue being written out (see output_queue_stream) may add at
// most STREAM_QUEUE_BYTES beyond it, plus the batch being written.
void set_output_budget(uint64_t bytes);
// Bytes of the budget no queue holds now.
uint64_t output_budget_free();
constexpr uint32_t STREAM_QUEUE_BYTES = 1u << 20;

// How a queue's producer meets a spent budget:
// QUEUE_WAITS: it waits for room.
// QUEUE_GIVES_UP_WHEN_HURRIED: its consumer will wait for it to be closed
//   before taking anything; once hurried (output_queue_hurry), a write that
//   finds no room fails instead of waiting.
// QUEUE_NEVER_WAITS: a write that finds no room fails (the producer is the
//   thread that frees the budget: it must never wait for room).
constexpr int QUEUE_WAITS = 0;
constexpr int QUEUE_GIVES_UP_WHEN_HURRIED = 1;
constexpr int QUEUE_NEVER_WAITS = 2;

// A new, empty queue. Returns null when out of memory.
OutputQueue* create_output_queue(int waiting);
// Releases the queue and whatever it still holds. Only once its producer has
// closed it, or never started.
void destroy_output_queue(OutputQueue* queue);

// Producer side. Appends a copy of `count` bytes, waiting while the budget
// (or, once streamed, the stream limit) leaves no room. Returns `count`, or
// -1 when the queue was cancelled, gave up for want of room, or memory ran
// out (for the copy or for the queue's own bookkeeping); every later write
// then fails too.
int output_queue_write(OutputQueue* queue, const uint8_t* data, uint32_t count);
// No more writes will come.
void output_queue_close(OutputQueue* queue);
// True once a write failed because the queue gave up or ran out of memory
// (not because it was cancelled).
bool output_queue_gave_up(OutputQueue* queue);

// Consumer side: one thread takes the queue's windows. The consumer now
// waits for the queue to be closed; see create_output_queue.
void output_queue_hurry(OutputQueue* queue);
// From now on the consumer writes the queue out as it fills,
// so its producer waits only for the stream limit, no longer for the budget.
void output_queue_stream(OutputQueue* queue);
// Waits until a batch of chunks is queued or the producer closed the queue;
// returns at once when a chunk is there to take.
void output_queue_wait(OutputQueue* queue);
// Takes the next chunk if one is queued, without waiting: TAKE_CHUNK,
// TAKE_NOT_YET when the producer has not delivered it yet, TAKE_ENDED when
// the queue is closed and every chunk was taken.
constexpr int TAKE_CHUNK = 1;
constexpr int TAKE_NOT_YET = 0;
constexpr int TAKE_ENDED = -1;
int output_queue_poll(OutputQueue* queue, OutputChunk* chunk);
// Gives a taken chunk's memory back to the budget (a few chunks at a time,
// on this thread's next release, poll, wait, cancel or destroy). Any thread
// that took a chunk.
void output_queue_release(OutputChunk chunk);
// Makes every further write fail and drops what is queued.
void output_queue_cancel(OutputQueue* queue);
