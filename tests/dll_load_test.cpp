// VQ6120_LIB.dll as a host that imports by ordinal sees it: it loads and
// unloads (its entry routine agrees to every notification), and each ordinal
// leads to the export of the same name.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <thread>

namespace {

struct Export {
    WORD ordinal;
    const char *name;
};

// The ordinals hosts were built against; they never change.
constexpr Export kExports[] = {
    {1, "InitialVQ6120"}, {2, "ExitVQ6120"}, {3, "GetDataFromEthernet"},
    {4, "ClearGraphicScreen"}, {5, "DrawPixel"}, {6, "DrawLine"}, {7, "DrawRectangle"}, {8, "DrawCircle"},
    {9, "DrawEllipse"}, {10, "DrawRhombus"}, {11, "DrawAText"},
    {12, "ClearText"}, {13, "SetScreenCursorPos"}, {14, "WriteText"}, {15, "ScrolloneLine"},
    {16, "ClearKeyboard"}, {17, "WriteKeyboardText"}, {18, "ScrollKeyboardoneLine"},
    {19, "WriteDOStatus"}, {20, "ReadDIStatus"}, {21, "ParseDIStatus"}, {22, "ConfigureCOM"},
    {23, "SendCOMData"}, {24, "SetBeeperTime"}, {25, "SetAutoReportTime"}, {26, "GetModalName"},
    {27, "ParseKeypadMessage"}, {28, "SetLED"}, {29, "SetLCDBacklight"}, {30, "SetHostAliveCheck"},
    {31, "SendHostAlive"}, {32, "SendData"}, {33, "GetConnectStatus"}, {34, "GetDllVersion"},
    // The example exports under g++'s decoration (a variable has none).
    {35, "_ZN11CVQ6120_LIBC1Ev"}, {36, "_ZN11CVQ6120_LIBaSERKS_"}, {37, "_Z12fnVQ6120_LIBv"},
    {38, "nVQ6120_LIB"},
    // The extension, after them.
    {39, "VQ6120Ex_GetSocket"}, {40, "VQ6120Ex_Open"}, {41, "VQ6120Ex_StartOpen"}, {42, "VQ6120Ex_FinishOpen"},
    {43, "VQ6120Ex_BeginBatch"}, {44, "VQ6120Ex_EndBatch"}, {45, "VQ6120Ex_BufferedBytes"},
    {46, "VQ6120Ex_SetKeepAlive"}, {47, "VQ6120Ex_SetSendQueue"}, {48, "VQ6120Ex_Flush"},
    {49, "VQ6120Ex_WaitingBytes"}, {50, "VQ6120Ex_LastRefusal"}, {51, "VQ6120Ex_DrawBitmap"},
    {52, "VQ6120Ex_NextCheck"},
};

struct Loaded : ::testing::Test {
    HMODULE dll = ::LoadLibraryW(L"VQ6120_LIB.dll");
    ~Loaded() override {
        if (dll != nullptr) {
            EXPECT_NE(::FreeLibrary(dll), 0);
        }
    }
    FARPROC by_ordinal(WORD ordinal) const {
        return ::GetProcAddress(dll, reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(ordinal)));
    }
};

TEST_F(Loaded, EveryOrdinalLeadsToItsName) {
    ASSERT_NE(dll, nullptr) << "LoadLibrary failed: " << ::GetLastError();
    for (const Export &e : kExports) {
        const FARPROC named = ::GetProcAddress(dll, e.name);
        EXPECT_NE(named, nullptr) << e.name;
        EXPECT_EQ(by_ordinal(e.ordinal), named) << e.name << " is not at ordinal " << e.ordinal;
    }
    WORD last = 0;
    for (const Export &e : kExports) {
        last = std::max<WORD>(last, e.ordinal);
    }
    EXPECT_EQ(by_ordinal(static_cast<WORD>(last + 1)), nullptr) << "an export beyond the last ordinal";
}

TEST_F(Loaded, CallsThroughOrdinalsReachTheLibrary) {
    ASSERT_NE(dll, nullptr) << "LoadLibrary failed: " << ::GetLastError();
    using Version = double(__cdecl *)();
    using Example = int (*)();
    using Exit = void(__cdecl *)(void *);
    using Parse = std::int32_t(__cdecl *)(std::int32_t, const std::uint8_t *, std::int32_t);
    const std::uint8_t key = 0x2A;
    EXPECT_EQ(reinterpret_cast<Version>(reinterpret_cast<void *>(by_ordinal(34)))(), 1.31);
    EXPECT_EQ(reinterpret_cast<Parse>(reinterpret_cast<void *>(by_ordinal(27)))(1, &key, 1), 0x2A);
    reinterpret_cast<Exit>(reinterpret_cast<void *>(by_ordinal(2)))(nullptr);
    EXPECT_EQ(reinterpret_cast<Example>(reinterpret_cast<void *>(by_ordinal(37)))(), 42);
    EXPECT_EQ(*reinterpret_cast<const int *>(reinterpret_cast<void *>(by_ordinal(38))), 0);
}

TEST(Loading, ThreadsComingAndGoingWhileLoadedAreAccepted) {
    HMODULE dll = ::LoadLibraryW(L"VQ6120_LIB.dll");
    ASSERT_NE(dll, nullptr);
    std::thread([] {}).join();
    ASSERT_NE(::FreeLibrary(dll), 0);
    // Loading again after the last unload works the same way.
    dll = ::LoadLibraryW(L"VQ6120_LIB.dll");
    ASSERT_NE(dll, nullptr);
    EXPECT_NE(::FreeLibrary(dll), 0);
}

}  // namespace
