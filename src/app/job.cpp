// What the front ends ask of the job, so that none of them reads the
// sequencer's state or the link's port for itself.
#include "app/app.h"
#include "flash/flash.h"
#include "link/link.h"

bool app_step() {
    seq_state before = flash_state;
    flash_step();
    return flash_state == before;
}

bool reply_awaited() { return flash_state == SEQ_POLL; }

uint32_t reply_wait_ms() {
    return reply_awaited() ? reply_time_left(static_cast<unsigned>(reply_timeout)) : 0;
}

bool loader_running() { return loader_busy.load() == 1; }

port_handle job_port() { return hComm; }

bool job_completed() { return job_outcome == JOB_COMPLETED; }

bool job_stopped() { return job_outcome == JOB_STOPPED; }
