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

TEST_F(Startup, ModulePathWithoutABackslashLeavesTheFolderAlone) {
    write_settings(settings);
    fake::state().module_path = "flashfile.exe";
    std::filesystem::current_path(dir);
    ASSERT_EQ(app_startup("", 1), 1);
    EXPECT_TRUE(fake::state().directories_set.empty());
    // The settings path "flashfile.exe\flashfile.ini" names no file.
    EXPECT_EQ(cfg_complete, 0);
    EXPECT_STREQ(cfg_modemname, "");
}

TEST_F(Startup, ACutModulePathIsNeitherMadeCurrentNorSearchedForSettings) {
    // The real program lies in dir\<long folder>\flashfile.exe; cut at 254
    // characters its path would end inside the long folder name, and the
    // text before the last backslash would name dir, which holds some
    // other program's settings.
    write_settings(settings);
    std::string module = module_in(dir / std::string(300 - dir.string().size(), 'L'));
    ASSERT_GT(module.size(), 255u);
    fake::state().module_path = module;
    ASSERT_EQ(app_startup("", 1), 1);
    EXPECT_TRUE(fake::state().directories_set.empty());
    EXPECT_EQ(cfg_complete, 0);
    EXPECT_STREQ(cfg_modemname, "");
    EXPECT_STREQ(status_line2, "Searching for the Modem.");
}

TEST_F(Startup, AModulePathOf254CharactersIsWhole) {
    std::filesystem::path folder = dir / std::string(254 - dir.string().size() - 15, 'f');
    std::string module = module_in(folder);
    ASSERT_EQ(module.size(), 254u);
    fake::state().module_path = module;
    ASSERT_EQ(app_startup("", 1), 1);
    EXPECT_EQ(fake::state().directories_set, std::vector<std::string>{folder.string()});
}

TEST_F(Startup, AFolderTooLongForTheSettingsPathIsReadThroughTheCurrentFolder) {
    // A renamed program, f.exe, in a folder of 245 characters: its path is
    // whole, but the settings path would need 260 bytes. The folder is made
    // current, so ".\flashfile.ini" is the same file.
    std::filesystem::path folder = dir / std::string(245 - dir.string().size() - 1, 'g');
    ASSERT_EQ(folder.string().size(), 245u);
    write_file(folder / "flashfile.ini", settings);
    fake::state().module_path = module_in(folder, "f.exe");
    fake::state().chdir_for_real = true;
    ASSERT_EQ(app_startup("", 1), 1);
    EXPECT_EQ(fake::state().directories_set, std::vector<std::string>{folder.string()});
    EXPECT_EQ(std::filesystem::current_path(), folder);
    EXPECT_EQ(cfg_complete, 1);
    EXPECT_STREQ(cfg_modemname, "Test Modem");
}

TEST_F(Startup, AFolderTooLongThatCannotBeMadeCurrentGivesTheDefaults) {
    // The current folder holds another program's settings: never read them.
    write_settings(settings);
    std::filesystem::current_path(dir);
    std::filesystem::path folder = dir / std::string(245 - dir.string().size() - 1, 'h'); // not created
    fake::state().module_path = module_in(folder, "f.exe");
    fake::state().chdir_for_real = true;
    ASSERT_EQ(app_startup("", 1), 1);
    EXPECT_EQ(fake::state().directories_set.size(), 1u);
    EXPECT_EQ(std::filesystem::current_path(), dir);
    EXPECT_EQ(cfg_complete, 0);
    EXPECT_STREQ(cfg_modemname, "");
}

TEST_F(Startup, SettingsComeFromTheProgramsFolderNotTheCurrentOne) {
    write_file(dir / "elsewhere" / "flashfile.ini", "[FlashInfo]\nmodemname=Wrong\nfilename=wrong.hex\n");
    write_file(dir / "program" / "flashfile.ini", settings);
    std::filesystem::current_path(dir / "elsewhere");
    fake::state().module_path = module_in(dir / "program");
    ASSERT_EQ(app_startup("", 1), 1);
    EXPECT_STREQ(cfg_modemname, "Test Modem");
}

} // namespace
