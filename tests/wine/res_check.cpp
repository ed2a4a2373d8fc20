// Checks the resources built into flashfile.exe: the menu bar label, the
// icon group and the manifest, read back with the loader's own calls.
//
//   res_check FLASHFILE.EXE      prints one line per check, exits 1 on a failure
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

static int failures;

static void check(bool ok, const char *what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok) ++failures;
}

static const unsigned char *resource(HMODULE m, LPCSTR name, LPCSTR type, DWORD *size) {
    HRSRC r = FindResourceA(m, name, type);
    if (!r) return nullptr;
    *size = SizeofResource(m, r);
    return static_cast<const unsigned char *>(LockResource(LoadResource(m, r)));
}

static BOOL CALLBACK count_name(HMODULE, LPCSTR, LPSTR, LONG_PTR n) {
    ++*reinterpret_cast<int *>(n);
    return TRUE;
}

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: res_check FLASHFILE.EXE\n");
        return 2;
    }
    HMODULE m = LoadLibraryExA(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!m) {
        std::fprintf(stderr, "res_check: cannot load %s\n", argv[1]);
        return 2;
    }
    DWORD size = 0;

    // The menu: found under the name the window class gives, in any case.
    const unsigned char *menu = resource(m, "GenericMenu", MAKEINTRESOURCEA(4), &size);
    check(menu != nullptr, "menu GENERICMENU found by the name \"GenericMenu\"");
    if (menu) {
        // Header (version 0, header size 0), then one item: flags, id, text.
        WORD flags, id;
        std::memcpy(&flags, menu + 4, 2);
        std::memcpy(&id, menu + 6, 2);
        const char *text = reinterpret_cast<const char *>(menu + 8);
        std::wstring wide;
        for (const WCHAR *w = reinterpret_cast<const WCHAR *>(text); *w; ++w) wide += *w;
        check(flags == (MF_DISABLED | MF_END), "single item, inactive (MF_DISABLED) and last, no pop-up");
        check(id == 0xFFFF, "item identifier 0xFFFF");
        check(wide == L"------ Quillmarch", "item text \"------ Quillmarch\"");
        HMENU h = LoadMenuIndirectA(menu);
        check(h && GetMenuItemCount(h) == 1 && GetSubMenu(h, 0) == nullptr &&
                  (GetMenuState(h, 0, MF_BYPOSITION) & (MF_DISABLED | MF_GRAYED)) == MF_DISABLED,
              "the loaded menu: one item, disabled, not grayed, no pop-up");
    }

    // Icon group 109: 16, 32 and 48 pixels at 256 colours.
    const unsigned char *group = resource(m, MAKEINTRESOURCEA(109), MAKEINTRESOURCEA(14), &size);
    check(group != nullptr, "icon group 109 found");
    if (group) {
        WORD count;
        std::memcpy(&count, group + 4, 2);
        check(count == 3, "three images");
        for (int i = 0; i < count && i < 3; ++i) {
            const unsigned char *e = group + 6 + 14 * i;
            WORD bits, icon_id;
            std::memcpy(&bits, e + 6, 2);
            std::memcpy(&icon_id, e + 12, 2);
            int want = i == 2 ? 48 : 16 << i;
            char what[96];
            std::snprintf(what, sizeof what, "image %d: %dx%d, 8 bits per pixel", i + 1, want, want);
            DWORD isize = 0;
            const unsigned char *img = resource(m, MAKEINTRESOURCEA(icon_id), MAKEINTRESOURCEA(3), &isize);
            BITMAPINFOHEADER bih = {};
            if (img && isize >= sizeof bih) std::memcpy(&bih, img, sizeof bih);
            check(e[0] == want && e[1] == want && bits == 8 && img && bih.biWidth == want &&
                      bih.biHeight == 2 * want && bih.biBitCount == 8,
                  what);
        }
    }

    // The manifest, once.
    int manifests = 0;
    EnumResourceNamesA(m, MAKEINTRESOURCEA(24), count_name, reinterpret_cast<LONG_PTR>(&manifests));
    check(manifests == 1, "exactly one manifest");
    const unsigned char *manifest = resource(m, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24), &size);
    std::string text = manifest ? std::string(reinterpret_cast<const char *>(manifest), size) : "";
    check(text.find("level=\"highestAvailable\"") != std::string::npos, "execution level highestAvailable");
    check(text.find("uiAccess=\"false\"") != std::string::npos, "uiAccess false");

    FreeLibrary(m);
    std::printf("%d failed\n", failures);
    return failures ? 1 : 0;
}
