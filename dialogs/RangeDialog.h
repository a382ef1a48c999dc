#pragma once
#include <cstdint>
#include <string>

namespace Kavrel {

class FieldbusInterface;

// Edits a scan range text; OK only for a text that names at least one id.
class RangeDialog {
public:
    explicit RangeDialog(FieldbusInterface* owner);
    virtual ~RangeDialog();
    void setRangeText(const std::string& text) { rangeText = text; }
    const std::string& getRangeText() const { return rangeText; }
    virtual std::int32_t displayDialog(std::uint32_t style);

protected:
    FieldbusInterface* owner;
    std::string rangeText;
};

} // namespace Kavrel
