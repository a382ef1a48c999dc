#include "dialogs/SelectProtocolDialog.h"

#include <filesystem>
#include <system_error>

#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "commonbase/XmlDom.h"
#include "core/CommunicationManager.h"
#include "protocols/FieldbusProtocol.h"

namespace Kavrel {

using commonbase::cat;

SelectProtocolDialog::SelectProtocolDialog(const std::string& translationFile) : AbstractDialog(templateId)
{
    if (!translationFile.empty()) {
        // A folder names the dictionary inside it.
        std::string file = translationFile;
        std::error_code ignored;
        if (std::filesystem::is_directory(file, ignored))
            file = (std::filesystem::path(file) / "Tesvik_Trans.xml").string();
        auto document = std::make_shared<commonbase::XmlDom>(commonbase::WString(file), commonbase::WString());
        if (document->parseFile(false))
            setTranslationDocument(document);
        else
            commonbase::DbgInfo(2, __FILE__, cat("translation file '", file, "' not read; using the module's"));
    }
    currentProtocol = CommunicationManager::getInstance().getProtocolName();
}

SelectProtocolDialog::~SelectProtocolDialog() = default;

std::int32_t SelectProtocolDialog::displayDialog(std::uint32_t style)
{
    commonbase::Dbg dbg(0, __FILE__, cat("displayDialog(", style, ")"));
    selectedProtocol.clear();
    return runModal();
}

void SelectProtocolDialog::OnInitDialog()
{
    AbstractDialog::OnInitDialog();
    // One row per known protocol, in list order; the row data is the name.
    comboResetContent(idList);
    for (const auto& name : FieldbusProtocol::getKnownProtocols())
        comboAddEntry(idList, translate("LABEL_" + name), name);
    comboSelectEntry(idList, -1);
    comboSelectText(idList, currentProtocol);
    OnPaint();
}

void SelectProtocolDialog::OnOK()
{
    commonbase::Dbg dbg(0, __FILE__, "OnOK");
    const std::string name = comboSelectedItemData(idList);
    if (name.empty()) {
        setStatusText(translate("LABEL_SELECT_PROTOCOL"));
        return; // nothing chosen: stays open
    }
    selectedProtocol = name;
    EndDialog(resultOk);
}

int SelectProtocolDialog::runHeadless()
{
    OnCancel();
    return resultCancel;
}

} // namespace Kavrel
