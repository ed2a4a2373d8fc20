#include "flash/flash.h"

int job_outcome;
int32_t flash_touched;
int32_t load_record_count;
int32_t records_acked;
int32_t bytes_acked;
int32_t records_resent;
uint32_t pass_start_tick;
uint32_t last_ack_tick;

int32_t load_file_size;
text_file *hex_file;
thread_handle hThread;
int32_t loader_ticks;
int32_t reply_timeout;
int32_t send_next_line;
int32_t bytes_sent;
int32_t retry_count;
int32_t hex_eof;
int32_t records_sent;
int32_t elapsed_min;
int32_t elapsed_sec;
uint32_t start_tick;

std::atomic<int32_t> loader_busy{0};
std::atomic<int32_t> loader_result{0};
std::atomic<int32_t> loader_lines_sent{0};
std::atomic<int32_t> loader_line_total{0};
std::atomic<int32_t> loader_bad_line{0};

int32_t load_line_no;

char line_buf[LINE_BUF_SIZE];
int32_t line_len;
