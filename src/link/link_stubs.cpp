// Placeholder until the link lands; delete with it.
#include "link/link.h"
bool open_comm_port() { return false; }
void debug_trace(const char *) {}
int32_t devicewrite(port_handle, const char *, int32_t) { return -1; }
int32_t send_command(port_handle, const char *, int32_t) { return -1; }
int32_t port_rx_pending(port_handle) { return -1; }
int32_t read_port(int32_t, int32_t) { return 0; }
void settle_port() {}
void spin_wait(uint32_t) {}
void clock_wait(int32_t) {}
unsigned wait_for_reply(const char *, unsigned, int) { return 2; }
int match_alternatives(const char *, const char *) { return -1; }
void close_port() {}
