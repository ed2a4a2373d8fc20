// Time and the debugger output of the platform seam on Win32 (the sleep is the
// window's: window.cpp).
#include <windows.h>

#include <cstdint>
#include <ctime>

#include "platform/platform.h"

uint32_t plat_tick_count() { return GetTickCount(); }

int32_t plat_runtime_clock_ms() {
    return static_cast<int32_t>(static_cast<int64_t>(clock()) * 1000 / CLOCKS_PER_SEC);
}

void plat_debug_output(const char *text) { OutputDebugStringA(text); }
