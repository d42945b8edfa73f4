// The queues that carry decoded windows from decoding threads to the writing
// thread, and the memory budget they share. One lock guards every queue and
// the budget: a producer waits for room, the consumer for the next window.
#include "output_queue.h"

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>

struct OutputQueue {
    std::deque<OutputChunk> chunks;
    uint64_t queued_bytes;   // bytes in `chunks`
    bool may_give_up;
    bool hurried;            // its consumer waits for it to be closed
    bool streamed;           // the consumer writes it out as it fills
    bool cancelled;
    bool gave_up;
    bool closed;
};

namespace {

// Never destroyed: decoding threads may still wait on it while the process
// ends on a fatal error.
struct Shared {
    std::mutex lock;
    std::condition_variable changed;
    uint64_t budget = 64u << 20;
    uint64_t used = 0;  // bytes held by all queues
};

Shared& shared()
{
    static Shared* const instance = new Shared;
    return *instance;
}

// Whether `count` more bytes may be queued now; the lock is held.
bool has_room(const Shared& s, const OutputQueue& q, uint32_t count)
{
    if (q.streamed) return q.queued_bytes == 0 || q.queued_bytes + count <= STREAM_QUEUE_BYTES;
    return s.used + count <= s.budget;
}

void drop_chunks(Shared& s, OutputQueue& q)
{
    for (const OutputChunk& chunk : q.chunks) {
        s.used -= chunk.size;
        std::free(chunk.data);
    }
    q.chunks.clear();
    q.queued_bytes = 0;
}

}  // namespace

void set_output_budget(uint64_t bytes)
{
    Shared& s = shared();
    const std::lock_guard<std::mutex> guard(s.lock);
    s.budget = bytes;
}

OutputQueue* create_output_queue(bool may_give_up)
{
    OutputQueue* q = new (std::nothrow) OutputQueue{};
    if (q != nullptr) q->may_give_up = may_give_up;
    return q;
}

void destroy_output_queue(OutputQueue* queue)
{
    Shared& s = shared();
    {
        const std::lock_guard<std::mutex> guard(s.lock);
        drop_chunks(s, *queue);
    }
    s.changed.notify_all();
    delete queue;
}

int output_queue_write(OutputQueue* queue, const uint8_t* data, uint32_t count)
{
    Shared& s = shared();
    OutputQueue& q = *queue;
    {
        std::unique_lock<std::mutex> guard(s.lock);
        for (;;) {
            if (q.cancelled || q.gave_up) return -1;
            if (has_room(s, q, count)) break;
            // The budget is held by later files that cannot be written before
            // this one: waiting would never end.
            if (q.may_give_up && q.hurried) {
                q.gave_up = true;
                return -1;
            }
            s.changed.wait(guard);
        }
        // Counted before the copy, so that no other producer takes the room.
        s.used += count;
        q.queued_bytes += count;
    }
    auto* const copy = static_cast<uint8_t*>(std::malloc(count > 0 ? count : 1));
    if (copy != nullptr) std::memcpy(copy, data, count);
    {
        const std::lock_guard<std::mutex> guard(s.lock);
        if (copy == nullptr || q.cancelled) {
            s.used -= count;
            q.queued_bytes -= count;
            if (copy == nullptr) q.gave_up = true;
            std::free(copy);
        } else {
            q.chunks.push_back(OutputChunk{copy, count});
        }
    }
    s.changed.notify_all();
    return copy != nullptr && !q.cancelled ? static_cast<int>(count) : -1;
}

void output_queue_close(OutputQueue* queue)
{
    Shared& s = shared();
    {
        const std::lock_guard<std::mutex> guard(s.lock);
        queue->closed = true;
    }
    s.changed.notify_all();
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
    {
        const std::lock_guard<std::mutex> guard(s.lock);
        queue->hurried = true;
    }
    s.changed.notify_all();
}

void output_queue_stream(OutputQueue* queue)
{
    Shared& s = shared();
    {
        const std::lock_guard<std::mutex> guard(s.lock);
        queue->streamed = true;
    }
    s.changed.notify_all();
}

bool output_queue_take(OutputQueue* queue, OutputChunk* chunk)
{
    Shared& s = shared();
    OutputQueue& q = *queue;
    std::unique_lock<std::mutex> guard(s.lock);
    s.changed.wait(guard, [&q] { return !q.chunks.empty() || q.closed; });
    if (q.chunks.empty()) return false;
    *chunk = q.chunks.front();
    q.chunks.pop_front();
    q.queued_bytes -= chunk->size;
    // The chunk's bytes still count against the budget until released.
    return true;
}

void output_queue_release(OutputChunk chunk)
{
    Shared& s = shared();
    {
        const std::lock_guard<std::mutex> guard(s.lock);
        s.used -= chunk.size;
    }
    std::free(chunk.data);
    s.changed.notify_all();
}

void output_queue_cancel(OutputQueue* queue)
{
    Shared& s = shared();
    {
        const std::lock_guard<std::mutex> guard(s.lock);
        queue->cancelled = true;
        drop_chunks(s, *queue);
    }
    s.changed.notify_all();
}
