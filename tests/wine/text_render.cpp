// Draws status lines the way the main window paints them (default font and
// colours, a quarter inch in from the left and the top, one line below the
// other) into a white bitmap and saves it as a .bmp file. The window test
// looks for this picture in a screenshot of the real window.
//
//   text_render OUT.bmp LINE1 LINE2
#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char **argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: text_render OUT.bmp LINE1 LINE2\n");
        return 2;
    }
    const int width = 440, height = 120;
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = height;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 24;
    bi.bmiHeader.biCompression = BI_RGB;
    void *bits = nullptr;
    HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bmp) {
        std::fprintf(stderr, "text_render: no bitmap\n");
        return 1;
    }
    SelectObject(dc, bmp);
    RECT all = {0, 0, width, height};
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    TEXTMETRICA tm;
    GetTextMetricsA(dc, &tm);
    int x = GetDeviceCaps(screen, LOGPIXELSX) / 4;
    int y = GetDeviceCaps(screen, LOGPIXELSY) / 4;
    int h = tm.tmHeight + tm.tmExternalLeading;
    TextOutA(dc, x, y, argv[2], static_cast<int>(std::strlen(argv[2])));
    TextOutA(dc, x, y + h, argv[3], static_cast<int>(std::strlen(argv[3])));
    GdiFlush();

    int stride = (width * 3 + 3) / 4 * 4;
    BITMAPFILEHEADER fh = {};
    fh.bfType = 0x4D42;
    fh.bfOffBits = sizeof fh + sizeof bi.bmiHeader;
    fh.bfSize = fh.bfOffBits + stride * height;
    FILE *f = std::fopen(argv[1], "wb");
    if (!f) {
        std::fprintf(stderr, "text_render: cannot write %s\n", argv[1]);
        return 1;
    }
    std::fwrite(&fh, sizeof fh, 1, f);
    std::fwrite(&bi.bmiHeader, sizeof bi.bmiHeader, 1, f);
    std::fwrite(bits, stride, height, f);
    std::fclose(f);
    std::printf("x=%d y=%d h=%d\n", x, y, h);
    return 0;
}
