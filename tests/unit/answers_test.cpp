// The flash loader's answers counted against the writes: a script of writes ('>') and reads ('|'
// between two); answers owed, matched and extra, the last matched (" banner": after the banner).
#include <gtest/gtest.h>

#include <cstring>

#include "flash/answers.h"

namespace {

// name, script, owed, taken, extra, latest
const std::tuple<const char *, const char *, int, int, int, const char *> cases[] = {
    {"answered", ">OK\r\n", 0, 1, 0, "OK"},
    {"its code to come", ">NOK", 1, 0, 0, ""},
    {"one late: the first answer is the first write's", ">>NOK3\r\n", 1, 1, 0, "NOK3"},
    {"late ones merged in one read: the last decides", ">>NOK3\r\nOK\r\n", 0, 2, 0, "OK"},
    {"a NOK after an OK undoes it", ">>OK\r\n|NOK4\r\n", 0, 2, 0, "NOK4"},
    {"split up", ">\r|N|O|K|2|\r|\n", 0, 1, 0, "NOK2"},
    {"code 7", ">NOK7\r\n", 0, 1, 0, "NOK"},
    {"early: before its write", "OK\r\n|>", 1, 0, 1, ""},
    {"extra", ">OK\r\nOK\r\n", 0, 1, 1, "OK"},
    {"noise around it", ">K#$%&*+-./;O<=?@[]^_\x01\x7f\xfeOK\r\n#$%", 0, 1, 0, "OK"},
    {"the reply to Z", ">\r\nQuillmarch Flash Loader Ver:1.|4\r\n|O|K\r\n", 0, 1, 0, "OK banner"},
    {"Z after an answer owed", ">>OK\r\n\r\nVVer:1.4\r\nOK\r\n", 0, 2, 0, "OK banner"},
    {"the banner goes with one answer", ">>Ver:1.4\r\nOK\r\nNOK1\r\n", 0, 2, 0, "NOK1"},
    {"parts of one are none", "er:1.4 Ver:1.3 Xer:1.4>OK\r\n", 0, 1, 0, "OK"},
};

TEST(Answers, CountedAgainstTheWrites) {
    for (auto &[name, script, owed, taken, extra, latest] : cases) {
        SCOPED_TRACE(name);
        answers_clear();
        for (const char *p = script; *p; ++p) { // a read: what stands between two marks
            size_t n = std::strcspn(p, ">|");
            answers_take(p, static_cast<int32_t>(n));
            if (*(p += n) == '>') answer_owed();
            else if (!*p) break;
        }
        EXPECT_EQ(std::make_tuple(answers_owed(), answers_taken(), answers_extra()),
                  std::make_tuple(owed, taken, extra));
        EXPECT_EQ(answer_latest_text() + std::string(answer_latest_banner() ? " banner" : ""),
                  latest);
    }
}

} // namespace
