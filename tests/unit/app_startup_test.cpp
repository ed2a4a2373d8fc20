// Start-up: the program's folder, the settings before the window, the first
// port from the command line, and module paths too long for their buffers.
#include <cstring>

#include "app_fixture.h"

namespace {

using apptest::AppTest;

class Startup : public AppTest {
protected:
    const std::string settings = "[FlashInfo]\r\nmodemname=Test Modem\r\nfilename=modem.hex\r\n";

    void SetUp() override {
        AppTest::SetUp();
        fake::state().chdir_for_real = false;
    }
    // The fake's module path for a program in `folder`; the core cuts it at
    // the last backslash.
    static std::string module_in(const std::filesystem::path &folder, const char *exe = "flashfile.exe") {
        return folder.string() + "\\" + exe;
    }
};

TEST_F(Startup, CommandLineFirstCharacter) {
    struct Case {
        const char *line;
        int port;
    } cases[] = {{"3", 3}, {"12", 1}, {"0", 0}, {"A", 1}, {"a", 1}, {"C", 3},
                 {":", 10}, {"P", 0}, {"9 ignored", 9}, {"", 0}};
    for (const Case &c : cases) EXPECT_EQ(command_line_port(c.line), c.port) << '"' << c.line << '"';
    EXPECT_EQ(command_line_port(nullptr), 0);
    EXPECT_EQ(command_line_port("\xff"), 15);
}

TEST_F(Startup, FolderSettingsWindowTickStateAndPortInThatOrder) {
    write_settings(settings);
    fake::state().module_path = module_in(dir);
    fake::state().now_ms = 5000;
    ASSERT_EQ(app_startup("3", 10), 1);

    auto &s = fake::state();
    EXPECT_EQ(s.directories_set, std::vector<std::string>{dir.string()});
    EXPECT_TRUE(s.window_created);
    EXPECT_EQ(s.created_show_cmd, 10);
    EXPECT_EQ(cfg_complete, 1);
    // The settings were known when the window set its first texts.
    EXPECT_STREQ(status_line1, "Quillmarch Flash Loader Ver:1.4");
    EXPECT_STREQ(status_line2, "Searching for Test Modem.");
    EXPECT_EQ(start_tick, 5000u);
    EXPECT_EQ(flash_state, 0);
    EXPECT_EQ(com_port, 3);
}

TEST_F(Startup, WithoutSettingsOrCommandLine) {
    fake::state().module_path = module_in(dir);
    com_port = 0;
    ASSERT_EQ(app_startup("", 1), 1);
    EXPECT_EQ(cfg_complete, 0);
    EXPECT_STREQ(status_line2, "Searching for the Modem.");
    EXPECT_EQ(com_port, 0);
    EXPECT_EQ(no_popups, 0);
    EXPECT_STREQ(cfg_filename, "");
}

TEST_F(Startup, NoWindowNoLoop) {
    fake::state().module_path = module_in(dir);
    fake::state().create_fails = true;
    EXPECT_EQ(app_startup("3", 1), 0);
    EXPECT_EQ(flash_state, -1);
    EXPECT_EQ(com_port, 0);
}

// Where the program lies decides the folder made current and the settings
// read; a path that is not whole never points at some other folder.
TEST_F(Startup, ModulePathsAndTheSettingsTheyLeadTo) {
    namespace fs = std::filesystem;
    const fs::path g_folder = dir / std::string(245 - dir.string().size() - 1, 'g');
    const fs::path h_folder = dir / std::string(245 - dir.string().size() - 1, 'h'); // never created
    const fs::path f_folder = dir / std::string(254 - dir.string().size() - 15, 'f');
    const fs::path cut_folder = dir / std::string(300 - dir.string().size(), 'L');
    ASSERT_EQ(module_in(f_folder).size(), 254u);
    ASSERT_GT(module_in(cut_folder).size(), 255u);
    write_settings(settings);
    write_file(g_folder / "flashfile.ini", settings);
    write_file(dir / "elsewhere" / "flashfile.ini", "[FlashInfo]\nmodemname=Wrong\nfilename=wrong.hex\n");
    write_file(dir / "program" / "flashfile.ini", settings);
    const struct {
        const char *name;
        std::string module; // the fake's module path
        fs::path cwd;       // the current folder at start
        bool real_chdir;
        std::vector<std::string> dirs_set;
        int complete;
        fs::path cwd_after; // checked when given
    } cases[] = {
        // "flashfile.exe\flashfile.ini" names no file.
        {"no backslash", "flashfile.exe", dir, false, {}, 0, {}},
        // Cut at 254 characters the path would end inside the long folder
        // name, and the text before its last backslash would name dir,
        // which holds some other program's settings.
        {"cut path", module_in(cut_folder), dir, false, {}, 0, {}},
        {"254 characters are whole", module_in(f_folder), dir, false, {f_folder.string()}, 0, {}},
        // A renamed program in a folder of 245 characters: its settings path
        // would need 260 bytes, but the folder is made current, so
        // ".\flashfile.ini" is the same file.
        {"long folder made current", module_in(g_folder, "f.exe"), dir, true, {g_folder.string()}, 1, g_folder},
        // The current folder holds another program's settings: never read them.
        {"long folder not made current", module_in(h_folder, "f.exe"), dir, true, {h_folder.string()}, 0, dir},
        {"the program's folder, not the current one", module_in(dir / "program"), dir / "elsewhere", false,
         {(dir / "program").string()}, 1, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fake::reset();
        cfg_complete = -1;
        std::snprintf(cfg_modemname, 256, "stale");
        fake::state().chdir_for_real = c.real_chdir;
        fake::state().module_path = c.module;
        fs::current_path(c.cwd);
        ASSERT_EQ(app_startup("", 1), 1);
        EXPECT_EQ(fake::state().directories_set, c.dirs_set);
        EXPECT_EQ(cfg_complete, c.complete);
        EXPECT_STREQ(cfg_modemname, c.complete ? "Test Modem" : "");
        EXPECT_STREQ(status_line2, c.complete ? "Searching for Test Modem." : "Searching for the Modem.");
        if (!c.cwd_after.empty()) {
            EXPECT_EQ(fs::current_path(), c.cwd_after);
        }
    }
}

} // namespace
