// The main window's logic: first status texts, the progress bar, closing in
// each state, repaints, cursors and the open-file dialog.
#include <cstring>

#include "app_fixture.h"

namespace {

using apptest::AppTest;

class Window : public AppTest {};

// (The texts with a complete settings file are checked by the start-up tests.)
TEST_F(Window, FirstStatusTextsWithoutANameAndWithALongOne) {
    static_assert(sizeof status_line2 == 128);
    cfg_complete = 0;
    std::snprintf(cfg_modemname, 256, "Ignored Modem"); // a name without a file does not count
    init_status_lines();
    EXPECT_STREQ(status_line1, "Quillmarch Flash Loader Ver:1.4");
    EXPECT_STREQ(status_line2, "Searching for the Modem.");
    // A long name is cut at the end of the line.
    cfg_complete = 1;
    std::string name(254, 'N');
    std::snprintf(cfg_modemname, 256, "%s", name.c_str());
    init_status_lines();
    EXPECT_EQ(std::string(status_line2), "Searching for " + name.substr(0, 113));
    EXPECT_STREQ(status_line1, "Quillmarch Flash Loader Ver:1.4");
}

TEST_F(Window, BarOfTheExample) {
    // 432 pixels of client width at 96 dots per inch, a 16 pixel line,
    // 301 of the 603 loader lines sent.
    flash_state = 4;
    loader_lines_sent = 301;
    loader_line_total = 603;
    plat_rect outline{}, fill{};
    ASSERT_EQ(bar_geometry(4, 432, 96, 96, 16, &outline, &fill), 1);
    EXPECT_EQ(outline.left, 24);
    EXPECT_EQ(outline.right, 408);
    EXPECT_EQ(outline.top, 24 + 3 * 16);
    EXPECT_EQ(outline.bottom, 24 + 4 * 16);
    EXPECT_EQ(fill.left, 24);
    EXPECT_EQ(fill.right, 215); // 24 + 384 * 301 / 603
    EXPECT_EQ(fill.top, outline.top);
    EXPECT_EQ(fill.bottom, outline.bottom);
    // Other resolutions give other margins: a quarter inch each way.
    ASSERT_EQ(bar_geometry(4, 600, 120, 144, 20, &outline, &fill), 1);
    EXPECT_EQ(outline.left, 30);
    EXPECT_EQ(outline.right, 570);
    EXPECT_EQ(outline.top, 36 + 60);
    EXPECT_EQ(outline.bottom, 36 + 80);
}

TEST_F(Window, BarOfALargeLoadFileIsWorkedOutIn64Bits) {
    // 384 x 8,000,000 does not fit 32 bits.
    bytes_sent = 8000000;
    load_file_size = 8388608;
    plat_rect outline{}, fill{};
    ASSERT_EQ(bar_geometry(7, 432, 96, 96, 16, &outline, &fill), 1);
    EXPECT_EQ(fill.right, 24 + static_cast<int32_t>(384LL * 8000000 / 8388608)); // 390
    // Full: the fill reaches the outline's right edge exactly.
    bytes_sent = load_file_size = 0x7FFFFFF0;
    ASSERT_EQ(bar_geometry(8, 432, 96, 96, 16, &outline, &fill), 1);
    EXPECT_EQ(fill.right, outline.right);
    loader_lines_sent = loader_line_total = 603;
    ASSERT_EQ(bar_geometry(4, 1000, 96, 96, 16, &outline, &fill), 1);
    EXPECT_EQ(fill.right, outline.right);
}

TEST_F(Window, BarOnlyInTheSendingStatesWithACountAndATotal) {
    loader_lines_sent = 10;
    loader_line_total = 603;
    bytes_sent = 100;
    load_file_size = 1000;
    int32_t count = -1, total = -1;
    for (int state = 0; state <= 15; ++state) {
        int expect = state == 4 || state == 7 || state == 8;
        EXPECT_EQ(bar_numbers(state, &count, &total), expect) << "state " << state;
        if (state == 4) {
            EXPECT_EQ(count, 10);
        }
        if (state == 7) {
            EXPECT_EQ(total, 1000);
        }
    }
    plat_rect outline{}, fill{};
    bytes_sent = 0; // the first record not yet acknowledged
    EXPECT_EQ(bar_geometry(7, 432, 96, 96, 16, &outline, &fill), 0);
    bytes_sent = 100;
    load_file_size = 0;
    EXPECT_EQ(bar_geometry(8, 432, 96, 96, 16, &outline, &fill), 0);
    loader_line_total = 0;
    EXPECT_EQ(bar_geometry(4, 432, 96, 96, 16, &outline, &fill), 0);
    // A count past the total never draws past the outline.
    bytes_sent = 1500;
    load_file_size = 1000;
    ASSERT_EQ(bar_geometry(7, 432, 96, 96, 16, &outline, &fill), 1);
    EXPECT_EQ(fill.right, outline.right);
}

TEST_F(Window, ClosingAsksOnlyWhileFlashing) {
    for (int state = 0; state <= 14; ++state) {
        SCOPED_TRACE(state);
        fake::reset();
        flash_state = state;
        on_close_request();
        auto &s = fake::state();
        if (state == 4 || state == 6 || state == 7 || state == 8) {
            ASSERT_EQ(s.boxes.size(), 1u);
            EXPECT_EQ(s.boxes[0].text, "Are you Sure you want to Kill the Flash Loader?");
            EXPECT_EQ(s.boxes[0].caption, "You May Have Cooked the Flash Chip!");
            EXPECT_EQ(s.boxes[0].flags, static_cast<unsigned>(PLAT_MB_YESNO));
            EXPECT_FALSE(s.window_destroyed);
            EXPECT_EQ(flash_state, 13) << "answered Yes";
        } else {
            EXPECT_TRUE(s.boxes.empty());
            EXPECT_TRUE(s.window_destroyed);
            EXPECT_EQ(flash_state, state);
        }
    }
    // Answering No lets the job go on.
    fake::reset();
    fake::state().answer = [](const fake::Box &) { return static_cast<int>(PLAT_IDNO); };
    flash_state = 7;
    on_close_request();
    EXPECT_EQ(flash_state, 7);
    EXPECT_FALSE(fake::state().window_destroyed);
    EXPECT_EQ(fake::state().boxes.size(), 1u);
}

TEST_F(Window, DestroyingTheWindowClosesAPortStillOpen) {
    fake::ScriptedPeer peer;
    fake::add_port(3, &peer);
    hComm = plat_port_open("COM3:19200,n,8,1");
    ASSERT_NE(hComm, nullptr);
    flash_state = 3;
    on_close_request();
    EXPECT_TRUE(fake::state().window_destroyed);
    EXPECT_EQ(hComm, nullptr);
    EXPECT_EQ(fake::state().open_handles, 0);
    // Without a port nothing is closed.
    on_window_destroyed();
    EXPECT_EQ(fake::state().open_handles, 0);
}

TEST_F(Window, RepaintsAndCursorsGoToThePlatform) {
    flash_state = 4;
    loader_lines_sent = 20;
    loader_line_total = 603;
    std::snprintf(status_line1, sizeof status_line1, "Found Modem on COM3.");
    ReDraw();
    show_wait_cursor();
    show_arrow_cursor();
    auto &s = fake::state();
    ASSERT_EQ(s.redraws.size(), 1u);
    EXPECT_EQ(s.redraws[0].line1, "Found Modem on COM3.");
    EXPECT_EQ(s.redraws[0].count, 20);
    EXPECT_EQ(s.redraws[0].total, 603);
    EXPECT_EQ(s.cursors, (std::vector<int>{PLAT_CURSOR_WAIT, PLAT_CURSOR_ARROW}));
}

TEST_F(Window, OpenFileDialogRequest) {
    std::string path_during_dialog;
    fake::state().dialog = [&](plat_open_file *req) {
        path_during_dialog = download_path;
        std::snprintf(req->file, req->max_file, "C:\\loads\\v2 modem.hex");
        std::snprintf(req->file_title, req->max_file_title, "v2 modem.hex");
        return 1;
    };
    std::snprintf(download_path, sizeof download_path, "stale");
    EXPECT_EQ(choose_load_file(), 1);
    EXPECT_STREQ(download_path, "C:\\loads\\v2 modem.hex");
    EXPECT_EQ(path_during_dialog, "modem.hex");

    auto &s = fake::state();
    ASSERT_EQ(s.dialogs.size(), 1u);
    const plat_open_file &req = s.dialogs[0];
    EXPECT_EQ(s.dialog_filters[0], "Hex files (*.hex)|*.hex|All files|*.*|");
    EXPECT_EQ(req.filter_index, 1u);
    EXPECT_EQ(req.max_file, 256u);
    EXPECT_EQ(req.max_file_title, 256u);
    EXPECT_STREQ(req.title, "Choose File to Download");
    EXPECT_EQ(req.flags, 4100u);
    EXPECT_STREQ(req.def_ext, "hex");
}

TEST_F(Window, CancelledDialogLeavesTheDefaultName) {
    std::snprintf(download_path, sizeof download_path, "stale");
    EXPECT_EQ(choose_load_file(), 0); // the fake cancels by default
    EXPECT_STREQ(download_path, "modem.hex");
    EXPECT_EQ(fake::state().dialogs.size(), 1u);
}

} // namespace
