// The main window, its painting, message boxes, the open-file dialog and
// cursors on Win32. What the window shows and how it reacts to a close is
// decided in the portable shell (app/); this file only draws and asks.
#include <windows.h>
#include <commdlg.h>

#include <cstdint>
#include <cstring>

#include "app/app.h"
#include "platform/platform.h"
#include "version.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

static_assert(sizeof(plat_rect) == sizeof(RECT), "plat_rect must have the RECT's layout");

namespace {
// Set on WM_CREATE, before CreateWindowExA returns; read by the loader
// thread only after the window exists.
HWND hwndMain;

const char CLASS_NAME[] = "GenericWClass";
const char WINDOW_TITLE[] = "Quillmarch Flash Loader " FLASHFILE_VERSION;
constexpr int WINDOW_WIDTH = 440;
constexpr int WINDOW_HEIGHT = 200;

void paint(HWND hwnd) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    TEXTMETRICA tm;
    GetTextMetricsA(dc, &tm);
    int dpi_x = GetDeviceCaps(dc, LOGPIXELSX);
    int dpi_y = GetDeviceCaps(dc, LOGPIXELSY);
    int x = dpi_x / 4;
    int y = dpi_y / 4;
    int h = tm.tmHeight + tm.tmExternalLeading;
    TextOutA(dc, x, y, status_line1, static_cast<int>(strnlen(status_line1, sizeof status_line1)));
    TextOutA(dc, x, y + h, status_line2,
             static_cast<int>(strnlen(status_line2, sizeof status_line2)));

    RECT client;
    GetClientRect(hwnd, &client);
    plat_rect outline;
    if (bar_geometry(client.right, dpi_x, dpi_y, h, &outline, &progress_rect)) {
        Rectangle(dc, outline.left, outline.top, outline.right, outline.bottom);
        RECT fill = {progress_rect.left, progress_rect.top, progress_rect.right,
                     progress_rect.bottom};
        FillRect(dc, &fill, static_cast<HBRUSH>(GetStockObject(DKGRAY_BRUSH)));
    }
    EndPaint(hwnd, &ps);
}

LRESULT CALLBACK MainWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE: hwndMain = hwnd; return 0;
    case WM_DESTROY:
        on_window_destroyed();
        PostQuitMessage(0);
        return 0;
    case WM_PAINT: paint(hwnd); return 0;
    case WM_CLOSE: on_close_request(); return 0;
    default: return DefWindowProcA(hwnd, message, wParam, lParam);
    }
}
} // namespace

int plat_create_main_window(int show_cmd) {
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA wc = {};
    wc.style = 0;
    wc.lpfnWndProc = MainWndProc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 0;
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.lpszMenuName = "GenericMenu";
    wc.lpszClassName = CLASS_NAME;
    RegisterClassA(&wc); // a failure shows as a failed creation

    HWND hwnd = CreateWindowExA(0, CLASS_NAME, WINDOW_TITLE, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                CW_USEDEFAULT, WINDOW_WIDTH, WINDOW_HEIGHT, nullptr, nullptr,
                                instance, nullptr);
    if (!hwnd) return 0;
    init_status_lines();
    ShowWindow(hwnd, show_cmd);
    UpdateWindow(hwnd);
    return 1;
}

void plat_redraw() {
    if (!hwndMain) return; // a null window would mean every window
    InvalidateRect(hwndMain, nullptr, TRUE);
    // The loader thread's request is left to the window's thread, which
    // paints when it is free: waiting for it there would stall the upload.
    if (GetWindowThreadProcessId(hwndMain, nullptr) == GetCurrentThreadId()) UpdateWindow(hwndMain);
}

namespace {
// Sleep keeps to the system's timer period, often 15.6 ms, which the settle
// step's 1 ms would pay twice a loader line: a high-resolution timer where
// the system has one, one a thread, left to the process's end (a run has
// at most two).
HANDLE thread_timer() {
    thread_local HANDLE timer = nullptr;
    if (!timer)
        timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                       TIMER_ALL_ACCESS);
    if (!timer) timer = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    return timer;
}

// Sets the timer to fire `us` from now; false where there is none to set.
bool arm(HANDLE timer, int64_t us) {
    LARGE_INTEGER due;
    due.QuadPart = -10 * us;
    return timer && SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE);
}

void timer_sleep(HANDLE timer, int64_t us) {
    if (!arm(timer, us)) {
        Sleep(static_cast<DWORD>((us + 999) / 1000));
        return;
    }
    // The window's thread keeps painting meanwhile (the loader thread's
    // progress shows from its first lines); anything else waits for the
    // main loop.
    bool gui = hwndMain && GetWindowThreadProcessId(hwndMain, nullptr) == GetCurrentThreadId();
    if (!gui) WaitForSingleObject(timer, INFINITE);
    else
        while (MsgWaitForMultipleObjects(1, &timer, FALSE, INFINITE, QS_PAINT) ==
               WAIT_OBJECT_0 + 1) {
            MSG msg;
            while (PeekMessageA(&msg, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE))
                DispatchMessageA(&msg);
        }
}

// The last part of a sleep, in slices this short.
constexpr int64_t SLICE_US = 250;

typedef LONG(WINAPI *delay_fn)(BOOLEAN alertable, const LARGE_INTEGER *due);

// The thread's own delay, in 100 ns units; null where the system has none.
delay_fn thread_delay() {
    static const delay_fn delay = reinterpret_cast<delay_fn>(reinterpret_cast<void *>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtDelayExecution")));
    return delay;
}

int64_t now_us() {
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return c.QuadPart / f.QuadPart * 1000000 + c.QuadPart % f.QuadPart * 1000000 / f.QuadPart;
}

void delay_slice(HANDLE timer) {
    LARGE_INTEGER due;
    due.QuadPart = -10 * SLICE_US;
    thread_delay()(FALSE, &due);
    // Under Wine the tick count is its server's, and moves on only when the
    // server runs: a call that reaches it.
    WaitForSingleObject(timer, 0);
}

// The slices: the timer's where it keeps to a fraction of a millisecond
// (the high-resolution one does on Windows); the thread's own delay where a
// wait on it takes a whole millisecond or more (under Wine, whose server
// counts its time-outs in whole ones). Chosen once, by timing each way.
void slice(HANDLE timer) {
    static const bool by_delay = [timer] {
        if (!timer || !thread_delay()) return false;
        int64_t on_timer = INT64_MAX, on_delay = INT64_MAX;
        for (int i = 0; i < 4; ++i) {
            int64_t start = now_us();
            timer_sleep(timer, SLICE_US);
            int64_t mid = now_us();
            delay_slice(timer);
            int64_t end = now_us();
            if (mid - start < on_timer) on_timer = mid - start;
            if (end - mid < on_delay) on_delay = end - mid;
        }
        return on_delay < on_timer;
    }();
    if (by_delay) delay_slice(timer);
    else timer_sleep(timer, SLICE_US);
}
} // namespace

void plat_sleep(uint32_t ms) {
    // Where either clock's millisecond begins is unknown here: the whole
    // milliseconds but one asleep, then short slices until one of them has
    // moved on (a caller waiting on the other sleeps again for the rest).
    uint32_t tick = plat_tick_count();
    uint32_t clock = static_cast<uint32_t>(plat_runtime_clock_ms());
    HANDLE timer = thread_timer();
    if (ms > 1) timer_sleep(timer, (ms - 1) * 1000LL);
    while (plat_tick_count() - tick < ms &&
           static_cast<uint32_t>(plat_runtime_clock_ms()) - clock < ms)
        slice(timer);
}

void plat_destroy_main_window() { DestroyWindow(hwndMain); }

void plat_pump_messages() {
    MSG msg;
    bool any = false;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // Left for the main loop, which ends the program on it.
            PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
        any = true;
    }
    if (any) return;
    // The caller's loop (the wait for the loader thread to stop) would spin:
    // asleep until a message comes, for a millisecond at most.
    HANDLE timer = thread_timer();
    if (arm(timer, 1000)) MsgWaitForMultipleObjects(1, &timer, FALSE, INFINITE, QS_ALLINPUT);
    else MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
}

void plat_set_cursor(int which) {
    SetCursor(LoadCursorA(nullptr, which == PLAT_CURSOR_WAIT ? IDC_WAIT : IDC_ARROW));
}

int plat_message_box(const char *text, const char *caption, unsigned flags) {
    return MessageBoxA(hwndMain, text, caption, flags);
}

int plat_get_open_file_name(plat_open_file *req) {
    OPENFILENAMEA ofn;
    std::memset(&ofn, 0, sizeof ofn);
    // The record of the version-4 dialog: 76 bytes in a 32-bit program.
    ofn.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
    ofn.hwndOwner = hwndMain;
    ofn.lpstrFilter = req->filter;
    ofn.nFilterIndex = req->filter_index;
    ofn.lpstrFile = req->file;
    ofn.nMaxFile = req->max_file;
    ofn.lpstrFileTitle = req->file_title;
    ofn.nMaxFileTitle = req->max_file_title;
    ofn.lpstrTitle = req->title;
    ofn.Flags = req->flags;
    ofn.lpstrDefExt = req->def_ext;
    return GetOpenFileNameA(&ofn) ? 1 : 0;
}

void plat_load_file(const char *) {}
