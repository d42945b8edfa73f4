// Writing a queue of decoded windows out to an output's descriptor as the
// windows come, several at a time: what the walk does with the data a
// decoding thread delivers, also between the windows it decodes itself.
// Only the thread that writes the output (the walk's) calls this.
#pragma once

struct OutputQueue;

struct QueueWriter {
    OutputQueue* queue;
    int output;
    bool ended;   // every window of the queue was written
    bool failed;  // a write failed or fell short: nothing more is written
};

// Writes the windows the queue holds now, in one gathered write per batch,
// and releases them. Never waits for more. A write that fails or falls
// short sets `failed` and cancels the queue, as a failed write ends the
// decoder's own writing; once the queue is closed and empty, `ended` is set.
void write_ready_windows(QueueWriter* writer);
