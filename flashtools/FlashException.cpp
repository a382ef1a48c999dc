#include "flashtools/FlashException.h"

#include <map>
#include <mutex>

#include "commonbase/DbgInfo.h"
#include "commonbase/ErrorHandler.h"
#include "commonbase/StringUtil.h"
#include "core/CommunicationManager.h"

namespace Kavrel {

using commonbase::cat;

namespace {

struct Table {
    std::map<std::int32_t, std::uint32_t> idOf;
    std::map<std::uint32_t, std::int32_t> reasonOf;
    void initEntry(std::int32_t reason, std::uint32_t id)
    {
        commonbase::DbgInfo(0, __FILE__, [&] { return cat("initEntry(", reason, " , 0x", commonbase::toHex(id, 3), ")"); });
        idOf[reason] = id;
        reasonOf[id] = reason;
    }
    Table()
    {
        static constexpr std::pair<std::int32_t, std::uint32_t> entries[] = {
            {0, 0xF00},  {1, 0xF01},  {2, 0xF02},  {3, 0xF03},  {4, 0xF04},  {5, 0xF05},  {6, 0xF06},
            {7, 0xF07},  {8, 0xF08},  {13, 0xF09}, {12, 0xF0A}, {11, 0xF0B}, {14, 0xF0C}, {15, 0xF0D},
            {16, 0xF0F}, {17, 0xF10}, {18, 0xF11}, {19, 0xF12}, {20, 0xF13}, {21, 0xF14}, {9, 0xF15},
            {10, 0xF16}, {22, 0xF17}, {23, 0xF18}, {4358, 0xF19}, {24, 0xF20}, {25, 0xF21}};
        for (const auto& [reason, id] : entries)
            initEntry(reason, id);
    }
};

const Table& table()
{
    static const Table t;
    return t;
}

} // namespace

void FlashException::registerErrorIds()
{
    static std::once_flag once;
    std::call_once(once, [] {
        for (const auto& [id, reason] : table().reasonOf)
            commonbase::ErrorHandler::instance().registerErrorCode(static_cast<std::uint16_t>(id));
    });
}

std::uint32_t FlashException::errorIdForReason(std::int32_t reason)
{
    const auto& t = table();
    auto it = t.idOf.find(reason);
    return it == t.idOf.end() ? 0xF00 : it->second;
}

std::int32_t FlashException::reasonForErrorId(std::uint32_t errorId)
{
    const auto& t = table();
    auto it = t.reasonOf.find(errorId);
    if (it != t.reasonOf.end())
        return it->second;
    commonbase::DbgInfo(1, __FILE__, [&] { return cat("getFlashExceptionReason(0x", commonbase::toHex(errorId, 8), ")"); });
    return 0;
}

FlashException FlashException::fromReason(std::int32_t reason, std::string detail)
{
    return FlashException(reason, errorIdForReason(reason), std::move(detail));
}

FlashException FlashException::fromErrorId(std::uint32_t errorId, std::string detail)
{
    return FlashException(reasonForErrorId(errorId), errorId, std::move(detail));
}

std::string FlashException::getErrorText() const
{
    registerErrorIds();
    // An id outside the table (the general failure) reads as reason 0's text.
    const std::uint32_t id = reasonForErrorId(errorId) == 0 ? 0xF00 : errorId;
    std::string text = commonbase::ErrorHandler::instance().getErrorText(static_cast<std::uint16_t>(id)).toUtf8();
    if (!detail.empty())
        text += (text.empty() ? "" : " ") + detail;
    return text;
}

FlashFileException::FlashFileException(std::int32_t reason_, std::string fileName_)
    : FlashException(reason_, errorIdForReason(reason_), {}), fileName(std::move(fileName_))
{
}

std::string FlashFileException::getErrorText() const
{
    std::string label = CommunicationManager::getInstance().translate("LABEL_ERRORFLASHFILENAME");
    const std::string placeholder = "%V1%";
    if (auto at = label.find(placeholder); at != std::string::npos)
        label.replace(at, placeholder.size(), fileName);
    else
        label += fileName;
    // The label follows the reason's text directly, one blank between them.
    std::string text = FlashException::getErrorText();
    if (!text.empty() && !label.empty() && label.front() != ' ')
        text += ' ';
    return text + label;
}

} // namespace Kavrel
