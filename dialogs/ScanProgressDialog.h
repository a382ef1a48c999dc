#pragma once
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include "commonbase/MessageWindow.h"
#include "commonbase/MajorMinorProcess.h"
#include "core/InterfaceDialogs.h"
#include "dialogs/AbstractDialog.h"

namespace Kavrel {

class FieldbusInterface;

// Shows a network scan: shown, it registers as a scan observer and starts the
// scan; each scanned id advances the bar and names the id and whether a drive
// answered; the finished notice ends it with OK, the user's cancel stops the
// scan and ends it with cancel; it unregisters when it closes. Without a
// backend it waits for the scan to finish. Hold it in a shared pointer.
class ScanProgressDialog : public commonbase::AbstractDialog,
                           public commonbase::MessageWindow,
                           public InterfaceScanDialog,
                           public std::enable_shared_from_this<ScanProgressDialog> {
public:
    static constexpr int templateId = 217;
    static constexpr int idProgress = 263;
    static constexpr int idMessage = 264;

    explicit ScanProgressDialog(FieldbusInterface* owner);
    ~ScanProgressDialog() override;

    std::int32_t displayDialog(std::uint32_t style) override;
    void handleMessage(std::uint32_t message, std::int32_t first, std::int32_t second) override;
    void OnInitDialog() override;

    // The result of starting the scan (0 or the interface's code).
    std::int32_t getScanResult() const { return scanResult; }
    std::int32_t getStepsDone() const { return progress.minor().current; }
    std::int32_t getStepsTotal() const { return progress.minor().total; }
    // Longest wait for the finished notice when no backend shows the dialog.
    void setHeadlessTimeout(std::chrono::milliseconds timeout) { headlessTimeout = timeout; }

protected:
    void OnOK() override;
    void OnCancel() override;
    int runHeadless() override;
    // Registers as observer and starts the scan.
    void onShow() override;

    FieldbusInterface* owner;
    commonbase::MajorMinorProcess progress;
    std::int32_t scanResult = 0;
    bool registered = false;
    std::chrono::milliseconds headlessTimeout;
};

} // namespace Kavrel
