// IDD_UPGRADE_DIALOG, IDD_ABOUTBOX and the string table.
#include "resources/dialog_templates.h"

#include "resources/resource.h"
#include "resources/version_info.h"

namespace kestrival::resources {
namespace {

// "宋体" is not found on Linux; a CJK face of fonts-noto-cjk shows the same texts.
constexpr FontTemplate kDialogFont {"Noto Sans CJK SC", 9};

constexpr ControlTemplate kUpgradeControls[] = {
    {IDOK, "IDOK", ControlKind::Button, "升级", {134, 101, 50, 14}, kTabStop | kDefaultButton},
    {IDC_STATIC, "IDC_STATIC_PROGRESS", ControlKind::Static, "进度：", {39, 36, 200, 8}, 0},
    {IDC_PROGRESS, "IDC_PROGRESS", ControlKind::Progress, "Progress1", {39, 57, 240, 14}, 0},
    {IDC_STATIC, "IDC_STATIC_VERSION", ControlKind::Static, "当前版本:", {39, 13, 44, 8}, 0},
    {IDC_VERSION, "IDC_VERSION", ControlKind::Static, "", {99, 13, 155, 8}, 0},
};

constexpr ControlTemplate kAboutControls[] = {
    {IDC_STATIC, "IDC_STATIC_ICON", ControlKind::Icon, "", {11, 17, 20, 20}, 0},
    {IDC_STATIC, "IDC_STATIC_NAME", ControlKind::Static, "Kestrival 1.0 版", {40, 10, 119, 8}, 0},
    {IDC_STATIC, "IDC_STATIC_COPYRIGHT", ControlKind::Static, kLegalCopyright, {40, 25, 119, 8}, 0},
    {IDOK, "IDOK", ControlKind::Button, "确定", {178, 7, 50, 14}, kTabStop | kDefaultButton},
};

} // namespace

const DialogTemplate kUpgradeDialogTemplate {"Kestrival", 320, 143, kDialogFont, kUpgradeControls};

const DialogTemplate kAboutBoxTemplate {"关于 Kestrival", 235, 55, kDialogFont, kAboutControls};

std::string_view load_string(int id) { return id == IDS_ABOUTBOX ? "关于 Kestrival(&A)..." : ""; }

} // namespace kestrival::resources
