// Starts flashfile.exe (from this program's folder) with CreateProcessA under
// command lines that a careless split gets wrong, as the debugger of each
// run: the port of a run's first "Flash Trying Comm %d " trace must be the
// expected one. Each run is ended at that trace, before it opens a port.
// Works in the current folder; exit code 0 when every port is right.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Run {
    const char *folder;
    const char *line; // the whole command line, program name included
    int expected;
    PROCESS_INFORMATION pi;
    int got;
};

// The program name ends at its closing quote, blank or not; an unquoted one
// holds a byte of 0x80 and above; the argument itself is such a byte.
Run runs[] = {
    {"with blank", "\"with blank\\flashfile.exe\"3", 3, {}, -1},
    {"Pr\xFC" "fung", "Pr\xFC" "fung\\flashfile.exe 8", 8, {}, -1},
    {"with blank", "\"with blank\\flashfile.exe\" \xE9", 9, {}, -1},
};

std::string shown(const char *s) {
    std::string out;
    for (; *s; ++s) {
        unsigned char c = static_cast<unsigned char>(*s);
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", c);
        out += c >= 0x80 ? std::string(hex) : std::string(1, *s);
    }
    return out;
}

bool put_file(const std::string &path, const char *text) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    std::fputs(text, f);
    return std::fclose(f) == 0;
}

} // namespace

int main() {
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string program = self;
    program = program.substr(0, program.rfind('\\') + 1) + "flashfile.exe";

    // Settings that name the load file, so no dialog stops the run before
    // the port search; a load with a data record, which the load check passes.
    for (Run &r : runs) {
        std::string dir = r.folder;
        CreateDirectoryA(dir.c_str(), nullptr);
        if (!CopyFileA(program.c_str(), (dir + "\\flashfile.exe").c_str(), FALSE) ||
            !put_file(dir + "\\flashfile.ini", "[FlashInfo]\r\nmodemname=Test\r\nfilename=modem.hex\r\n") ||
            !put_file(dir + "\\modem.hex", "S00600004844521B\nS1050000AABB95\n")) {
            std::printf("cannot set up %s (error %lu)\n", shown(r.folder).c_str(), GetLastError());
            return 1;
        }
    }
    int live = 0;
    for (Run &r : runs) {
        char line[MAX_PATH];
        std::snprintf(line, sizeof line, "%s", r.line);
        std::string exe = std::string(r.folder) + "\\flashfile.exe";
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        if (!CreateProcessA(exe.c_str(), line, nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr,
                            nullptr, &si, &r.pi)) {
            std::printf("cannot start %s (error %lu)\n", shown(r.line).c_str(), GetLastError());
            return 1;
        }
        ++live;
    }

    DWORD deadline = GetTickCount() + 60000;
    while (live > 0) {
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
        for (Run &k : runs)
            if (k.pi.dwProcessId == ev.dwProcessId) r = &k;
        DWORD how = DBG_CONTINUE;
        switch (ev.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT:
            if (ev.u.CreateProcessInfo.hFile) CloseHandle(ev.u.CreateProcessInfo.hFile);
            break;
        case LOAD_DLL_DEBUG_EVENT:
            if (ev.u.LoadDll.hFile) CloseHandle(ev.u.LoadDll.hFile);
            break;
        case EXCEPTION_DEBUG_EVENT:
            if (ev.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) how = DBG_EXCEPTION_NOT_HANDLED;
            break;
        case OUTPUT_DEBUG_STRING_EVENT: {
            char text[256] = {};
            SIZE_T n = ev.u.DebugString.nDebugStringLength;
            if (n > sizeof text - 1) n = sizeof text - 1;
            SIZE_T got = 0;
            const char prefix[] = "Flash Trying Comm ";
            if (r && r->got < 0 && !ev.u.DebugString.fUnicode &&
                ReadProcessMemory(r->pi.hProcess, ev.u.DebugString.lpDebugStringData, text, n, &got) &&
                std::strncmp(text, prefix, sizeof prefix - 1) == 0) {
                r->got = std::atoi(text + sizeof prefix - 1);
                TerminateProcess(r->pi.hProcess, 0);
            }
            break;
        }
        case EXIT_PROCESS_DEBUG_EVENT:
            --live;
            break;
        default:
            break;
        }
        ContinueDebugEvent(ev.dwProcessId, ev.dwThreadId, how);
    }

    int wrong = 0;
    for (Run &r : runs) {
        bool ok = r.got == r.expected;
        wrong += !ok;
        std::printf("%s %-40s first port COM%d, expected COM%d\n", ok ? "ok  " : "FAIL", shown(r.line).c_str(), r.got,
                    r.expected);
    }
    return wrong ? 1 : 0;
}
