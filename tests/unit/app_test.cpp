// Start-up, the settings file, the text readers and the main window's logic.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "app/app.h"
#include "fake/fake.h"
#include "flash/flash.h"
#include "link/link.h"
#include "link/log.h"
#include "settings/settings.h"
#include "status/status.h"
#include "text/profile.h"
#include "text/textfile.h"
#include "unit/ini_cases.h"

namespace {

namespace fs = std::filesystem;
const std::string DIR = fake::scratch() + "/app";

void write_ini(const fs::path &dir, const std::string &keys) {
    fs::create_directories(dir);
    fake::write_file((dir / "flashfile.ini").string(), "[FlashInfo]\r\n" + keys);
}

// NoPopUps|SkipFlush|modemname|filename|atcmd|response|atchecksum|checksumresponse|complete, log
std::string settings_read() {
    char out[2048];
    std::snprintf(out, sizeof out, "%d|%d|%s|%s|%s|%s|%s|%s|%d%s", no_popups, skip_flush,
                  cfg_modemname, cfg_filename, cfg_atcmd, cfg_response, cfg_atchecksum,
                  cfg_checksumresponse, cfg_complete, cfg_logfile);
    return out;
}

TEST(Settings, KeysAsTheirRulesSay) {
    const std::string v300(300, 'v'), v254(254, 'v'), none = "0|0|||||||0";
    const std::tuple<std::string, std::string> cases[] = {
        // keys "-": no settings file
        {"NoPopUps=yes\nSkipFlush=YES\nmodemname=Test Modem\nfilename=C:\\loads\\modem.hex\n"
         "atcmd=ATI5\nresponse=OK^READY\natchecksum=AT&&FC\nchecksumresponse=CS "
         "OK\nlogfile=f.log\n",
         "1|1|Test Modem|C:\\loads\\modem.hex|ATI5\r|OK^READY|AT&&FC\r|CS OK|1f.log"},
        {"NoPopUps=yEs\nSkipFlush=\"YeS\"\n", "1|1|||||||0"},
        {"NoPopUps=xes\nSkipFlush=yxs\n", none},
        {"NoPopUps=yex\nSkipFlush=yes!\n", none},
        {"NoPopUps=y\nSkipFlush=ye\n", none},
        {"atcmd=\nresponse=<empty>\natchecksum=<EMPTY>\nchecksumresponse=\"<empty>\"\n",
         "0|0|||||<EMPTY>\r||0"},
        {"modemname=Test Modem\n", "0|0|Test Modem||||||0"},
        {"modemname=\n;" + std::string(4057, 'c') + "\nfilename=f.hex", "0|0||f.hex|||||0"},
        {"modemname=" + v300 + "\nfilename=" + v254 + "\natcmd=" + v300 + "\n",
         "0|0|" + v254 + "|" + v254 + "|" + v254 + "\r||||1"},
        {"-", none}};
    for (const auto &[keys, read] : cases) {
        fs::remove_all(DIR);
        if (keys != "-") write_ini(DIR, keys);
        cfg_complete = read_flash_settings(DIR.c_str(), cfg_modemname, cfg_filename);
        EXPECT_EQ(settings_read(), read) << keys;
    }
    // 241 characters of folder leave room for "\flashfile.ini"; 242 do not, nor does no folder: the
    // defaults, every value emptied, rather than what a cut path would name.
    std::string folder = DIR + "/" + std::string(241 - DIR.size() - 1, 'd');
    write_ini(folder, "NoPopUps=yes\nmodemname=M\nfilename=f.hex\natcmd=A\nresponse=R\n"
                      "atchecksum=C\nchecksumresponse=S\nlogfile=L\n");
    EXPECT_EQ(read_flash_settings(folder.c_str(), cfg_modemname, cfg_filename), 1);
    EXPECT_EQ(settings_path, folder + "\\flashfile.ini"); // named in the log
    write_ini(folder + "d", "modemname=M\nfilename=f.hex\n");
    fs::copy_file(folder + "d/flashfile.ini", folder + "d/flashfile.in");
    for (std::string f : {folder + "d", std::string()}) {
        cfg_complete =
            read_flash_settings(f.empty() ? nullptr : f.c_str(), cfg_modemname, cfg_filename);
        EXPECT_EQ(settings_read() + settings_path, none);
    }
}

TEST(Settings, PortableReaderAgreesWithWindows) {
    fs::remove_all(DIR), fs::create_directories(DIR);
    for (const IniFile &f : ini_files) fake::write_file(DIR + "/" + f.name, f.bytes);
    for (const IniQuery &q : ini_queries) {
        char out[300];
        std::memset(out, '#', sizeof out);
        std::string path = DIR + "/" + q.file;
        uint32_t n = profile_read_string(q.section, q.key, q.def, out, q.capacity, path.c_str());
        EXPECT_EQ(n, q.count) << q.file << " " << q.key;
        EXPECT_EQ(std::string(q.capacity ? out : ""), q.value) << q.file << " " << q.key;
        EXPECT_EQ(out[q.capacity], '#') << "written past the capacity";
    }
}

// Load and loader files are read as a C text stream reads them on Windows (only a CR before LF is
// dropped, ^Z ends it), and line by line with 0xFF as their end.
TEST(Files, ReadAsATextStream) {
    const std::string path = fake::scratch() + "/t.txt";
    fake::write_file(path, std::string("a\r\nb\rc\0\377\r\032after", 15));
    text_file *f = text_open(path.c_str());
    char buf[16];
    EXPECT_EQ(std::string(buf, text_read(f, buf, 2)), "a\n");
    EXPECT_EQ(std::string(buf, text_read(f, buf, sizeof buf)), std::string("b\rc\0\xff\r", 6));
    EXPECT_EQ(text_getc(f), -1);
    text_close(f);
    EXPECT_EQ(std::make_pair(file_size(path.c_str()), file_size("/none")),
              std::make_pair(15L, -1L));
    // Lines: their whole length, what ended them (LF; CR where it ends lines; the end mark).
    fake::write_file(path, "ab\r\ncd\rlonger\r\377after");
    std::string got;
    for (bool cr_ends : {true, false}) {
        f = text_open(path.c_str());
        for (int n = 0, end = 0; end != TEXT_END_MARK;) {
            n = text_line(f, buf, 4, cr_ends, &end);
            got += std::string(buf, std::min(n, 4)) + ":" + std::to_string(n) + ":" +
                   std::to_string(end) + " ";
        }
        EXPECT_EQ(text_getc(f), -1);
        text_close(f);
    }
    EXPECT_EQ(got, "ab:2:10 cd:2:13 long:6:13 :0:255 ab:2:10 cd\rl:10:255 ");
}

TEST(Startup, FolderSettingsAndFirstPort) {
    const fs::path longer = fs::path(DIR) / std::string(242 - DIR.size() - 1, 'g'); // too long
    const fs::path full = fs::path(DIR) / std::string(241 - DIR.size() - 1, 'f');   // 255 in all
    // The program's path; its folder made current; the settings read from there.
    const std::tuple<std::string, bool, int> cases[] = {
        {DIR + "/program\\flashfile.exe", true, 1},
        {"flashfile.exe", false, 0}, // no folder at all
        {"x", false, 1},             // one character: a relative folder
        {DIR + "\\" + std::string(300, 'L') + "\\flashfile.exe", false, 0}, // cut: the folder above
        {full.string() + "\\flashfile.exe", false, 0}, // fills the buffer: taken as cut
        {longer.string() + "\\f.exe", true, 1},        // read as ".\flashfile.ini"
        {DIR + "/" + std::string(245 - DIR.size() - 1, 'h') + "\\f.exe", false, 0}, // none such
    };
    for (const auto &[module, current, complete] : cases) {
        fs::remove_all(DIR);
        write_ini(DIR, "modemname=Wrong\nfilename=wrong.hex\n");
        for (fs::path f : {fs::path(DIR + "/program"), fs::path(DIR + "/x"), longer, full})
            write_ini(f, "modemname=Test Modem\nfilename=modem.hex\n");
        fs::current_path(DIR);
        fake::reset(), fake::pc().module_path = module, fake::pc().now_ms = 5000;
        ASSERT_EQ(app_startup("3", 1), 1);
        std::string folder = module.substr(0, module.rfind('\\'));
        EXPECT_EQ(fs::current_path() == fs::path(folder), current) << module;
        EXPECT_EQ(cfg_complete, complete) << module;
        EXPECT_STREQ(status_line1, "Quillmarch Flash Loader Ver:1.4");
        EXPECT_STREQ(status_line2,
                     complete ? "Searching for Test Modem." : "Searching for the Modem.");
        EXPECT_TRUE(start_tick == 5000 && flash_state == SEQ_INIT && com_port == 3);
    }
    fs::current_path(fake::scratch());
    // The first port: the first character's code AND 15; none leaves 0.
    const std::pair<const char *, int> ports[] = {{"12", 1}, {":", 10}, {"\xff", 15}, {"", 0}};
    for (auto [line, port] : ports) {
        fake::reset();
        ASSERT_EQ(app_startup(line, 1), 1);
        EXPECT_EQ(com_port, port) << line;
    }
    // The Linux command line's port and log, over "3" and the settings' log; no program path.
    app_choose({.first_port = 1}), fake::reset(), fake::pc().module_path = "", fs::remove("L");
    int started = app_startup("3", 1, "L");
    log_end(), app_choose({});
    EXPECT_TRUE(started && com_port == 1);
    EXPECT_EQ(fake::read_file("L").find(", settings (none), load file (none)\n"), 56u);
    EXPECT_EQ(command_line_port(nullptr), 0);
    // The whole command line: the program's name ends at its closing quote, blank or not; an
    // unquoted one holds a byte of 0x80 and above; the argument itself is such a byte.
    for (auto [whole, port] : {std::pair<const char *, int>{"\"with blank\\flashfile.exe\"3", 3},
                               {"Pr\374fung\\flashfile.exe 8", 8},
                               {"\"two blanks\\flashfile.exe\" \xE9", 9}})
        EXPECT_EQ(command_line_port(command_line_args(whole)), port) << whole;
    fake::reset(), fake::pc().create_fails = true;
    EXPECT_EQ(app_startup("3", 1), 0);
}

TEST(Window, StatusLinesBarAndDialog) {
    fake::reset(), cfg_complete = 1;
    std::snprintf(cfg_modemname, sizeof cfg_modemname, "%s", std::string(254, 'N').c_str());
    init_status_lines();
    EXPECT_EQ(std::string(status_line2), "Searching for " + std::string(113, 'N'));
    com_port = 3, set_found_line("..."); // cut, never the port
    EXPECT_EQ(std::string(status_line1), "Found " + std::string(110, 'N') + " on COM3...");

    // The bar: a quarter inch in from each side, the fourth line down; filled by the loader's lines
    // in state 4, the load's bytes in 7 and 8. Outline left, top, right, bottom; fill right.
    loader_lines_sent = 301, loader_line_total = 603, bytes_sent = 8000000,
    load_file_size = 8388608;
    using Bar = std::vector<int>;
    const std::tuple<seq_state, int, int, int, int, Bar> cases[] = {
        {SEQ_LOADER, 432, 96, 96, 16, Bar{24, 72, 408, 88, 215}},
        {SEQ_SEND, 600, 120, 144, 20, Bar{30, 96, 570, 116, 544}},
        {SEQ_POLL, 432, 96, 96, 16, Bar{24, 72, 408, 88, 390}},
        {SEQ_OPEN_LOAD, 432, 96, 96, 16, Bar()},
        {SEQ_PROBE, 432, 96, 96, 16, Bar()}};
    for (const auto &[state, right, dpi_x, dpi_y, line, want] : cases) {
        plat_rect o{}, f{};
        Bar bar;
        flash_start(state);
        if (bar_geometry(right, dpi_x, dpi_y, line, &o, &f)) {
            bar = {o.left, o.top, o.right, o.bottom, f.right};
            EXPECT_TRUE(f.left == o.left && f.top == o.top && f.bottom == o.bottom);
        }
        EXPECT_EQ(bar, want) << "state " << state;
    }
    plat_rect o{}, f{};
    flash_start(SEQ_SEND);
    // The fill's right end for a count of a total (-1: no bar).
    const std::tuple<int, int, int> fills[] = {{0, 1000, -1},     {1, 0, -1},
                                               {1, 1000, 24},     {1, 1, 408},
                                               {1500, 1000, 408}, {0x7FFFFFF0, 0x7FFFFFF0, 408}};
    for (auto [count, total, fill] : fills) {
        bytes_sent = count, load_file_size = total, f.right = -1,
        bar_geometry(432, 96, 96, 16, &o, &f);
        EXPECT_EQ(f.right, fill) << count << " of " << total;
    }

    // The open-file dialog, as the user meets it.
    fake::pc().dialog = [](plat_open_file *req) {
        EXPECT_EQ(std::string(download_path) + "|" + req->file, "modem.hex|modem.hex");
        const char filter[] = "Hex files (*.hex)\0*.hex\0All files\0*.*\0";
        EXPECT_EQ(std::string(req->filter, sizeof filter), std::string(filter, sizeof filter));
        EXPECT_TRUE(req->filter_index == 1 && req->max_file == 256 && req->max_file_title == 256);
        EXPECT_EQ(req->flags, 0x1004u);
        EXPECT_EQ(std::string(req->title) + "|" + req->def_ext, "Choose File to Download|hex");
        std::string longest = "C:\\loads\\v2 " + std::string(239, 'm') + ".hex";
        return std::snprintf(req->file, req->max_file, "%s", longest.c_str()), 1;
    };
    EXPECT_EQ(choose_load_file(), 1);
    EXPECT_EQ(download_path, "C:\\loads\\v2 " + std::string(239, 'm') + ".hex");
}

} // namespace
