// Loading vendor libraries: name mapping, the two load attempts, the log
// lines, and the exception for a missing entry point.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "HardwareTestLog.h"
#include "hardware/DllWrapper.h"
#include "support/TestSupport.h"

using Kavrel::DllEntryPointMissing;
using Kavrel::DllWrapper;
namespace fs = std::filesystem;

TEST(DllWrapper, VendorNamesMapToThisPlatform)
{
    struct Case {
        const char* vendor;
        const char* library;
    } libraries[] = {
        {"modbusdll.dll", "libmodbusdll.so"}, {"DNC.dll", "libDNC.so"},     {"CanApi2.DLL", "libCanApi2.so"},
        {"/opt/x/vcinpl.dll", "/opt/x/libvcinpl.so"}, {"libz.so", "libz.so"}, {"dll", "dll"},
    };
    for (const auto& c : libraries)
        EXPECT_EQ(DllWrapper::platformLibraryName(c.vendor), c.library) << c.vendor;
    struct Export {
        const char* vendor;
        const char* name;
    } exports[] = {
        {"_GetTimeout@12", "_GetTimeout"}, {"mbOpen", "mbOpen"}, {"f@", "f@"}, {"@12", "@12"}, {"g@1x", "g@1x"},
    };
    for (const auto& c : exports)
        EXPECT_EQ(DllWrapper::platformExportName(c.vendor), c.name) << c.vendor;
}

TEST(DllWrapper, LoadsFromTheFolderAndResolvesPlainAndDecoratedNames)
{
    auto& log = kavreltest::LogLines::instance();
    log.clear();
    DllWrapper dll("testlib_tiny.dll", KAVREL_TEST_LIB_DIR);
    ASSERT_TRUE(dll.isLoaded());
    EXPECT_TRUE(fs::equivalent(dll.getPath(), fs::path(KAVREL_TEST_LIB_DIR) / "libtestlib_tiny.so"));
    EXPECT_EQ(dll.getPath().front(), '/');
    EXPECT_TRUE(log.contains("Opened " + dll.getPath())) << log.all();
    EXPECT_TRUE(log.contains(std::string("DllWrapper(") + KAVREL_TEST_LIB_DIR + "/libtestlib_tiny.so)"))
        << log.all();

    auto add = dll.getFunction<int (*)(int, int)>("tiny_add");
    EXPECT_EQ(add(40, 2), 42);
    auto timeouts = dll.getFunction<int (*)(int*, int*, int*)>("_TinyTimeout@12");
    int a = 0, b = 0, c = 0;
    EXPECT_EQ(timeouts(&a, &b, &c), 0);
    EXPECT_EQ(a + b + c, 6);
    EXPECT_TRUE(log.contains("getFunction(_TinyTimeout@12)"));

    try {
        dll.getFunction("mbOpen");
        FAIL() << "a missing entry point must throw";
    } catch (const DllEntryPointMissing& e) {
        EXPECT_NE(std::string(e.what()).find("mbOpen"), std::string::npos) << e.what();
    }
}

TEST(DllWrapper, SecondAttemptUsesTheSearchPath)
{
    // Not in this folder, but on the system's library path (libmodbus is a
    // build dependency, so its development link is there).
    kavreltest::TempDir empty;
    DllWrapper dll("modbus.dll", empty.path().string());
    ASSERT_TRUE(dll.isLoaded());
    EXPECT_EQ(dll.getPath().front(), '/') << dll.getPath();
    EXPECT_NE(dll.getPath().find("libmodbus.so"), std::string::npos) << dll.getPath();
    EXPECT_NO_THROW(dll.getFunction("modbus_new_tcp"));
}

TEST(DllWrapper, MissingLibraryLogsFatalAndEveryLookupThrows)
{
    auto& log = kavreltest::LogLines::instance();
    log.clear();
    kavreltest::TempDir empty;
    for (const std::string& folder : {empty.path().string(), std::string()}) {
        DllWrapper dll("NoSuchVendor.dll", folder);
        EXPECT_FALSE(dll.isLoaded());
        EXPECT_THROW(dll.getFunction("anything"), DllEntryPointMissing);
    }
    EXPECT_TRUE(log.contains("FATAL: DllWrapper: Could not open 'NoSuchVendor.dll'")) << log.all();
}
