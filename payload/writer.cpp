// A ring of slots between the walk (the only producer) and the writer thread (the only
// consumer). The count of queued slots is an interlocked counter; a thread asks the system to
// wait only when it has to, after saying so in its sleeping flag, and the other side sets its
// event only when that flag is up. Under Wine every wait and every signal is a round trip to
// the server, so the walk wakes a sleeping writer only once several slots are ready.
#include "payload/writer.h"

#include "launcher/fatal.h"
#include "payload/extract.h"

struct writer_job {
    HANDLE file;
    DWORD size;
    bool close_after;
    bool quit;
};

static unsigned char writer_slots[writer_slot_count][writer_slot_size];
static writer_job writer_jobs[writer_slot_count];
static int writer_head;  // the walk's
static int writer_tail;  // the writer's
static volatile LONG writer_queued;
static volatile LONG writer_sleeping;
static volatile LONG walk_sleeping;
static HANDLE writer_thread;
static HANDLE writer_work_event;
static HANDLE writer_space_event;
// Set when no thread could be started: jobs then run inline, one slot at a time.
static bool writer_inline;
static const volatile bool* writer_stop_flag;
static volatile bool writer_has_failed;
static volatile DWORD writer_first_failure;

// A sleeping writer is woken once this many slots wait, or when the walk waits for it.
static const LONG writer_wake_batch = writer_slot_count / 2;
// The thread's stack holds only a few frames of system calls.
static const SIZE_T writer_stack_size = 262144;

static LONG queued_now()
{
    return InterlockedCompareExchange(&writer_queued, 0, 0);
}

static void record_failure(DWORD code)
{
    if (!writer_has_failed) {
        writer_first_failure = code;
        writer_has_failed = true;
    }
}

static bool stopping()
{
    return writer_stop_flag != nullptr && *writer_stop_flag;
}

// A write that succeeds with fewer bytes than asked (a volume that fills up in the middle of a
// chunk) is continued with the rest, so that the shortage shows as the failure it is instead of
// a short file; one that succeeds without writing anything is taken for a failed write.
static void write_chunk(HANDLE file, const unsigned char* bytes, DWORD size)
{
    while (size > 0) {
        DWORD written = 0;
        if (!os.WriteFile(file, bytes, size, &written, nullptr)) {
            record_failure(os.GetLastError());
            return;
        }
        if (written == 0 || written > size) {
            record_failure(ERROR_WRITE_FAULT);
            return;
        }
        bytes += written;
        size -= written;
    }
}

static void run_job(const writer_job& job, const unsigned char* slot)
{
    for (DWORD done = 0; done < job.size && !writer_has_failed && !stopping();) {
        DWORD chunk = job.size - done > copy_chunk_size ? static_cast<DWORD>(copy_chunk_size) : job.size - done;
        write_chunk(job.file, slot + done, chunk);
        done += chunk;
    }
    // A close can fail where the system writes back late (a full or vanished volume): the data
    // is then not on disk, which is a failed write as much as one WriteFile reports.
    if (job.close_after && !os.CloseHandle(job.file)) {
        record_failure(os.GetLastError());
    }
}

// The flag goes up before the count is looked at again, so a signal sent in between is kept by
// the event and the wait returns at once.
static void wait_for_work()
{
    while (queued_now() == 0) {
        InterlockedExchange(&writer_sleeping, 1);
        if (queued_now() == 0) {
            os.WaitForSingleObject(writer_work_event, INFINITE);
        }
        InterlockedExchange(&writer_sleeping, 0);
    }
}

static void wake_writer()
{
    if (InterlockedExchange(&writer_sleeping, 0) != 0) {
        os.SetEvent(writer_work_event);
    }
}

static DWORD WINAPI writer_main(void*)
{
    for (;;) {
        wait_for_work();
        const writer_job job = writer_jobs[writer_tail];
        if (job.quit) {
            return 0;
        }
        run_job(job, writer_slots[writer_tail]);
        writer_tail = (writer_tail + 1) % writer_slot_count;
        InterlockedDecrement(&writer_queued);
        if (InterlockedExchange(&walk_sleeping, 0) != 0) {
            os.SetEvent(writer_space_event);
        }
    }
}

// The walk's side: waits until fewer than `limit` slots are queued.
static void wait_for_queue_below(LONG limit)
{
    while (queued_now() >= limit) {
        wake_writer();
        InterlockedExchange(&walk_sleeping, 1);
        if (queued_now() >= limit) {
            os.WaitForSingleObject(writer_space_event, INFINITE);
        }
        InterlockedExchange(&walk_sleeping, 0);
    }
}

static void close_if_made(HANDLE* handle)
{
    if (*handle != nullptr) {
        os.CloseHandle(*handle);
        *handle = nullptr;
    }
}

static void start_thread()
{
    writer_head = 0;
    writer_tail = 0;
    writer_queued = 0;
    writer_sleeping = 0;
    walk_sleeping = 0;
    writer_work_event = os.CreateEventW(nullptr, FALSE, FALSE, nullptr);
    writer_space_event = os.CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (writer_work_event != nullptr && writer_space_event != nullptr) {
        writer_thread = os.CreateThread(nullptr, writer_stack_size, writer_main, nullptr,
                                        STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    }
    // Writing on the walk's own thread is slower, never wrong.
    if (writer_thread == nullptr) {
        close_if_made(&writer_work_event);
        close_if_made(&writer_space_event);
        writer_inline = true;
    }
}

void writer_begin(const volatile bool* stop_flag)
{
    writer_wait_idle();
    writer_stop_flag = stop_flag;
    writer_has_failed = false;
    writer_first_failure = 0;
}

unsigned char* writer_claim()
{
    if (writer_thread == nullptr && !writer_inline) {
        start_thread();
    }
    if (writer_inline) {
        return writer_slots[0];
    }
    wait_for_queue_below(writer_slot_count);
    return writer_slots[writer_head];
}

void writer_submit(HANDLE file, DWORD size, bool close_after)
{
    const writer_job job = {file, size, close_after, false};
    if (writer_inline) {
        run_job(job, writer_slots[0]);
        return;
    }
    writer_jobs[writer_head] = job;
    writer_head = (writer_head + 1) % writer_slot_count;
    if (InterlockedIncrement(&writer_queued) >= writer_wake_batch) {
        wake_writer();
    }
}

bool writer_failed()
{
    return writer_has_failed;
}

DWORD writer_failure_code()
{
    return writer_first_failure;
}

void writer_wait_idle()
{
    if (writer_thread != nullptr) {
        wait_for_queue_below(1);
    }
}

void writer_settle()
{
    writer_wait_idle();
    if (writer_has_failed) {
        fatal_system_error(error_write_failed, writer_first_failure);
    }
}

void writer_end()
{
    if (writer_thread != nullptr) {
        writer_wait_idle();
        writer_jobs[writer_head] = {nullptr, 0, false, true};
        InterlockedIncrement(&writer_queued);
        wake_writer();
        os.WaitForSingleObject(writer_thread, INFINITE);
        close_if_made(&writer_thread);
        close_if_made(&writer_work_event);
        close_if_made(&writer_space_event);
    }
    writer_inline = false;
}
