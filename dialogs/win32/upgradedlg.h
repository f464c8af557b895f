// The upgrade dialog: the installed version, a progress bar and the button "升级".
#pragma once

#include "dialogs/upgrade_run.h"
#include "dialogs/win32/dialog.h"
#include "dialogs/win32/message_box.h"
#include "version/settings_file.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kestrival::dialogs {

// What the dialog works through; each one left empty is the program's own.
struct UpgradeDlgSeams {
    Notifier notify; // show_message_box
    SettingsPathLookup settingsPath; // version::build_settings_path
    SettingsWriter write; // version::write_installed_version, called off the interface thread
    RunClock *clock = nullptr; // a MessagePumpClock owned by the dialog; else kept alive by the caller
};

// The platform's progress bar, driven by its messages.
class CProgressCtrl {
public:
    void SetRange(int lower, int upper) const;
    void SetPos(int position) const;
    void SetStep(int step) const;
    void StepIt() const;

    HWND m_hWnd = nullptr;
};

} // namespace kestrival::dialogs

class CUpgradeDlg : public kestrival::dialogs::CDialog {
public:
    // DoModal's result when a start-up check failed: the message was shown, the dialog never.
    static constexpr INT_PTR kStartupFailed = -2;

    CUpgradeDlg();
    explicit CUpgradeDlg(kestrival::dialogs::UpgradeDlgSeams seams);
    ~CUpgradeDlg() override;

    kestrival::dialogs::CProgressCtrl m_progress;
    HICON m_hIcon;

protected:
    // Adds the about entry, sets the icons, then checks the installation: FALSE when the
    // settings path can't be had (no check made, no focus given) or a check failed (its
    // message shown, the dialog ended before it is shown); TRUE otherwise.
    BOOL OnInitDialog() override;

    // The upgrade run (see UpgradeRun::press).
    void OnOK() override;

    // Esc and the close box: ignored while a timetable runs or a completion box is up (the
    // run then ends the dialog itself).
    void OnCancel() override;

    // Opens the about box for IDM_ABOUTBOX, whatever nID's low four bits, and returns true;
    // false for the rest, which get the default handling, except during a timetable, which
    // takes none.
    bool OnSysCommand(UINT nID);

    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR &result) override;

private:
    class Win32RunHost;

    void addAboutEntry();
    // Draws the icon while minimised; false otherwise, for the default painting.
    bool OnPaint();

    kestrival::dialogs::UpgradeDlgSeams m_seams;
    std::unique_ptr<kestrival::dialogs::RunClock> m_ownClock;
    kestrival::dialogs::UpgradeRun m_run;
};
