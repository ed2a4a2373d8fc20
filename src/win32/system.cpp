// Threads, the private-profile read and the program's folder on Win32.
#include <windows.h>

#include "platform/platform.h"

namespace {
void (*thread_entry)();

DWORD WINAPI thread_trampoline(LPVOID) {
    thread_entry();
    ExitThread(2);
}
} // namespace

thread_handle plat_thread_start(void (*entry)()) {
    // One worker per run, started by the GUI thread only.
    thread_entry = entry;
    DWORD id;
    return CreateThread(nullptr, 0, thread_trampoline, nullptr, 0, &id);
}

void plat_thread_close(thread_handle h) {
    if (h) CloseHandle(h);
}

uint32_t plat_profile_string(const char *section, const char *key, const char *def, char *out,
                             uint32_t capacity, const char *path) {
    return GetPrivateProfileStringA(section, key, def, out, capacity, path);
}

uint32_t plat_module_file_name(char *buf, uint32_t capacity) {
    return GetModuleFileNameA(nullptr, buf, capacity);
}

int plat_set_current_directory(const char *dir) { return SetCurrentDirectoryA(dir) ? 1 : 0; }
