// Settings files whose reading has rules of its own, and what Windows'
// GetPrivateProfileStringA gives for them: the unit tests hold the portable
// reader to this table, the Wine test (ini_check.exe) the real call.
#pragma once

struct IniFile {
    const char *name, *bytes;
};
struct IniQuery {
    const char *file, *section, *key, *def;
    unsigned capacity, count;
    const char *value;
};

inline const IniFile ini_files[] = {
    {"basic.ini", "[FlashInfo]\r\nNoPopUps=yes\r\nmodemname=Test Modem\r\nfilename=modem.hex\r\natchecksum=<empty>\r\nchecksumresponse=\r\n"},
    {"cr.ini", "[FlashInfo]\rmodemname=Cr Modem\rfilename=cr.hex\r"},
    {"mixed.ini", "[FlashInfo]\r\nmodemname=Mixed\rfilename=mixed.hex\natcmd=ATZ\r\ncustom=Modem \xe9\xfc\xdf\r\n"},
    {"case.ini", "[flashINFO]\r\nMODEMNAME=Upper Key\r\n"},
    {"blanks.ini", "   [ FlashInfo ]   \r\n  modemname   =   Spaced Name   \r\nmodem name = inner blank key\r\natcmd=   \r\n\t NoPopUps \t= \t yes \t\r\n"},
    {"quotes.ini", "[FlashInfo]\r\nmodemname=\"Quoted Modem\"\r\nfilename='single.hex'\r\natcmd=\"mismatched'\r\nresponse=\"\r\natchecksum=\"\"\r\nq1=\"a\"b\"\r\nq2=x\"y\"\r\nq6=  \"  blank before quote\"  \r\nq7='\"mixed\"'\r\n"},
    {"dup.ini", "[FlashInfo]\r\nmodemname=first\r\nmodemname=second\r\n[Other]\r\natcmd=other section\r\n[FlashInfo]\r\nfilename=two.hex\r\n"},
    {"comments.ini", "; a comment\r\n[FlashInfo]\r\n;modemname=commented out\r\nmodemname=real ; not a comment\r\n"},
    {"nosection.ini", "modemname=before any section\r\n[Other]\r\nfilename=other\r\n"},
    {"novalue.ini", "[FlashInfo]\r\nmodemname\r\nfilename=\r\n  \r\n=no name\r\nresponse=OK^a=b\r\n"},
    {"brackets.ini", "[FlashInfo\r\nmodemname=unclosed\r\n[FlashInfo]junk\r\nfilename=junk after bracket\r\n[Flash]Info]\r\natcmd=two brackets\r\n"},
    {"odd_blanks.ini", "\xef\xbb\xbf[FlashInfo]\r\nmodemname=\x0bvt\x0c\r\nfilename=tab\there\r\natcmd=eof\x1a\r\nresponse=\x1a lead\r\n"},
    {"fold.ini", "[Zone]\r\nzz=1\r\n"},
    {"ends.ini", "\r\n\r\n[FlashInfo]\r\r\n\n modemname=runs of ends\r\r\r\n\n\nfilename=f.hex"},
};
inline const IniQuery ini_queries[] = {
    {"basic.ini", "FlashInfo", "modemname", "", 255, 10, "Test Modem"},
    {"basic.ini", "flashinfo", "MODEMNAME", "", 255, 10, "Test Modem"},
    {"basic.ini", "\tFlashInfo ", "  modemname\t", "", 255, 10, "Test Modem"},
    {"basic.ini", "FlashInfo", "atchecksum", "", 255, 7, "<empty>"},
    {"basic.ini", "FlashInfo", "checksumresponse", "<empty>", 255, 0, ""},
    {"basic.ini", "FlashInfo", "nokey", "  default with blanks  ", 255, 21, "  default with blanks"},
    {"basic.ini", "FlashInfo", "nokey", "\"quoted default\"", 255, 14, "quoted default"},
    {"basic.ini", "FlashInfo", "nokey", "'", 255, 1, "'"},
    {"basic.ini", "FlashInfo", "nokey", " ", 255, 1, " "},
    {"basic.ini", "FlashInfo", "nokey", "x ", 255, 1, "x"},
    {"basic.ini", "GlashInfo", "modemname", "", 255, 0, ""},
    {"fold.ini", "zONE", "ZZ", "", 255, 1, "1"},
    {"basic.ini", "NoSection", "modemname", "<empty>", 255, 7, "<empty>"},
    {"basic.ini", "FlashInfo", "modemname", "", 5, 4, "Test"},
    {"basic.ini", "FlashInfo", "modemname", "", 1, 0, ""},
    {"basic.ini", "FlashInfo", "modemname", "", 11, 10, "Test Modem"},
    {"cr.ini", "FlashInfo", "filename", "", 255, 6, "cr.hex"},
    {"mixed.ini", "FlashInfo", "atcmd", "", 255, 3, "ATZ"},
    {"case.ini", "FlashInfo", "modemname", "", 255, 9, "Upper Key"},
    {"blanks.ini", "FlashInfo", "modemname", "", 255, 11, "Spaced Name"},
    {"blanks.ini", "FlashInfo", "modem name", "", 255, 15, "inner blank key"},
    {"blanks.ini", "FlashInfo", "modem  name", "x", 255, 1, "x"},
    {"blanks.ini", "FlashInfo", "atcmd", "<empty>", 255, 0, ""},
    {"blanks.ini", "FlashInfo", "NoPopUps", "", 255, 3, "yes"},
    {"quotes.ini", "FlashInfo", "modemname", "", 255, 12, "Quoted Modem"},
    {"quotes.ini", "FlashInfo", "modemname", "", 13, 11, "Quoted Mode"},
    {"quotes.ini", "FlashInfo", "modemname", "", 14, 12, "Quoted Modem"},
    {"quotes.ini", "FlashInfo", "filename", "", 255, 10, "single.hex"},
    {"quotes.ini", "FlashInfo", "atcmd", "", 255, 12, "\"mismatched'"},
    {"quotes.ini", "FlashInfo", "response", "", 255, 1, "\""},
    {"quotes.ini", "FlashInfo", "atchecksum", "<empty>", 255, 0, ""},
    {"quotes.ini", "FlashInfo", "q1", "", 255, 3, "a\"b"},
    {"quotes.ini", "FlashInfo", "q2", "", 255, 4, "x\"y\""},
    {"quotes.ini", "FlashInfo", "q6", "", 255, 20, "  blank before quote"},
    {"quotes.ini", "FlashInfo", "q7", "", 255, 7, "\"mixed\""},
    {"dup.ini", "FlashInfo", "modemname", "", 255, 5, "first"},
    {"dup.ini", "FlashInfo", "filename", "<empty>", 255, 7, "<empty>"},
    {"comments.ini", "FlashInfo", "modemname", "", 255, 20, "real ; not a comment"},
    {"nosection.ini", "", "modemname", "", 255, 18, "before any section"},
    {"nosection.ini", "FlashInfo", "modemname", "<empty>", 255, 7, "<empty>"},
    {"novalue.ini", "FlashInfo", "modemname", "dflt", 255, 4, "dflt"},
    {"novalue.ini", "FlashInfo", "filename", "dflt", 255, 0, ""},
    {"novalue.ini", "FlashInfo", "", "", 255, 7, "no name"},
    {"novalue.ini", "FlashInfo", "response", "", 255, 6, "OK^a=b"},
    {"brackets.ini", "FlashInfo", "modemname", "<empty>", 255, 7, "<empty>"},
    {"brackets.ini", "FlashInfo", "filename", "", 255, 18, "junk after bracket"},
    {"brackets.ini", "Flash]Info", "atcmd", "", 255, 12, "two brackets"},
    {"odd_blanks.ini", "FlashInfo", "modemname", "", 255, 2, "vt"},
    {"odd_blanks.ini", "FlashInfo", "filename", "", 255, 8, "tab\there"},
    {"odd_blanks.ini", "FlashInfo", "atcmd", "", 255, 3, "eof"},
    {"odd_blanks.ini", "FlashInfo", "response", "", 255, 4, "lead"},
    {"mixed.ini", "FlashInfo", "custom", "", 255, 9, "Modem \xe9\xfc\xdf"},
    {"ends.ini", "FlashInfo", "modemname", "", 255, 12, "runs of ends"},
    {"ends.ini", "FlashInfo", "filename", "", 255, 5, "f.hex"},
    {"missing.ini", "FlashInfo", "modemname", "\"quoted default\"", 255, 14, "quoted default"},
    {"missing.ini", "FlashInfo", "nokey", "long default", 5, 4, "long"},
    {"nodir/missing.ini", "FlashInfo", "modemname", "\"quoted default\"", 255, 16, "\"quoted default\""},
    {"nodir/missing.ini", "FlashInfo", "modemname", "long default  ", 5, 4, "long"},
    {"nodir/missing.ini", "FlashInfo", "modemname", "abcde", 5, 4, "abcd"},
    {"basic.ini", "FlashInfo", "modemname", "", 0, 0, ""},
};
