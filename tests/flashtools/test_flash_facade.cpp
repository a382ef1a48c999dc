// Loader names, the flasher's file handling and its change events, without a bus.
#include <gtest/gtest.h>

#include "automation/CFlasher.h"
#include "flashtools/FlashApiFileNameFinder.h"
#include "flashtools/FlashException.h"
#include "support/TestSupport.h"

using namespace Kavrel;

TEST(FlashApiFinder, ModbusRtuNamesPathPlaceholdersAndReverse)
{
    FlashProtocolSettingsModbusRTU settings("ModbusRS485");
    auto finder = settings.getFinder();
    finder->setPath("C:\\drives");
    settings.fillValues(*finder);
    finder->setHeaderApiName("DRV12");
    EXPECT_EQ(finder->resolveApiFileName(), "C:\\drives/ModbusRS485\\DRV12-ModbusRS485-38400.api");
    EXPECT_EQ(finder->resolveIconName(), "C:\\drives/ModbusRS485\\DRV12-ModbusRS485.ico");
    EXPECT_EQ(finder->findHeaderApiName("C:\\drives/ModbusRS485\\XY-ModbusRS485-38400.api"), std::optional<std::string>("XY"));
    EXPECT_EQ(finder->findHeaderApiName("elsewhere/XY.api"), std::nullopt);

    // The placeholder's own text as value removes the entry: the placeholder stays.
    finder->addValue("%Baudrate%", "%Baudrate%");
    EXPECT_EQ(finder->resolveApiFileName(), "C:\\drives/ModbusRS485\\DRV12-ModbusRS485-%Baudrate%.api");
    // A value holding its own placeholder is put in once, not again and again.
    finder->setHeaderApiName("A%FLASHAPIFILENAME_FLASHDATAHEADER_APINAME%");
    EXPECT_EQ(finder->resolveIconName(), "C:\\drives/ModbusRS485\\A%FLASHAPIFILENAME_FLASHDATAHEADER_APINAME%-ModbusRS485.ico");
    // A drive letter in the result ignores PATH.
    finder->setApiFileFormat("D:\\x\\%FLASHAPIFILENAME_ENDING%");
    EXPECT_EQ(finder->resolveApiFileName(), "D:\\x\\.api");
}

namespace {
struct ChangeSink : IFlasherEvent {
    void onFlasherChange(std::int32_t call) override { calls.push_back(call); }
    std::vector<std::int32_t> calls;
};
} // namespace

TEST(Flasher, DefaultLoaderFoundIgnoringCaseChangesAndErrors)
{
    kavreltest::TempDir dir;
    std::filesystem::create_directories(dir.path() / "ModbusTCP");
    const std::string image = dir.write("image.s", "#FAPI=DRV12\n#KOMP=3\nS107000001020304EE\n").string();
    const std::string other = dir.write("other.s", "#FAPI=NONE\nS107000001020304EE\n").string();
    dir.write("ModbusTCP/drv12.API", "S107000001020304EE\n");
    const std::string fallback = dir.write("fallback.api", "S107000001020304EE\n").string();

    auto flasher = CFlasher::create();
    auto sink = std::make_shared<ChangeSink>();
    std::uint32_t cookie = 0;
    flasher->advise(sink, cookie);
    std::shared_ptr<CFlashDataHeaderInfo> info;
    EXPECT_EQ(static_cast<std::uint32_t>(flasher->getFlashDataHeaderInfo(info)), 0x80040F0Fu);
    std::string text;
    flasher->getErrorText(static_cast<std::int32_t>(0x80040F0Fu), text);
    EXPECT_EQ(text, "No flash data are set, so there is no header information.");
    auto hasLoader = [&] {
        std::int32_t has = -1;
        flasher->hasFlashApiData(has);
        return has;
    };

    flasher->setProtocolName("ModbusTCP");
    ASSERT_EQ(flasher->put_FlashApiPath(dir.str()), S_OK);
    ASSERT_EQ(flasher->setFlashData(image), S_OK);
    EXPECT_EQ(hasLoader(), 1);
    std::string icon;
    ASSERT_EQ(flasher->getFlashApiDataIconFileName(icon), S_OK);
    EXPECT_EQ(icon, dir.str() + "ModbusTCP\\DRV12.ico");
    EXPECT_EQ(sink->calls, (std::vector<std::int32_t>{2, 1}));

    // A loader that is not found leaves none, unless a default was set before.
    sink->calls.clear();
    ASSERT_EQ(flasher->setFlashData(other), S_OK);
    EXPECT_EQ(hasLoader(), 0) << "the previous image's loader does not stay with a new image";
    ASSERT_EQ(flasher->setFlashApiData(fallback), S_OK);
    ASSERT_EQ(flasher->removeFlashData(), S_OK);
    EXPECT_EQ(hasLoader(), 0) << "removing the image removes the loader";
    ASSERT_EQ(flasher->setDefaultFlashApiData(fallback), S_OK);
    ASSERT_EQ(flasher->setFlashData(other), S_OK);
    std::string api;
    flasher->getFlashApiFilename(api);
    EXPECT_EQ(api, fallback);
    EXPECT_EQ(sink->calls, (std::vector<std::int32_t>{2, 1, 6, 4, 2, 1}));
    flasher->unadvise(cookie);
}
