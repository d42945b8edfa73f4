// The queues that carry decoded windows from decoding threads to the writing
// thread, and the memory budget they share. One lock guards every queue and
// the budget: a producer waits for room, the consumer for windows. Both are
// woken only when there is enough for them to do, and take the lock as
// seldom as they can: a wake-up, or a lock that the other thread holds,
// costs about as much as copying a window. A producer copies a window
// before it takes the lock, once per window; the consumer takes a batch of
// windows at a time, and gives their memory back a batch at a time.
#include "output_queue.h"

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <vector>

constexpr uint32_t QUEUE_WINDOW_BYTES = 32768;  // the decoder's whole windows
constexpr size_t WAKE_BATCH = 8;                // windows per consumer wake-up
constexpr uint64_t MOST_SPARE_BYTES = 64u << 20;
static_assert(WAKE_BATCH * QUEUE_WINDOW_BYTES <= STREAM_QUEUE_BYTES / 2, "a batch must fit the stream limit");

struct OutputQueue {
    std::deque<OutputChunk> chunks;
    std::deque<OutputChunk> taken;  // the consumer's batch; only it uses them
    uint64_t queued_bytes;   // bytes in `chunks`
    int waiting;             // QUEUE_WAITS, ...
    bool hurried;            // its consumer waits for it to be closed
    bool streamed;           // the consumer writes it out as it fills
    bool cancelled;
    bool gave_up;
    bool closed;
    bool consumer_waiting;
};

namespace {

// Never destroyed: decoding threads may still wait on it while the process
// ends on a fatal error.
struct Shared {
    std::mutex lock;
    std::condition_variable windows_ready;  // a consumer waits here
    std::condition_variable room;           // producers wait here
    uint64_t budget = 64u << 20;
    uint64_t used = 0;  // bytes held by all queues
    int producers_waiting = 0;
    std::vector<uint8_t*> spare;  // whole-window buffers no longer in use
};

Shared& shared()
{
    static Shared* const instance = new Shared;
    return *instance;
}

// Whether `count` more bytes may be queued now; the lock is held. A streamed
// queue that has to wait waits for half of the stream limit, not for one
// window's room, so that it is woken once per batch.
bool has_room(const Shared& s, const OutputQueue& q, uint32_t count, bool after_wait)
{
    if (q.streamed) {
        const uint64_t limit = after_wait ? STREAM_QUEUE_BYTES / 2 : STREAM_QUEUE_BYTES;
        return q.queued_bytes == 0 || q.queued_bytes + count <= limit;
    }
    return s.used + count <= s.budget;
}

// The lock is held.
void free_chunk(Shared& s, OutputChunk chunk)
{
    s.used -= chunk.size;
    // Whole-window buffers are kept for reuse, as many as the budget can
    // hold (up to 64 MiB of them): memory the budget allows anyway, and
    // fresh pages cost a fault each.
    const uint64_t kept = s.budget < MOST_SPARE_BYTES ? s.budget : MOST_SPARE_BYTES;
    if (chunk.size == QUEUE_WINDOW_BYTES && s.spare.size() < kept / QUEUE_WINDOW_BYTES) {
        // Where the list of spares cannot grow, the buffer is simply freed.
        try {
            s.spare.push_back(chunk.data);
            return;
        } catch (const std::bad_alloc&) {
        }
    }
    std::free(chunk.data);
}

// The lock is held.
void wake_producers(Shared& s)
{
    if (s.producers_waiting > 0) s.room.notify_all();
}

void drop_chunks(Shared& s, OutputQueue& q)
{
    for (const OutputChunk& chunk : q.chunks) free_chunk(s, chunk);
    for (const OutputChunk& chunk : q.taken) free_chunk(s, chunk);
    q.chunks.clear();
    q.taken.clear();
    q.queued_bytes = 0;
}

// A whole-window buffer a producer thread holds for its next copy.
thread_local uint8_t* buffer_in_hand = nullptr;
// Chunks the consumer thread wrote and has not yet given back.
thread_local std::vector<OutputChunk> released;

// The lock is held.
void give_back_released(Shared& s)
{
    for (const OutputChunk& chunk : released) free_chunk(s, chunk);
    if (!released.empty()) wake_producers(s);
    released.clear();
}

// Keeps `copy` for the next window where it is one, else frees it.
void put_back(uint8_t* copy, uint32_t count)
{
    if (count == QUEUE_WINDOW_BYTES && buffer_in_hand == nullptr) {
        buffer_in_hand = copy;
    } else {
        std::free(copy);
    }
}

}  // namespace

void set_output_budget(uint64_t bytes)
{
    Shared& s = shared();
    const std::lock_guard<std::mutex> guard(s.lock);
    s.budget = bytes;
}

uint64_t output_budget_free()
{
    Shared& s = shared();
    const std::lock_guard<std::mutex> guard(s.lock);
    return s.used < s.budget ? s.budget - s.used : 0;
}

OutputQueue* create_output_queue(int waiting)
{
    OutputQueue* q = new (std::nothrow) OutputQueue{};
    if (q != nullptr) q->waiting = waiting;
    return q;
}

void destroy_output_queue(OutputQueue* queue)
{
    Shared& s = shared();
    {
        const std::lock_guard<std::mutex> guard(s.lock);
        give_back_released(s);
        drop_chunks(s, *queue);
        wake_producers(s);
    }
    delete queue;
}

int output_queue_write(OutputQueue* queue, const uint8_t* data, uint32_t count)
{
    Shared& s = shared();
    OutputQueue& q = *queue;
    uint8_t* copy = nullptr;
    if (count == QUEUE_WINDOW_BYTES && buffer_in_hand != nullptr) {
        copy = buffer_in_hand;
        buffer_in_hand = nullptr;
    } else {
        copy = static_cast<uint8_t*>(std::malloc(count > 0 ? count : 1));
    }
    if (copy != nullptr) std::memcpy(copy, data, count);

    std::unique_lock<std::mutex> guard(s.lock);
    if (copy == nullptr) q.gave_up = true;
    bool waited = false;
    for (;;) {
        if (q.cancelled || q.gave_up) {
            if (copy != nullptr) put_back(copy, count);
            return -1;
        }
        if (has_room(s, q, count, waited)) break;
        // The budget is held by later files that cannot be written before
        // this one, or this producer is the one who frees it: waiting would
        // never end.
        if ((q.waiting == QUEUE_GIVES_UP_WHEN_HURRIED && q.hurried) || q.waiting == QUEUE_NEVER_WAITS) {
            q.gave_up = true;
            continue;
        }
        s.producers_waiting++;
        s.room.wait(guard);
        s.producers_waiting--;
        waited = true;
    }
    // A queue that cannot grow has run out of memory, as a copy that cannot
    // be made: the write fails, and the queue reports it.
    try {
        q.chunks.push_back(OutputChunk{copy, count});
    } catch (const std::bad_alloc&) {
        q.gave_up = true;
        put_back(copy, count);
        return -1;
    }
    s.used += count;
    q.queued_bytes += count;
    if (buffer_in_hand == nullptr && !s.spare.empty()) {
        buffer_in_hand = s.spare.back();
        s.spare.pop_back();
    }
    if (q.consumer_waiting && q.chunks.size() >= WAKE_BATCH) s.windows_ready.notify_all();
    return static_cast<int>(count);
}

void output_queue_close(OutputQueue* queue)
{
    Shared& s = shared();
    const std::lock_guard<std::mutex> guard(s.lock);
    queue->closed = true;
    if (queue->consumer_waiting) s.windows_ready.notify_all();
}

bool output_queue_gave_up(OutputQueue* queue)
{
    Shared& s = shared();
    const std::lock_guard<std::mutex> guard(s.lock);
    return queue->gave_up;
}

void output_queue_hurry(OutputQueue* queue)
{
    Shared& s = shared();
    const std::lock_guard<std::mutex> guard(s.lock);
    queue->hurried = true;
    wake_producers(s);
}

void output_queue_stream(OutputQueue* queue)
{
    Shared& s = shared();
    const std::lock_guard<std::mutex> guard(s.lock);
    queue->streamed = true;
    wake_producers(s);
}

void output_queue_wait(OutputQueue* queue)
{
    OutputQueue& q = *queue;
    if (!q.taken.empty()) return;
    Shared& s = shared();
    std::unique_lock<std::mutex> guard(s.lock);
    give_back_released(s);
    if (!q.chunks.empty() || q.closed) return;
    // Wait for a batch, or for the last windows.
    q.consumer_waiting = true;
    wake_producers(s);
    s.windows_ready.wait(guard, [&q] { return q.closed || q.chunks.size() >= WAKE_BATCH; });
    q.consumer_waiting = false;
}

int output_queue_poll(OutputQueue* queue, OutputChunk* chunk)
{
    OutputQueue& q = *queue;
    if (q.taken.empty()) {
        Shared& s = shared();
        const std::lock_guard<std::mutex> guard(s.lock);
        give_back_released(s);
        if (q.chunks.empty()) return q.closed ? TAKE_ENDED : TAKE_NOT_YET;
        // Everything queued leaves the queue at once, and makes room for
        // the next while it is written. Its bytes still count against the
        // budget until they are released.
        q.taken.swap(q.chunks);
        q.queued_bytes = 0;
        wake_producers(s);
    }
    *chunk = q.taken.front();
    q.taken.pop_front();
    return TAKE_CHUNK;
}

void output_queue_release(OutputChunk chunk)
{
    Shared& s = shared();
    try {
        released.push_back(chunk);
    } catch (const std::bad_alloc&) {
        // Given back at once instead.
        const std::lock_guard<std::mutex> guard(s.lock);
        free_chunk(s, chunk);
        wake_producers(s);
        return;
    }
    if (released.size() < WAKE_BATCH) return;
    const std::lock_guard<std::mutex> guard(s.lock);
    give_back_released(s);
}

void output_queue_cancel(OutputQueue* queue)
{
    Shared& s = shared();
    const std::lock_guard<std::mutex> guard(s.lock);
    queue->cancelled = true;
    give_back_released(s);
    drop_chunks(s, *queue);
    wake_producers(s);
}
