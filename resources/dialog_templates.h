// The two dialog templates and the string table, as data; the build makes them from
// kestrival.rc (rc_templates.py), so they hold what the Windows edition shows.
#pragma once

#include <span>
#include <string_view>

namespace kestrival::resources {

enum class ControlKind {
    Button,
    Static, // left-aligned text
    Progress,
    Icon, // shows IDR_MAINFRAME at its own size; the rectangle's size is not used
};

enum ControlFlag : unsigned {
    kDefaultButton = 1u << 0,
    kTabStop = 1u << 1,
};

// Position and size in dialog units.
struct DuRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

struct ControlTemplate {
    int id;
    std::string_view name; // the control's object name: its id's name, or a stable one for statics
    ControlKind kind;
    std::string_view text;
    DuRect rect;
    unsigned flags;
};

struct FontTemplate {
    std::string_view family; // a Windows face; the Linux edition substitutes one of its own
    int pointSize;
};

// Texts in UTF-8; controls in template (and tab) order.
struct DialogTemplate {
    std::string_view caption;
    int width; // client area, dialog units
    int height;
    FontTemplate font;
    std::span<const ControlTemplate> controls;
};

extern const DialogTemplate kUpgradeDialogTemplate;
extern const DialogTemplate kAboutBoxTemplate;

// The string table; empty for an id it doesn't hold.
[[nodiscard]] std::string_view load_string(int id);

} // namespace kestrival::resources
