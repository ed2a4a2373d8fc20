// Shared by the application shell tests: a fresh fake platform and program
// state, and a scratch folder for settings files.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "app/app.h"
#include "fake/fake_platform.h"
#include "flash/flash.h"
#include "link/link.h"

namespace apptest {

class AppTest : public ::testing::Test {
protected:
    std::filesystem::path dir;
    std::filesystem::path cwd_before;

    void SetUp() override {
        fake::reset();
        cwd_before = std::filesystem::current_path();
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = std::filesystem::path(TEST_BINARY_DIR) / "app_scratch" /
              (std::string(info->test_suite_name()) + "." + info->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        // Values from an earlier test must not pass for values read now.
        no_popups = skip_flush = cfg_complete = -1;
        for (char *t : {cfg_modemname, cfg_filename, cfg_atcmd, cfg_response, cfg_atchecksum,
                        cfg_checksumresponse})
            std::snprintf(t, 256, "stale");
        std::snprintf(status_line1, sizeof status_line1, "stale");
        std::snprintf(status_line2, sizeof status_line2, "stale");
        flash_state = -1;
        com_port = 0;
        hComm = nullptr;
        loader_lines_sent = 0;
        loader_line_total = 0;
        bytes_sent = 0;
        load_file_size = 0;
    }

    void TearDown() override {
        std::filesystem::current_path(cwd_before);
        fake::reset();
    }

    // Writes a settings file (bytes as given) into `folder`.
    static void write_file(const std::filesystem::path &path, const std::string &text) {
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << text;
    }
    void write_settings(const std::string &text) { write_file(dir / "flashfile.ini", text); }

    // The settings read from `dir` the way start-up reads them.
    int read_settings() { return read_flash_settings(dir.c_str(), cfg_modemname, cfg_filename); }
};

} // namespace apptest
