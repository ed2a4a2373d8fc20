// The program's entry and its only message loop, which also drives the
// flash job: one sequencer step whenever the queue is empty.
#include <windows.h>

#include "app/app.h"

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
        } else {
            app_step();
        }
    }
}
