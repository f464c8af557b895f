// The upgrade dialog: the installed version, a progress bar and the button "升级".
#pragma once

#include "dialogs/qt/message_box.h"
#include "dialogs/upgrade_run.h"
#include "version/settings_file.h"

#include <QDialog>
#include <QIcon>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

QT_BEGIN_NAMESPACE
class QAction;
class QLabel;
class QProgressBar;
class QPushButton;
QT_END_NAMESPACE

namespace kestrival::dialogs {

class RunClock;

// What the dialog works through; each one left empty is the program's own.
struct UpgradeDlgSeams {
    Notifier notify; // show_message_box
    SettingsPathLookup settingsPath; // version::build_settings_path
    SettingsWriter write; // version::write_installed_version, called off the interface thread
    RunClock *clock = nullptr; // a real clock owned by the dialog; else kept alive by the caller
};

} // namespace kestrival::dialogs

class CUpgradeDlg : public QDialog {
    Q_OBJECT

public:
    // DoModal's result when a start-up check failed: the message was shown, the dialog never.
    static constexpr int kStartupFailed = -1;

    explicit CUpgradeDlg(QWidget *parent = nullptr);
    explicit CUpgradeDlg(kestrival::dialogs::UpgradeDlgSeams seams, QWidget *parent = nullptr);
    ~CUpgradeDlg() override;

    // Initialises the dialog, then, unless a start-up check failed, shows it and runs it to
    // its end. Returns QDialog::Accepted after an upgrade run, QDialog::Rejected after Esc or
    // the close box, kStartupFailed when a check failed (the dialog was never shown).
    int DoModal();

    // Adds the about entry, sets the icon, then checks the installation: false when the
    // settings path can't be had (no check made, no focus given) or a check failed (its
    // message shown, DoModal then ends at once); true otherwise.
    bool OnInitDialog();

    // The upgrade run: close any open popup, stamp the settings file, walk the timetable,
    // report, end the dialog. Does nothing when the settings path can't be had, during a run
    // or while a modal box is up; reports a failed write in a box the dialog owns and stops
    // there, leaving the dialog open.
    void OnOK();

    // Opens the about box for IDM_ABOUTBOX, whatever nID's low four bits; ignores the rest.
    void OnSysCommand(unsigned nID);

    // Esc and the close box: ignored while a timetable runs or a completion box is up (the
    // run then ends the dialog itself).
    void reject() override;

    QProgressBar *const m_progress;
    QIcon m_hIcon;

protected:
    void contextMenuEvent(QContextMenuEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    class QtRunHost;

    void addAboutEntry();
    void onButtonClicked();
    void openContextMenu(const QPoint &globalPos);

    kestrival::dialogs::UpgradeDlgSeams m_seams;
    std::unique_ptr<kestrival::dialogs::RunClock> m_ownClock;
    QLabel *const m_version;
    QPushButton *const m_ok;
    QAction *m_aboutEntry = nullptr;
    kestrival::dialogs::UpgradeRun m_run;
    bool m_startupFailed = false;
    bool m_staleClick = false;
};
