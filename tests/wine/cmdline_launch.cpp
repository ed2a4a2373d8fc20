// Starts flashfile.exe with CreateProcessA under command lines that a careless
// split gets wrong, as the debugger of each run: the port of a run's first
// "Flash Trying Comm %d " trace must be the expected one. Each run is ended at
// that trace, before it opens a port. Exit code 0 when every port is right.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

struct Run {
    const char *folder, *line; // the whole command line, program name included
    int expected, got;
    PROCESS_INFORMATION pi;
};

// The program name ends at its closing quote, blank or not; an unquoted one
// holds a byte of 0x80 and above; the argument itself is such a byte.
Run runs[] = {
    {"with blank", "\"with blank\\flashfile.exe\"3", 3, -1, {}},
    {"Pr\374fung", "Pr\374fung\\flashfile.exe 8", 8, -1, {}},
    {"two blanks", "\"two blanks\\flashfile.exe\" \xE9", 9, -1, {}},
};

bool put_file(const std::string &path, const char *text) {
    FILE *f = std::fopen(path.c_str(), "wb");
    return f && std::fputs(text, f) >= 0 && std::fclose(f) == 0;
}

int main() {
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string program = self;
    program = program.substr(0, program.rfind('\\') + 1) + "flashfile.exe";
    int live = 0;
    for (Run &r : runs) {
        // Settings that name the load, so no dialog stops the run before the
        // search; a whole load (a data record and its end), which the check passes.
        std::string dir = r.folder, exe = dir + "\\flashfile.exe";
        CreateDirectoryA(dir.c_str(), nullptr);
        char line[MAX_PATH];
        std::snprintf(line, sizeof line, "%s", r.line);
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        if (!CopyFileA(program.c_str(), exe.c_str(), FALSE) ||
            !put_file(dir + "\\flashfile.ini",
                      "[FlashInfo]\r\nmodemname=Test\r\nfilename=modem.hex\r\n") ||
            !put_file(dir + "\\modem.hex", "S00600004844521B\nS1050000AABB95\nS9030000FC\n") ||
            !CreateProcessA(exe.c_str(), line, nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS,
                            nullptr, nullptr, &si, &r.pi)) {
            std::printf("cannot set up or start %s (error %lu)\n", r.line, GetLastError());
            return 1;
        }
        ++live;
    }
    for (DWORD deadline = GetTickCount() + 60000; live > 0;) {
        DEBUG_EVENT ev;
        if (!WaitForDebugEvent(&ev, 500)) {
            if (static_cast<LONG>(GetTickCount() - deadline) > 0) {
                std::printf("no end within 60 s\n");
                for (Run &r : runs) TerminateProcess(r.pi.hProcess, 1);
                return 1;
            }
            continue;
        }
        Run *r = nullptr;
        for (Run &k : runs) r = k.pi.dwProcessId == ev.dwProcessId ? &k : r;
        DWORD how = DBG_CONTINUE;
        const char prefix[] = "Flash Trying Comm ";
        char text[256] = {};
        SIZE_T got = 0;
        switch (ev.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT:
            if (ev.u.CreateProcessInfo.hFile) CloseHandle(ev.u.CreateProcessInfo.hFile);
            break;
        case LOAD_DLL_DEBUG_EVENT:
            if (ev.u.LoadDll.hFile) CloseHandle(ev.u.LoadDll.hFile);
            break;
        case EXCEPTION_DEBUG_EVENT:
            if (ev.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
                how = DBG_EXCEPTION_NOT_HANDLED;
            break;
        case OUTPUT_DEBUG_STRING_EVENT:
            if (r && r->got < 0 && !ev.u.DebugString.fUnicode &&
                ReadProcessMemory(
                    r->pi.hProcess, ev.u.DebugString.lpDebugStringData, text,
                    std::min<SIZE_T>(ev.u.DebugString.nDebugStringLength, sizeof text - 1), &got) &&
                std::strncmp(text, prefix, sizeof prefix - 1) == 0) {
                r->got = std::atoi(text + sizeof prefix - 1);
                TerminateProcess(r->pi.hProcess, 0);
            }
            break;
        case EXIT_PROCESS_DEBUG_EVENT: --live; break;
        }
        ContinueDebugEvent(ev.dwProcessId, ev.dwThreadId, how);
    }
    int wrong = 0;
    for (Run &r : runs) {
        wrong += r.got != r.expected;
        std::printf("%s first port COM%d, expected COM%d\n", r.got == r.expected ? "ok  " : "FAIL",
                    r.got, r.expected);
    }
    return wrong ? 1 : 0;
}
