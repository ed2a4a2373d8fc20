// The program's entry and its only message loop, which also drives the
// flash job: one sequencer step whenever the queue is empty, and a sleep
// when that step found the job waiting.
#include <windows.h>

#include "app/app.h"

namespace {
// While a reply is awaited the loop sleeps in the port wait, and window
// messages wait for it at most this long.
constexpr uint32_t MESSAGE_LOOK_MS = 20;
// While the loader thread runs: its end posts nothing.
constexpr DWORD LOADER_LOOK_MS = 10;

// A step that left the job waiting (for the modem's reply, the loader thread)
// would otherwise spin: a sleep that input ends, or the step's time-out.
void idle_wait() {
    if (reply_awaited()) {
        uint32_t ms = reply_wait_ms();
        plat_port_wait(job_port(), ms < MESSAGE_LOOK_MS ? ms : MESSAGE_LOOK_MS);
    } else if (loader_running())
        MsgWaitForMultipleObjects(0, nullptr, FALSE, LOADER_LOOK_MS, QS_ALLINPUT);
}
} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int nCmdShow) {
    // The runtime's own split of the command line goes wrong on a quote
    // followed by the argument and on bytes of 0x80 and above; the
    // process's whole line is split here instead.
    if (!app_startup(command_line_args(GetCommandLineA()), nCmdShow)) return 0;
    MSG msg;
    for (;;) {
        if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) return static_cast<int>(msg.wParam);
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        } else if (app_step()) {
            idle_wait();
        }
    }
}
