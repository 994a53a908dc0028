#include "twain/twain.h"

#include <cstddef>

#include "gtest/gtest.h"

namespace {

// Layouts of the published header compiled for x86-64 (gcc and mingw-w64
// agree); a mismatch breaks every real manager or source we talk to.
struct Layout {
  const char* name;
  size_t actual;
  size_t expected;
};

#define SIZE(T, n) Layout{"sizeof " #T, sizeof(T), n}
#define AT(T, f, n) Layout{#T "." #f, offsetof(T, f), n}

TEST(TwainLayout, SizesAndOffsetsMatchThePublishedHeader) {
  const Layout table[] = {
      SIZE(TW_STR32, 34),
      SIZE(TW_STR64, 66),
      SIZE(TW_STR128, 130),
      SIZE(TW_STR255, 256),
      SIZE(TW_FIX32, 4), AT(TW_FIX32, Whole, 0), AT(TW_FIX32, Frac, 2),
      SIZE(TW_FRAME, 16), AT(TW_FRAME, Top, 4), AT(TW_FRAME, Bottom, 12),
      SIZE(TW_VERSION, 42), AT(TW_VERSION, MajorNum, 0), AT(TW_VERSION, MinorNum, 2),
      AT(TW_VERSION, Language, 4), AT(TW_VERSION, Country, 6), AT(TW_VERSION, Info, 8),
      SIZE(TW_IDENTITY, 156), AT(TW_IDENTITY, Id, 0), AT(TW_IDENTITY, Version, 4),
      AT(TW_IDENTITY, ProtocolMajor, 46), AT(TW_IDENTITY, ProtocolMinor, 48),
      AT(TW_IDENTITY, SupportedGroups, 50), AT(TW_IDENTITY, Manufacturer, 54),
      AT(TW_IDENTITY, ProductFamily, 88), AT(TW_IDENTITY, ProductName, 122),
      SIZE(TW_STATUS, 4), AT(TW_STATUS, ConditionCode, 0), AT(TW_STATUS, Data, 2),
      SIZE(TW_ENTRYPOINT, 44), AT(TW_ENTRYPOINT, Size, 0), AT(TW_ENTRYPOINT, DSM_Entry, 4),
      AT(TW_ENTRYPOINT, DSM_MemAllocate, 12), AT(TW_ENTRYPOINT, DSM_MemFree, 20),
      AT(TW_ENTRYPOINT, DSM_MemLock, 28), AT(TW_ENTRYPOINT, DSM_MemUnlock, 36),
      SIZE(TW_CALLBACK, 14), AT(TW_CALLBACK, CallBackProc, 0), AT(TW_CALLBACK, RefCon, 8),
      AT(TW_CALLBACK, Message, 12),
      SIZE(TW_CALLBACK2, 18), AT(TW_CALLBACK2, CallBackProc, 0), AT(TW_CALLBACK2, RefCon, 8),
      AT(TW_CALLBACK2, Message, 16),
      SIZE(TW_CAPABILITY, 12), AT(TW_CAPABILITY, Cap, 0), AT(TW_CAPABILITY, ConType, 2),
      AT(TW_CAPABILITY, hContainer, 4),
      SIZE(TW_ONEVALUE, 6), AT(TW_ONEVALUE, ItemType, 0), AT(TW_ONEVALUE, Item, 2),
      AT(TW_ENUMERATION, NumItems, 2), AT(TW_ENUMERATION, CurrentIndex, 6),
      AT(TW_ENUMERATION, DefaultIndex, 10), AT(TW_ENUMERATION, ItemList, 14),
      AT(TW_ARRAY, NumItems, 2), AT(TW_ARRAY, ItemList, 6),
      SIZE(TW_RANGE, 22), AT(TW_RANGE, MinValue, 2), AT(TW_RANGE, CurrentValue, 18),
      SIZE(TW_PENDINGXFERS, 6), AT(TW_PENDINGXFERS, Count, 0), AT(TW_PENDINGXFERS, EOJ, 2),
      SIZE(TW_USERINTERFACE, 12), AT(TW_USERINTERFACE, ShowUI, 0),
      AT(TW_USERINTERFACE, ModalUI, 2), AT(TW_USERINTERFACE, hParent, 4),
      SIZE(TW_EVENT, 10), AT(TW_EVENT, pEvent, 0), AT(TW_EVENT, TWMessage, 8),
      SIZE(TW_IMAGEINFO, 42), AT(TW_IMAGEINFO, ImageWidth, 8), AT(TW_IMAGEINFO, ImageLength, 12),
      AT(TW_IMAGEINFO, SamplesPerPixel, 16), AT(TW_IMAGEINFO, BitsPerSample, 18),
      AT(TW_IMAGEINFO, BitsPerPixel, 34), AT(TW_IMAGEINFO, PixelType, 38),
      AT(TW_IMAGEINFO, Compression, 40),
      SIZE(TW_IMAGELAYOUT, 28), AT(TW_IMAGELAYOUT, DocumentNumber, 16),
      AT(TW_IMAGELAYOUT, FrameNumber, 24),
  };
  for (const Layout& l : table) EXPECT_EQ(l.actual, l.expected) << l.name;
}

TEST(TwainConstants, ValuesMatchThePublishedHeader) {
  const struct {
    const char* name;
    unsigned long actual;
    unsigned long expected;
  } table[] = {
      {"DF_DSM2", DF_DSM2, 0x10000000}, {"DF_APP2", DF_APP2, 0x20000000},
      {"DF_DS2", DF_DS2, 0x40000000},   {"DAT_ENTRYPOINT", DAT_ENTRYPOINT, 0x403},
      {"DAT_IMAGENATIVEXFER", DAT_IMAGENATIVEXFER, 0x104},
      {"DAT_CALLBACK", DAT_CALLBACK, 0x10}, {"MSG_REGISTER_CALLBACK", MSG_REGISTER_CALLBACK, 0x902},
      {"MSG_PROCESSEVENT", MSG_PROCESSEVENT, 0x601}, {"MSG_ENDXFER", MSG_ENDXFER, 0x701},
      {"MSG_CLOSEDSREQ", MSG_CLOSEDSREQ, 0x102}, {"MSG_CLOSEDSOK", MSG_CLOSEDSOK, 0x103},
      {"MSG_DISABLEDS", MSG_DISABLEDS, 0x501}, {"MSG_ENABLEDS", MSG_ENABLEDS, 0x502},
      {"TWRC_ENDOFLIST", TWRC_ENDOFLIST, 7}, {"TWCC_CHECKDEVICEONLINE", TWCC_CHECKDEVICEONLINE, 23},
      {"ICAP_XRESOLUTION", ICAP_XRESOLUTION, 0x1118}, {"CAP_DUPLEXENABLED", CAP_DUPLEXENABLED, 0x1013},
      {"TWLG_USA", TWLG_USA, 13},
  };
  for (const auto& c : table) EXPECT_EQ(c.actual, c.expected) << c.name;
}

}  // namespace
