#include "link/link.h"

port_handle hComm;
int com_port;
plat_dcb comm_dcb;
char comm_device_name[32];

char rx_buffer[4096];
int32_t rx_count;
uint32_t wait_start_tick;
uint32_t reply_left_ms;

char trace_buf[256];
char msg_buf[256];

std::atomic<int32_t> port_stop{0};
