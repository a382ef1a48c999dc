#pragma once
#include <cstdint>
#include <string>
#include "core/InterfaceDialogs.h"
#include "dialogs/AbstractDialog.h"

namespace Kavrel {

class FieldbusInterface;

// Edits a scan range text; OK only for a text that names at least one id
// within the protocol's bounds. Shown, it stays open on a bad text and says
// why; answered by a script or headless, a bad text ends it with cancel.
class RangeDialog : public commonbase::AbstractDialog, public InterfaceRangeDialog {
public:
    static constexpr int templateId = 216;
    static constexpr int idRangeEdit = 261;
    static constexpr int idMessage = 262;
    static constexpr std::size_t textLimit = 255;

    explicit RangeDialog(FieldbusInterface* owner);
    ~RangeDialog() override;
    void setRangeText(const std::string& text) override { rangeText = text; }
    const std::string& getRangeText() const override { return rangeText; }
    std::int32_t displayDialog(std::uint32_t style) override;

    void OnInitDialog() override;
    // Whether a text names at least one id within the bounds.
    bool isValidRange(const std::string& text) const;

protected:
    void OnOK() override;

private:
    std::uint32_t minimum() const;
    std::uint32_t maximum() const;

    FieldbusInterface* owner;
    std::string rangeText;
};

} // namespace Kavrel
