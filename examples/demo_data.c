/* Data conversion: code tables, byte order, hexadecimal text, Kanji. */
#include <stdio.h>
#include <string.h>

#include "demo.h"
#include "zaxxlib.h"

static void print_bytes(const char *what, const unsigned char *b, int n) {
    int i;
    printf("  %-34s", what);
    for (i = 0; i < n; ++i) printf(" %02X", b[i]);
    printf("\n");
}

void demo_data(void) {
    const char *ascii = "Hello, ZAX!";
    unsigned char ebc[16], back[16];
    uint16_t uni[16];
    int32_t r;
    unsigned char sjis[] = {'A', 0x82, 0xA0, 'B'};
    unsigned char shifted[8], euc[16];
    int32_t n, size;
    double one = 1.0, swapped;
    unsigned char raw[8];

    printf("Data conversion\n");
    r = XConvAscToEbc(ebc, ascii, 11, X_EBCDIC_LATIN);
    print_bytes("\"Hello, ZAX!\" in EBCDIC (Latin)", ebc, 11);
    printf("  result %d; back to ASCII: ", r);
    XConvEbcToAsc(back, ebc, 11, X_EBCDIC_LATIN);
    printf("\"%.11s\"\n", (const char *)back);
    r = XConvAscToEbc(ebc, ascii, 11, X_EBCDIC_KATAKANA);
    printf("  the katakana variant has no lower case: result %d\n", r);
    XConvAscToUni(uni, "\xB1\xB2", 2);
    printf("  half-width katakana B1 B2 as Unicode: U+%04X U+%04X\n", uni[0], uni[1]);
    XConvAscToEbc(ebc, ascii, 0, 1);
    show_error("XConvAscToEbc with count 0");

    printf("  XChangeToNwkOrder32(0x11223344) = 0x%08X\n", XChangeToNwkOrder32(0x11223344u));
    swapped = XChangeToNwkOrderDOUBLE(one);
    memcpy(raw, &swapped, 8);
    print_bytes("1.0 in network order", raw, 8);
    printf("  XAtox(\"1 F\") = 0x%X, XAtox(\"DEADBEEF\") = 0x%X\n", XAtox("1 F", 3),
           XAtox("DEADBEEF", 8));
    XAtox("0x1F", 4);
    show_error("XAtox(\"0x1F\")");

    n = XCountKanjiShift(X_KANJI_SJIS, 1, 4, sjis);
    XAddKanjiShift(X_KANJI_SJIS, 4, sjis, shifted);
    print_bytes("Shift-JIS A, 0x82A0, B shifted", shifted, n);
    size = (int32_t)sizeof euc;
    n = XConvertKanjiEx(X_KANJI_SJIS, X_KANJI_EUC, shifted, euc, n, &size);
    print_bytes("the same in EUC", euc, n);
    XConvertKanji(X_KANJI_SJIS, X_KANJI_HOST_IBM, shifted, 6);
    print_bytes("the same in the IBM host code", shifted, 6);
    XConvertKanji(X_KANJI_HOST_IBM, X_KANJI_HOST_0A, shifted, 6);
    show_error("XConvertKanji host to host");
}
