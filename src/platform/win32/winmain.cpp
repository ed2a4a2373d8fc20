// The program's entry and its only message loop, which also drives the
// flash job: one sequencer step whenever the queue is empty.
#include <windows.h>

#include "app/app.h"
#include "flash/flash.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR lpCmdLine, int nCmdShow) {
    if (!app_startup(lpCmdLine, nCmdShow)) return 0;
    MSG msg;
    for (;;) {
        if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) return static_cast<int>(msg.wParam);
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        } else {
            flash_step();
        }
    }
}
