// Start-up, the settings file and the main window's logic.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "app/app.h"
#include "fake/fake.h"
#include "flash/flash.h"
#include "link/link.h"
#include "settings/settings.h"
#include "text/profile.h"
#include "text/textfile.h"
#include "unit/ini_cases.h"

namespace {

namespace fs = std::filesystem;
const std::string DIR = fake::scratch() + "/app";

void write_ini(const fs::path &dir, const std::string &keys) {
    fs::create_directories(dir), fake::write_file((dir / "flashfile.ini").string(), "[FlashInfo]\r\n" + keys);
}

std::string settings_read() {
    char out[2048];
    std::snprintf(out, sizeof out, "%d|%d|%s|%s|%s|%s|%s|%s|%d%s", no_popups, skip_flush, cfg_modemname, cfg_filename,
                  cfg_atcmd, cfg_response, cfg_atchecksum, cfg_checksumresponse, cfg_complete, cfg_logfile);
    return out;
}

TEST(Settings, KeysAsTheirRulesSay) {
    const std::string v300(300, 'v'), v254(254, 'v');
    const struct { std::string keys, read; } cases[] = { // keys "-": no settings file
        {"NoPopUps=yes\nSkipFlush=YES\nmodemname=Test Modem\nfilename=C:\\loads\\modem.hex\natcmd=ATI5\nresponse=OK^READY\n"
         "atchecksum=AT&&FC\nchecksumresponse=CS OK\nlogfile=flash.log\n",
         "1|1|Test Modem|C:\\loads\\modem.hex|ATI5\r|OK^READY|AT&&FC\r|CS OK|1flash.log"},
        {"NoPopUps=yEs\nSkipFlush=\"YeS\"\n", "1|1|||||||0"}, {"NoPopUps=xes\nSkipFlush=yxs\n", "0|0|||||||0"},
        {"NoPopUps=yex\nSkipFlush=yes!\n", "0|0|||||||0"}, {"NoPopUps=y\nSkipFlush=ye\n", "0|0|||||||0"},
        {"atcmd=\nresponse=<empty>\natchecksum=<EMPTY>\nchecksumresponse=\"<empty>\"\n", "0|0|||||<EMPTY>\r||0"},
        {"modemname=Test Modem\n", "0|0|Test Modem||||||0"},
        {"modemname=\n;" + std::string(4057, 'c') + "\nfilename=f.hex", "0|0||f.hex|||||0"}, // 4097 bytes
        {"modemname=" + v300 + "\nfilename=" + v254 + "\natcmd=" + v300 + "\n",
         "0|0|" + v254 + "|" + v254 + "|" + v254 + "\r||||1"},
        {"-", "0|0|||||||0"},
    };
    for (const auto &c : cases) {
        fs::remove_all(DIR);
        if (c.keys != "-") write_ini(DIR, c.keys);
        cfg_complete = read_flash_settings(DIR.c_str(), cfg_modemname, cfg_filename);
        EXPECT_EQ(settings_read(), c.read) << c.keys;
    }
    // 241 characters of folder leave room for "\flashfile.ini"; 242 do not.
    std::string folder = DIR + "/" + std::string(241 - DIR.size() - 1, 'd');
    write_ini(folder, "NoPopUps=yes\nmodemname=M\nfilename=f.hex\natcmd=A\nresponse=R\natchecksum=C\nchecksumresponse=K\nlogfile=L\n");
    EXPECT_EQ(read_flash_settings(folder.c_str(), cfg_modemname, cfg_filename), 1);
    EXPECT_EQ(settings_path, folder + "\\flashfile.ini"); // named in the log
    write_ini(folder + "d", "modemname=M\nfilename=f.hex\n");
    fs::copy_file(folder + "d/flashfile.ini", folder + "d/flashfile.in"); // what a cut path would name
    for (std::string f : {folder + "d", std::string()}) { // too long, or none at all: the defaults
        cfg_complete = read_flash_settings(f.empty() ? nullptr : f.c_str(), cfg_modemname, cfg_filename);
        EXPECT_EQ(settings_read() + settings_path, "0|0|||||||0");
    }
}

TEST(Settings, PortableReaderAgreesWithWindows) {
    fs::remove_all(DIR), fs::create_directories(DIR);
    for (const IniFile &f : ini_files) fake::write_file(DIR + "/" + f.name, f.bytes);
    for (const IniQuery &q : ini_queries) {
        char out[300];
        std::memset(out, '#', sizeof out);
        uint32_t n = profile_read_string(q.section, q.key, q.def, out, q.capacity, (DIR + "/" + q.file).c_str());
        EXPECT_EQ(std::make_pair(n, std::string(q.capacity ? out : "")), std::make_pair(q.count, std::string(q.value)))
            << q.file << " " << q.key;
        EXPECT_EQ(out[q.capacity], '#') << "written past the capacity";
    }
}

// Load and loader files are read as a C text stream reads them on Windows.
TEST(Files, ReadAsATextStream) {
    const std::string path = fake::scratch() + "/t.txt";
    fake::write_file(path, std::string("a\r\nb\rc\0\xff\r\x1a" "after", 15)); // only a CR before LF is dropped; ^Z ends it
    text_file *f = text_open(path.c_str());
    char buf[16];
    EXPECT_EQ(std::string(buf, text_read(f, buf, 2)), "a\n");
    EXPECT_EQ(std::string(buf, text_read(f, buf, sizeof buf)), std::string("b\rc\0\xff\r", 6));
    EXPECT_EQ(text_getc(f), -1);
    text_close(f);
    EXPECT_EQ(std::make_pair(file_size(path.c_str()), file_size("/none")), std::make_pair(15L, -1L));
}

TEST(Startup, FolderSettingsAndFirstPort) {
    const fs::path longer = fs::path(DIR) / std::string(242 - DIR.size() - 1, 'g'); // too long for the settings path
    const fs::path full = fs::path(DIR) / std::string(241 - DIR.size() - 1, 'f');   // "\flashfile.exe": 255 in all
    const struct { std::string module; bool current; int complete; } cases[] = { // the program's path; its folder made current
        {DIR + "/program\\flashfile.exe", true, 1},
        {"flashfile.exe", false, 0},                 // no folder at all
        {"x", false, 1},                             // one character: a relative folder
        {DIR + "\\" + std::string(300, 'L') + "\\flashfile.exe", false, 0}, // cut, it would name the folder above
        {full.string() + "\\flashfile.exe", false, 0}, // fills the buffer: taken as cut
        {longer.string() + "\\f.exe", true, 1},       // read as ".\flashfile.ini"
        {DIR + "/" + std::string(245 - DIR.size() - 1, 'h') + "\\f.exe", false, 0}, // such a folder cannot be current
    };
    for (const auto &c : cases) {
        fs::remove_all(DIR);
        write_ini(DIR, "modemname=Wrong\nfilename=wrong.hex\n");
        for (fs::path f : {fs::path(DIR + "/program"), fs::path(DIR + "/x"), longer, full}) write_ini(f, "modemname=Test Modem\nfilename=modem.hex\n");
        fs::current_path(DIR);
        fake::reset(), fake::pc().module_path = c.module, fake::pc().now_ms = 5000;
        ASSERT_EQ(app_startup("3", 1), 1);
        std::string folder = c.module.substr(0, c.module.rfind('\\'));
        EXPECT_EQ(std::make_pair(fs::current_path() == fs::path(folder), cfg_complete), std::make_pair(c.current, c.complete))
            << c.module;
        EXPECT_STREQ(status_line1, "Quillmarch Flash Loader Ver:1.4");
        EXPECT_STREQ(status_line2, c.complete ? "Searching for Test Modem." : "Searching for the Modem.");
        EXPECT_EQ(std::vector<int>({static_cast<int>(start_tick), flash_state, com_port}), std::vector<int>({5000, SEQ_INIT, 3}));
    }
    fs::current_path(fake::scratch());
    // The first port: the first character's code AND 15; none leaves 0.
    for (auto [line, port] : {std::pair<const char *, int>{"3", 3}, {"12", 1}, {"0", 0}, {"a", 1}, {"C", 3},
                              {":", 10}, {"P", 0}, {"\xff", 15}, {"", 0}}) {
        fake::reset();
        ASSERT_EQ(app_startup(line, 1), 1);
        EXPECT_EQ(com_port, port) << line;
    }
    EXPECT_EQ(command_line_port(nullptr), 0);
    fake::reset(), fake::pc().create_fails = true;
    EXPECT_EQ(app_startup("3", 1), 0);
}

TEST(Window, StatusLinesBarAndClose) {
    fake::reset(), cfg_complete = 1;
    std::snprintf(cfg_modemname, sizeof cfg_modemname, "%s", std::string(254, 'N').c_str()), init_status_lines();
    EXPECT_EQ(std::string(status_line2), "Searching for " + std::string(113, 'N'));

    // The bar: a quarter inch in from each side, the fourth line down; filled
    // by the loader's lines in state 4, the load's bytes in 7 and 8.
    loader_lines_sent = 301, loader_line_total = 603, bytes_sent = 8000000, load_file_size = 8388608;
    // The bar: outline left, top, right, bottom; fill right ({}: no bar).
    const struct { seq_state state; int right, dpi_x, dpi_y, line; std::vector<int> bar; } cases[] = {
        {SEQ_LOADER, 432, 96, 96, 16, {24, 72, 408, 88, 215}}, {SEQ_SEND, 600, 120, 144, 20, {30, 96, 570, 116, 544}},
        {SEQ_OPEN_LOAD, 432, 96, 96, 16, {}}, {SEQ_POLL, 432, 96, 96, 16, {24, 72, 408, 88, 390}}, {SEQ_PROBE, 432, 96, 96, 16, {}},
        {SEQ_OPEN_LOADER, 432, 96, 96, 16, {}}, {SEQ_NOT_RESPONDING, 432, 96, 96, 16, {}},
    };
    for (const auto &c : cases) {
        plat_rect o{}, f{};
        std::vector<int> bar;
        flash_start(c.state);
        if (bar_geometry(c.right, c.dpi_x, c.dpi_y, c.line, &o, &f)) {
            bar = {o.left, o.top, o.right, o.bottom, f.right};
            EXPECT_EQ(std::vector<int>({f.left, f.top, f.bottom}), std::vector<int>({o.left, o.top, o.bottom}));
        }
        EXPECT_EQ(bar, c.bar) << "state " << c.state;
    }
    plat_rect o{}, f{};
    flash_start(SEQ_SEND);
    for (auto [count, total, fill] : {std::tuple<int, int, int>{0, 1000, -1}, {1, 0, -1}, {1, 1000, 24}, {1, 1, 408}, {1500, 1000, 408},
                                      {0x7FFFFFF0, 0x7FFFFFF0, 408}}) {
        bytes_sent = count, load_file_size = total, f.right = -1, bar_geometry(432, 96, 96, 16, &o, &f);
        EXPECT_EQ(f.right, fill) << count << " of " << total;
    }


    // The open-file dialog, as the user meets it.
    fake::pc().dialog = [](plat_open_file *req) {
        EXPECT_EQ(std::string(download_path) + "|" + req->file, "modem.hex|modem.hex");
        EXPECT_EQ(std::string(req->filter, 39), std::string("Hex files (*.hex)\0*.hex\0All files\0*.*\0", 39));
        EXPECT_EQ(std::vector<uint32_t>({req->filter_index, req->max_file, req->max_file_title, req->flags}),
                  std::vector<uint32_t>({1, 256, 256, 0x1004}));
        EXPECT_EQ(std::string(req->title) + "|" + req->def_ext, "Choose File to Download|hex");
        std::snprintf(req->file, req->max_file, "C:\\loads\\v2 %s.hex", std::string(239, 'm').c_str()); // as long as it can be
        return 1;
    };
    EXPECT_EQ(choose_load_file(), 1);
    EXPECT_EQ(download_path, "C:\\loads\\v2 " + std::string(239, 'm') + ".hex");
}

} // namespace
