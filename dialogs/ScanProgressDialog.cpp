#include "dialogs/ScanProgressDialog.h"

#include "commonbase/HostEventLoop.h"
#include "commonbase/Dbg.h"
#include "commonbase/DbgInfo.h"
#include "commonbase/StringUtil.h"
#include "core/FieldbusInterface.h"
#include "protocols/FieldbusProtocol.h"

namespace Kavrel {

using commonbase::cat;

ScanProgressDialog::ScanProgressDialog(FieldbusInterface* owner_)
    : AbstractDialog(templateId), owner(owner_), headlessTimeout(std::chrono::minutes(10))
{
}

ScanProgressDialog::~ScanProgressDialog()
{
    if (registered && owner)
        owner->removeScanObserver(this);
}

std::int32_t ScanProgressDialog::displayDialog(std::uint32_t style)
{
    commonbase::Dbg dbg(0, __FILE__, cat("displayDialog(", style, ")"));
    std::int32_t result = runModal();
    if (result == resultFailed) {
        // Nobody sees the scan it started: stop it rather than leave it running unseen.
        if (owner && scanResult == FieldbusInterface::statusOk)
            owner->stopNetworkScan();
        result = resultCancel;
    }
    if (registered && owner) {
        owner->removeScanObserver(this);
        registered = false;
    }
    return result;
}

void ScanProgressDialog::OnInitDialog()
{
    AbstractDialog::OnInitDialog();
    auto protocol = owner ? owner->getFieldbusProtocol() : nullptr;
    const auto total = protocol ? protocol->getScanRangeIds().size() : 0;
    progress.setMinor(commonbase::MajorMinorProcess::Counter(0, static_cast<std::int32_t>(total)));
    progressBarSetPos(idProgress, 0);
    OnPaint();
}

void ScanProgressDialog::onShow()
{
    if (!owner) {
        scanResult = FieldbusInterface::errorNoScanWorker;
        EndDialog(resultCancel);
        return;
    }
    try {
        owner->addScanObserver(shared_from_this());
        registered = true;
    } catch (const std::bad_weak_ptr&) {
        commonbase::DbgInfo(3, __FILE__, "the progress dialog is not held by a shared pointer");
        scanResult = FieldbusInterface::errorNoProgressDialog;
        EndDialog(resultCancel);
        return;
    }
    scanResult = owner->startNetworkScan();
    if (scanResult != FieldbusInterface::statusOk) {
        commonbase::DbgInfo(3, __FILE__, cat("the scan did not start: 0x",
                                             commonbase::toHex(static_cast<std::uint32_t>(scanResult), 8)));
        EndDialog(resultCancel);
    }
}

void ScanProgressDialog::handleMessage(std::uint32_t message, std::int32_t first, std::int32_t second)
{
    if (isEnded())
        return;
    if (message == FieldbusInterface::msgNetworkScanStepped) {
        progress.addToMinorCurrent(1);
        progressBarSetPos(idProgress, static_cast<int>(progress.minor().fraction() * 100.0));
        const std::string name = owner ? owner->getProtocolName() : std::string();
        itemSetText(idMessage, cat(translate("LABEL_" + name), " ", translate("LABEL_ID"), " ",
                                   static_cast<std::uint32_t>(first), " ",
                                   translate(second ? "LABEL_FOUND" : "LABEL_NOT_FOUND")));
        OnPaint();
    } else if (message == FieldbusInterface::msgNetworkScanFinished) {
        progressBarSetPos(idProgress, 100);
        OnOK();
    }
}

void ScanProgressDialog::OnOK()
{
    commonbase::DbgInfo(0, __FILE__, "OnOK");
    EndDialog(resultOk);
}

void ScanProgressDialog::OnCancel()
{
    commonbase::Dbg dbg(0, __FILE__, "OnCancel");
    if (owner)
        owner->stopNetworkScan();
    EndDialog(resultCancel);
}

int ScanProgressDialog::runHeadless()
{
    const bool finished = commonbase::HostEventLoop::runUntil([this] { return isEnded(); }, headlessTimeout);
    if (!finished) {
        commonbase::DbgInfo(3, __FILE__, "the scan did not finish in time");
        OnCancel();
    }
    return getResult();
}

} // namespace Kavrel
