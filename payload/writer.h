// The parent's writer thread: it writes and closes the files that the archive walk opens, from
// a small ring of decoded slots, so that decoding the next bytes overlaps writing the last ones.
#ifndef VELDRA_PAYLOAD_WRITER_H
#define VELDRA_PAYLOAD_WRITER_H

#include "os/win_calls.h"

// Eight slots of 128 KiB: the memory of a run is the decoder's window plus this one MiB.
enum { writer_slot_size = 131072, writer_slot_count = 8 };

// Readies the writer for a walk: waits for an earlier walk's jobs, forgets its failure, and
// takes the flag of a console stop, after which nothing more is written. The thread itself is
// started by the first writer_claim, so a child, which writes nothing, never starts one.
void writer_begin(const volatile bool* stop_flag);
// A free slot of writer_slot_size bytes for the walk to fill, waiting while all are queued.
// Where no thread can be started, jobs run on the calling thread in writer_submit instead.
unsigned char* writer_claim();
// Queues the slot that the last writer_claim gave: `size` bytes for `file`, written in chunks of
// at most copy_chunk_size, then the file closed when `close_after` is set. After a failure or a
// console stop the writer writes nothing more, but still closes the files it is given.
void writer_submit(HANDLE file, DWORD size, bool close_after);
// Whether a write or a close has failed; writer_failure_code gives the first failure's code.
bool writer_failed();
DWORD writer_failure_code();
// Waits until every queued job is done.
void writer_wait_idle();
// Waits until every queued job is done and ends the run with the write line if one failed:
// what the walk runs before any stop of its own, so that the failure that came first is the one
// reported, as when each chunk was written before the next was decoded.
void writer_settle();
// Waits for the queue, then ends the thread.
void writer_end();

#endif
