#!/usr/bin/env python3
"""Writes awkward INI files and the queries for ini_dump into a folder.

    ini_cases.py OUTDIR      writes OUTDIR/*.ini and OUTDIR/queries.txt
"""
import os
import sys

S = "FlashInfo"
KEYS = ["NoPopUps", "SkipFlush", "modemname", "filename", "atcmd", "response",
        "atchecksum", "checksumresponse"]

LONG = "".join(chr(ord("A") + i % 26) for i in range(300))


def crlf(lines):
    return "".join(l + "\r\n" for l in lines).encode("latin-1")


def lf(lines):
    return "".join(l + "\n" for l in lines).encode("latin-1")


FILES = {
    "basic.ini": crlf(["[FlashInfo]", "NoPopUps=yes", "SkipFlush=no", "modemname=Test Modem",
                       "filename=modem.hex", "atcmd=ATI5", "response=OK^READY",
                       "atchecksum=<empty>", "checksumresponse="]),
    "lf.ini": lf(["[FlashInfo]", "modemname=Test Modem", "filename=C:\\loads\\modem.hex",
                  "atcmd=ATI5"]),
    "cr_only.ini": b"[FlashInfo]\rmodemname=Cr Modem\rfilename=cr.hex\r",
    "mixed_ends.ini": b"[FlashInfo]\r\nmodemname=Mixed\rfilename=mixed.hex\natcmd=ATZ\r\n",
    "case.ini": crlf(["[flashINFO]", "MODEMNAME=Upper Key", "NoPopUps=YES", "skipflush=Yes",
                      "Atcmd=ati5"]),
    "blanks.ini": crlf(["   [FlashInfo]   ", "  modemname   =   Spaced Name   ",
                        "\tfilename\t=\tx.hex\t", "modem name = inner blank key",
                        "atcmd=   ", "response = A ^ B ", "\t NoPopUps \t= \t yes \t"]),
    "inner_section_blanks.ini": crlf(["[ FlashInfo ]", "modemname=inner"]),
    "quotes.ini": crlf(["[FlashInfo]", "modemname=\"Quoted Modem\"", "filename='single.hex'",
                        "atcmd=\"mismatched'", "response=\"", "atchecksum=\"\"",
                        "checksumresponse=\" spaced inside \"", "NoPopUps=\"yes\"",
                        "SkipFlush='yes'", "q1=\"a\"b\"", "q2=x\"y\"", "q3=''",
                        "q4=\"only start", "q5=only end\"", "q6=  \"  blank before quote\"  ",
                        "q7='\"mixed\"'"]),
    "dup.ini": crlf(["[FlashInfo]", "modemname=first", "modemname=second", "filename=one.hex",
                     "[Other]", "atcmd=other section", "[FlashInfo]", "filename=two.hex",
                     "atcmd=only in second", "[flashinfo]", "response=only in third"]),
    "comments.ini": crlf(["; a comment", "[FlashInfo]", ";modemname=commented out",
                          "# hash line", "modemname=real ; not a comment", "filename=f.hex",
                          ";", "; atcmd=ATZ", "atcmd=AT;X"]),
    "nosection.ini": crlf(["modemname=before any section", "filename=before.hex", "[Other]",
                           "modemname=other"]),
    "before_section.ini": crlf(["modemname=before", "atcmd=ATB", "[FlashInfo]",
                                "filename=after.hex"]),
    "long.ini": crlf(["[FlashInfo]", "modemname=" + LONG, "v253=" + LONG[:253],
                      "v254=" + LONG[:254], "v255=" + LONG[:255], "v256=" + LONG[:256],
                      "filename=\"" + LONG + "\"", "q252=\"" + LONG[:252] + "\"",
                      "q253=\"" + LONG[:253] + "\"", "q254=\"" + LONG[:254] + "\"",
                      "q255=\"" + LONG[:255] + "\"", "q256=\"" + LONG[:256] + "\""]),
    "novalue.ini": crlf(["[FlashInfo]", "modemname", "filename=", "atcmd =<empty>",
                         "=no name", "response=OK^a=b"]),
    "brackets.ini": crlf(["[FlashInfo", "modemname=unclosed", "[FlashInfo]junk",
                          "filename=junk after bracket", "[FlashInfo] ; comment",
                          "atcmd=comment after bracket", "[Flash]Info]", "response=two brackets"]),
    "odd_blanks.ini": b"[FlashInfo]\r\nmodemname=\x0bvt\x0c\r\nfilename=tab\there\r\n"
                      b"atcmd=eof\x1a\r\nresponse=\x1a lead\r\n\x1a\r\n",
    "high_bytes.ini": b"[FlashInfo]\r\nmodemname=Modem \xe9\xfc\xdf\r\n",
    "bom.ini": b"\xef\xbb\xbf[FlashInfo]\r\nmodemname=after bom\r\n",
    "empty.ini": b"",
    "blank_lines.ini": b"\r\n\r\n[FlashInfo]\r\r\n\n modemname=runs of ends\r\r\r\n\n\nfilename=f.hex",
    "no_final_end.ini": b"[FlashInfo]\r\nmodemname=last line",
}

QUERIES = []
for name in sorted(FILES) + ["missing.ini"]:
    extra = []
    if name == "quotes.ini":
        extra = ["q1", "q2", "q3", "q4", "q5", "q6", "q7"]
    if name == "long.ini":
        extra = ["v253", "v254", "v255", "v256", "q252", "q253", "q254", "q255", "q256"]
    if name == "blanks.ini":
        extra = ["modem name", " modemname ", "modem  name"]
    if name == "novalue.ini":
        extra = [""]
    for key in KEYS + extra:
        for default in (["", "<empty>"] if key in KEYS[4:] else [""]):
            QUERIES.append((name, S, key, default, 255))
# The section and key names as the caller writes them, and odd defaults.
QUERIES += [
    ("basic.ini", "flashinfo", "MODEMNAME", "", 255),
    ("basic.ini", " FlashInfo ", " modemname ", "", 255),
    ("basic.ini", "FlashInfo", "nokey", "  default with blanks  ", 255),
    ("basic.ini", "FlashInfo", "nokey", "\"quoted default\"", 255),
    ("basic.ini", "FlashInfo", "nokey", "'", 255),
    ("basic.ini", "NoSection", "modemname", "<empty>", 255),
    ("missing.ini", "FlashInfo", "nokey", "def  ", 255),
    ("basic.ini", "FlashInfo", "modemname", "", 5),
    ("basic.ini", "FlashInfo", "modemname", "", 1),
    ("basic.ini", "FlashInfo", "modemname", "", 10),
    ("basic.ini", "FlashInfo", "modemname", "", 11),
    ("quotes.ini", "FlashInfo", "modemname", "", 12),
    ("quotes.ini", "FlashInfo", "modemname", "", 13),
    ("quotes.ini", "FlashInfo", "modemname", "", 14),
    ("missing.ini", "FlashInfo", "nokey", "long default", 5),
    ("nosection.ini", "", "modemname", "", 255),
    ("basic.ini", "\tFlashInfo", "modemname\t", "", 255),
    ("nodir/missing.ini", "FlashInfo", "modemname", "\"quoted default\"", 255),
    ("nodir/missing.ini", "FlashInfo", "modemname", "", 255),
]


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name, data in FILES.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    missing = os.path.join(out, "missing.ini")
    if os.path.exists(missing):
        os.remove(missing)
    with open(os.path.join(out, "queries.txt"), "w", newline="\n") as f:
        for q in QUERIES:
            f.write("|".join(str(x) for x in q) + "\n")


if __name__ == "__main__":
    main()
