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

bool job_touched_flash() { return flash_touched != 0; }

void stop_waits() { port_stop.store(1); }

int reply_wait(int32_t *waited_s, int32_t *limit_s) {
    if (flash_state != SEQ_POLL) return 0;
    *waited_s = static_cast<int32_t>((plat_tick_count() - wait_start_tick) / 1000);
    *limit_s = static_cast<int32_t>(reply_timeout * (WAIT_UNIT_MS / 1000));
    return 1;
}
