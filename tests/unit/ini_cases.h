// Settings files whose reading has rules of its own, and what Windows' GetPrivateProfileStringA
// gives for them: the unit tests hold the portable reader to it, ini_check.exe the real call.
#pragma once

struct IniFile {
    const char *name, *bytes;
};
struct IniQuery {
    const char *file, *key, *def;
    unsigned count;
    const char *value;
    unsigned capacity = 255;
    const char *section = "FlashInfo";
};

inline const IniFile ini_files[] = {
    {"basic.ini", "[FlashInfo]\r\nNoPopUps=yes\r\nmodemname=Test "
                  "Modem\r\nfilename=modem.hex\r\natchecksum=<empty>\r\nchecksumresponse=\r\n"},
    {"cr.ini", "[FlashInfo]\rmodemname=Cr Modem\rfilename=cr.hex\r"},
    {"case.ini", "[flashINFO]\r\nMODEMNAME=Upper Key\r\n"},
    {"mixed.ini", "[FlashInfo]\r\nmodemname=Mixed\rfilename=mixed.hex\natcmd=ATZ\r\ncustom=Modem "
                  "\xe9\xfc\xdf\r\n"},
    {"blanks.ini", "   [ FlashInfo ]   \r\n  modemname   =   Spaced Name   \r\nmodem name = inner "
                   "blank key\r\natcmd=   \r\n\t NoPopUps \t= \t yes \t\r\n"},
    {"quotes.ini",
     "[FlashInfo]\r\nmodemname=\"Quoted "
     "Modem\"\r\nfilename='single.hex'\r\natcmd=\"mismatched'\r\nresponse=\"\r\natchecksum="
     "\"\"\r\nq1=\"a\"b\"\r\nq2=x\"y\"\r\nq6=  \"  blank before quote\"  \r\nq7='\"mixed\"'\r\n"},
    {"dup.ini", "[FlashInfo]\r\nmodemname=first\r\nmodemname=second\r\n[Other]\r\natcmd=other "
                "section\r\n[FlashInfo]\r\nfilename=two.hex\r\n"},
    {"comments.ini", "; a comment\r\n[FlashInfo]\r\n;modemname=commented out\r\nmodemname=real ; "
                     "not a comment\r\n"},
    {"nosection.ini", "modemname=before any section\r\n[Other]\r\nfilename=other\r\n"},
    {"fold.ini", "[Zone]\r\nzz=1\r\n"},
    {"novalue.ini",
     "[FlashInfo]\r\nmodemname\r\nfilename=\r\n  \r\n=no name\r\nresponse=OK^a=b\r\n"},
    {"brackets.ini", "[FlashInfo\r\nmodemname=unclosed\r\n[FlashInfo]junk\r\nfilename=junk after "
                     "bracket\r\n[Flash]Info]\r\natcmd=two brackets\r\n"},
    {"odd_blanks.ini", "\xef\xbb\xbf[FlashInfo]\r\nmodemname=\x0bvt\x0c\r\nfilename="
                       "tab\there\r\natcmd=eof\x1a\r\nresponse=\x1a lead\r\n"},
    {"ends.ini", "\r\n\r\n[FlashInfo]\r\r\n\n modemname=runs of ends\r\r\r\n\n\nfilename=f.hex"},
};
inline const IniQuery ini_queries[] = {
    {"basic.ini", "modemname", "", 10, "Test Modem"},
    {"basic.ini", "MODEMNAME", "", 10, "Test Modem", 255, "flashinfo"},
    {"basic.ini", "  modemname\t", "", 10, "Test Modem", 255, "\tFlashInfo "},
    {"basic.ini", "atchecksum", "", 7, "<empty>"},
    {"basic.ini", "checksumresponse", "<empty>", 0, ""},
    {"basic.ini", "nokey", "  default with blanks  ", 21, "  default with blanks"},
    {"basic.ini", "nokey", "\"quoted default\"", 14, "quoted default"},
    {"basic.ini", "nokey", "'", 1, "'"},
    {"basic.ini", "nokey", " ", 1, " "},
    {"basic.ini", "nokey", "x ", 1, "x"},
    {"basic.ini", "modemname", "", 0, "", 255, "GlashInfo"},
    {"fold.ini", "ZZ", "", 1, "1", 255, "zONE"},
    {"basic.ini", "modemname", "", 4, "Test", 5},
    {"basic.ini", "modemname", "", 0, "", 1},
    {"basic.ini", "modemname", "", 10, "Test Modem", 11},
    {"cr.ini", "filename", "", 6, "cr.hex"},
    {"case.ini", "modemname", "", 9, "Upper Key"},
    {"blanks.ini", "modemname", "", 11, "Spaced Name"},
    {"blanks.ini", "modem name", "", 15, "inner blank key"},
    {"blanks.ini", "modem  name", "x", 1, "x"},
    {"blanks.ini", "atcmd", "<empty>", 0, ""},
    {"blanks.ini", "NoPopUps", "", 3, "yes"},
    {"quotes.ini", "modemname", "", 12, "Quoted Modem"},
    {"quotes.ini", "modemname", "", 11, "Quoted Mode", 13},
    {"quotes.ini", "modemname", "", 12, "Quoted Modem", 14},
    {"quotes.ini", "filename", "", 10, "single.hex"},
    {"quotes.ini", "atcmd", "", 12, "\"mismatched'"},
    {"quotes.ini", "response", "", 1, "\""},
    {"quotes.ini", "atchecksum", "<empty>", 0, ""},
    {"quotes.ini", "atchecksum", "", 0, "", 1},
    {"quotes.ini", "q1", "", 3, "a\"b"},
    {"quotes.ini", "q6", "", 20, "  blank before quote"},
    {"quotes.ini", "q7", "", 7, "\"mixed\""},
    {"dup.ini", "modemname", "", 5, "first"},
    {"dup.ini", "filename", "<empty>", 7, "<empty>"},
    {"comments.ini", "modemname", "", 20, "real ; not a comment"},
    {"nosection.ini", "modemname", "", 18, "before any section", 255, ""},
    {"novalue.ini", "modemname", "dflt", 4, "dflt"},
    {"novalue.ini", "filename", "dflt", 0, ""},
    {"novalue.ini", "", "", 7, "no name"},
    {"novalue.ini", "response", "", 6, "OK^a=b"},
    {"brackets.ini", "modemname", "<empty>", 7, "<empty>"},
    {"brackets.ini", "filename", "", 18, "junk after bracket"},
    {"brackets.ini", "atcmd", "", 12, "two brackets", 255, "Flash]Info"},
    {"odd_blanks.ini", "modemname", "", 2, "vt"},
    {"odd_blanks.ini", "filename", "", 8, "tab\there"},
    {"odd_blanks.ini", "atcmd", "", 3, "eof"},
    {"odd_blanks.ini", "response", "", 4, "lead"},
    {"mixed.ini", "custom", "", 9, "Modem \xe9\xfc\xdf"},
    {"ends.ini", "modemname", "", 12, "runs of ends"},
    {"ends.ini", "filename", "", 5, "f.hex"},
    {"missing.ini", "modemname", "\"quoted default\"", 14, "quoted default"},
    {"nodir/missing.ini", "modemname", "\"quoted default\"", 16, "\"quoted default\""},
    {"nodir/missing.ini", "modemname", "abcde", 4, "abcd", 5},
    {"nodir/missing.ini", "x", "abc", 3, "abc", 5},
    {"basic.ini", "modemname", "", 0, "", 0},
};
