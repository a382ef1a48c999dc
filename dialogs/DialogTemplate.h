#pragma once
#include <string>
#include <vector>

namespace commonbase {

// The kinds of control a dialog template holds.
enum class ControlKind { Static, Group, Combo, Edit, Spin, CheckBox, IpAddress, ListView, ProgressBar, Button };

const char* controlKindName(ControlKind kind);

// One control of a template: its own identifier, its kind, the text key shown
// on it (translated at run time), the edit a spin box steps and the entries a
// combo box starts with.
struct ControlTemplate {
    int id = 0;
    ControlKind kind = ControlKind::Static;
    std::string text;
    int buddy = 0;
    std::vector<std::string> entries;
};

// A dialog as data: identifier, title key and controls in display order.
class DialogTemplate {
public:
    int id = 0;
    std::string title;
    std::vector<ControlTemplate> controls;

    const ControlTemplate* findControl(int controlId) const;
    // The template with that identifier, or none.
    static const DialogTemplate* find(int templateId);
    static const std::vector<DialogTemplate>& all();

    // Preset entries of the serial and CAN combo boxes.
    static const std::vector<std::string>& presetPorts();
    static const std::vector<std::string>& presetBaudrates();
    static const std::vector<std::string>& presetFrameFormats();
    static const std::vector<std::string>& presetCanBaudrates();
};

} // namespace commonbase
