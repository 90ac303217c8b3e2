// Function codes: the high half of every error code an X function records.
// One list for the whole library so that no two functions can share a code by
// accident; a function that delegates to another records the other's code.
#pragma once
#include <cstdint>

namespace zax {

enum Fn : uint32_t {
    // xalgo
    FN_XCalcGCD = 0x1, FN_XCalcPrimeNum = 0x2,
    // xevent
    FN_XCreateEvent = 0xa, FN_XDestroyEvent = 0xb, FN_XWaitEvent = 0xc, FN_XPostEvent = 0xd,
    FN_XSetTimer = 0xe, FN_XKillTimer = 0xf, FN_XGlobalPostEvent = 0x10, FN_XSleep = 0x11,
    // xsystem, xsysfc, xsysfl
    FN_XGetSystemInfo = 0x1e, FN_XGetProcInfo = 0x21, FN_XGetUniqueKey = 0x22,
    FN_XMakeKey = 0x23, FN_XGetThreadInfo = 0x27, FN_XGetSystemInfoFunc = 0x28,
    FN_XGetSystemInfoFile = 0x29,
    // xtask, xestae
    FN_XCreateProcess = 0x32, FN_XTermProcess = 0x33, FN_XKillProcess = 0x34,
    FN_XInitEstae = 0x35, FN_XTermEstae = 0x36, FN_XCreateThread = 0x37,
    FN_XTermThread = 0x38, FN_XKillThread = 0x39, FN_XCreateJobProcess = 0x3a,
    FN_XTermJobProcess = 0x3b, FN_XKillJobProcess = 0x3c,
    // xdata
    FN_XConvAscToEbc = 0x46, FN_XConvAscToUni = 0x47, FN_XConvEbcToAsc = 0x48,
    FN_XConvEbcToUni = 0x49, FN_XConvUniToAsc = 0x4a, FN_XConvUniToEbc = 0x4b,
    FN_XConvertKanji = 0x118, FN_XAddKanjiShift = 0x119, FN_XRemoveKanjiShift = 0x11a,
    FN_XCountKanjiShift = 0x11b, FN_XAddKanjiShiftEx = 0x11c, FN_XRemoveKanjiShiftEx = 0x11d,
    FN_XConvertKanjiEx = 0x11e, FN_XAtox = 0x11f,
    // xdebug
    FN_XInitDebug = 0x50, FN_XTermDebug = 0x51, FN_XSetTraceLevel = 0x52,
    FN_XSetDumpLevel = 0x53, FN_XTrace = 0x54, FN_XDump = 0x58, FN_XRefreshDebug = 0x5a,
    FN_XGetTraceLevel = 0x5b, FN_XGetDumpLevel = 0x5c,
    // xbuffer
    FN_XGetBufLen = 0x67,
    // xparm
    FN_XOpenParmFile = 0x6e, FN_XCloseParmFile = 0x6f, FN_XReadParmInt = 0x70,
    FN_XReadParmStr = 0x71, FN_XWriteParmInt = 0x72, FN_XWriteParmStr = 0x73,
    FN_XOpenParmFileRW = 0x74, FN_XListParmEntry = 0x75,
    // xfile, xfile64
    FN_XOpenFile = 0x78, FN_XCloseFile = 0x79, FN_XReadFile = 0x7a, FN_XWriteFile = 0x7b,
    FN_XSeekFile = 0x7c, FN_XDeleteFile = 0x7d, FN_XExistFile = 0x7e, FN_XFlushFile = 0x7f,
    FN_XLockFile = 0x80, FN_XUnlockFile = 0x81, FN_XOpenMemMapFile = 0x83,
    FN_XCloseMemMapFile = 0x84, FN_XFlushMemMapFile = 0x85, FN_XSeekFile64 = 0x12f,
    FN_XReadFileLn = 0x131, FN_XWriteFileLn = 0x132, FN_XGetFileSize = 0x134,
    FN_XGetFileSize64 = 0x135,
    // xvector
    FN_XSetVectorTable = 0x8c, FN_XGetVectorTableEx = 0x8d, FN_XResetVectorTable = 0x8e,
    // xcons
    FN_XPrintf = 0x96, FN_XWto = 0x97, FN_XWtoMulti = 0x98, FN_XPrintfToLog = 0x99,
    FN_XFprintf = 0x9d,
    // xmemg, xmeml
    FN_XAllocShrMemory = 0xa0, FN_XFreeShrMemory = 0xa1, FN_XOpenShrMemory = 0xa2,
    FN_XAllocMemory = 0xa4, FN_XFreeMemory = 0xa5,
    // xlistg, xlistl, xlistuty
    FN_XCreateGlobalList = 0xaa, FN_XDestroyGlobalList = 0xab, FN_X_alloc_list = 0xac,
    FN_XCreateList = 0xb4, FN_XDestroyList = 0xb5, FN_XAddListT = 0xb6,
    FN_XRemoveListT = 0xb7, FN_XPeekListT = 0xb8, FN_XLoadListT = 0xb9,
    FN_XSaveListT = 0xba, FN_XGetListNumT = 0xbb,
    // xreg
    FN_XOpenRegistry = 0xc8, FN_XCloseRegistry = 0xc9, FN_XReadRegInt = 0xca,
    FN_XReadRegStr = 0xcb, FN_XWriteRegInt = 0xce, FN_XWriteRegStr = 0xcf,
    FN_XListRegKey = 0xd2, FN_XListRegValue = 0xd3, FN_XDeleteRegKey = 0xd4,
    FN_XDeleteRegValue = 0xd5,
    // xload
    FN_XLoadModule = 0xdc, FN_XUnloadModule = 0xdd, FN_XGetEntry = 0xde,
    FN_XLoadMsgString = 0xdf, FN_XGetMsgString = 0xe1, FN_XGetMsgStringEx = 0xe2,
    // xenv
    FN_XReadEnvInt = 0xe6, FN_XReadEnvStr = 0xe7, FN_XWriteEnvStr = 0xe9,
    // xtime
    FN_XGetTime = 0xf0, FN_XGetTimeDetail = 0xf1, FN_XCheckDate = 0xf2, FN_XShiftDate = 0xf3,
    FN_XGetDateStr = 0xf4, FN_XGetTimeStr = 0xf5, FN_XPackDate = 0xf6, FN_XUnpackDate = 0xf7,
    FN_XPackTime = 0xf8, FN_XUnpackTime = 0xf9, FN_XGetTimeCurrent = 0xfa,
    // xlock
    FN_XCreateLockObj = 0x104, FN_XDestroyLockObj = 0x105, FN_XLockObj = 0x106,
    FN_XUnlockObj = 0x107, FN_XIsLockObj = 0x108, FN_XCompareSwap = 0x109,
    // xstring
    FN_XTestMask = 0x10f, FN_XGetStrLen = 0x110,
};

}  // namespace zax
