// The upgrade dialog: start-up checks, version display, the upgrade run and the about entry.
#include "dialogs/qt/upgradedlg.h"

#include "dialogs/qt/aboutdlg.h"
#include "dialogs/qt/dialog_builder.h"
#include "dialogs/qt/event_loop_clock.h"
#include "dialogs/upgrade_run.h"
#include "resources/dialog_templates.h"
#include "resources/resource.h"
#include "version/constants.h"
#include "version/display_text.h"
#include "version/install_check.h"
#include "version/settings_file.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QEventLoop>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>

#include <utility>

namespace dlg = kestrival::dialogs;
namespace ver = kestrival::version;

namespace {

// Bits of a window command the platform keeps for itself.
constexpr unsigned kCommandIdMask = 0xFFF0;

QProgressBar *build_upgrade_dialog(QDialog &dialog)
{
    dlg::build_dialog(dialog, kestrival::resources::kUpgradeDialogTemplate);
    return dialog.findChild<QProgressBar *>(QStringLiteral("IDC_PROGRESS"));
}

// The run shows each change at once: the timetable gives the event loop no chance to paint.
class DialogRunView final : public dlg::RunView {
public:
    DialogRunView(QLabel &status, QProgressBar &bar) : m_status(status), m_bar(bar) { }

    void setStatus(std::string_view text) override
    {
        m_status.setText(dlg::to_qstring(text));
        m_status.repaint();
    }

    void prepareBar() override
    {
        m_bar.setRange(dlg::kProgressMinimum, dlg::kProgressMaximum);
        m_bar.setValue(dlg::kProgressMinimum);
        m_bar.repaint();
    }

    void stepBar() override
    {
        const int next = m_bar.value() + 1;
        m_bar.setValue(next > m_bar.maximum() ? m_bar.minimum() : next);
        m_bar.repaint();
    }

private:
    QLabel &m_status;
    QProgressBar &m_bar;
};

} // namespace

// The run's view of this dialog.
class CUpgradeDlg::QtRunHost final : public dlg::RunHost {
public:
    explicit QtRunHost(CUpgradeDlg &dialog) : m_dialog(dialog), m_view(*dialog.m_version, *dialog.m_progress) { }

    std::optional<std::string> settingsPath() override { return m_dialog.m_seams.settingsPath(); }
    bool blockedByModalBox() override { return QApplication::activeModalWidget() != nullptr; }

    void closePopups() override
    {
        while (QWidget *popup = QApplication::activePopupWidget()) {
            if (!popup->close())
                break;
        }
    }

    void runStarted() override { m_dialog.m_staleClick = true; }
    void offInterfaceThread(const std::function<void()> &work) override { dlg::run_off_interface_thread(work); }

    ver::WriteResult write(const std::string &path, std::string_view stamp) override
    {
        return m_dialog.m_seams.write(path, stamp);
    }

    void showOwnedMessage(std::string_view text) override { m_dialog.m_seams.notify(dlg::to_qstring(text), &m_dialog); }
    void showUnownedMessage(std::string_view text) override { m_dialog.m_seams.notify(dlg::to_qstring(text), nullptr); }
    dlg::RunClock &clock() override { return *m_dialog.m_seams.clock; }
    dlg::RunView &view() override { return m_view; }
    void accept() override { m_dialog.accept(); }

private:
    CUpgradeDlg &m_dialog;
    DialogRunView m_view;
};

CUpgradeDlg::CUpgradeDlg(QWidget *parent) : CUpgradeDlg(dlg::UpgradeDlgSeams {}, parent) { }

CUpgradeDlg::CUpgradeDlg(dlg::UpgradeDlgSeams seams, QWidget *parent) :
    QDialog(parent), m_progress(build_upgrade_dialog(*this)), m_hIcon(dlg::load_app_icon()), m_seams(std::move(seams)),
    m_version(findChild<QLabel *>(QStringLiteral("IDC_VERSION"))),
    m_ok(findChild<QPushButton *>(QStringLiteral("IDOK")))
{
    if (!m_seams.notify)
        m_seams.notify = dlg::show_message_box;
    dlg::use_own_settings_calls(m_seams.settingsPath, m_seams.write);
    if (!m_seams.clock) {
        m_ownClock = std::make_unique<dlg::EventLoopClock>();
        m_seams.clock = m_ownClock.get();
    }
    // A press given before or during a run must not act after it: a screen reader's press
    // clicks through a timer, which no input filter sees, up to 100 ms later.
    connect(m_ok, &QPushButton::pressed, this, [this] { m_staleClick = m_run.running(); });
    connect(m_ok, &QPushButton::clicked, this, &CUpgradeDlg::onButtonClicked);
    // A screen reader names the bar and the version by the captions beside them.
    findChild<QLabel *>(QStringLiteral("IDC_STATIC_PROGRESS"))->setBuddy(m_progress);
    findChild<QLabel *>(QStringLiteral("IDC_STATIC_VERSION"))->setBuddy(m_version);
}

CUpgradeDlg::~CUpgradeDlg() = default;

int CUpgradeDlg::DoModal()
{
    m_startupFailed = false;
    const bool focusFirstTabStop = OnInitDialog();
    if (m_startupFailed)
        return kStartupFailed;
    if (focusFirstTabStop)
        m_ok->setFocus();
    else
        setFocus();

    // Not exec(): that would make the dialog application-modal and so block the completion
    // box, which has no owner and must stay usable, as must this dialog beneath it. Without
    // modality nothing activates the window for us, and the focus must reach the button.
    QEventLoop loop;
    connect(this, &QDialog::finished, &loop, &QEventLoop::quit);
    setResult(0);
    show();
    activateWindow();
    loop.exec();
    return result();
}

bool CUpgradeDlg::OnInitDialog()
{
    addAboutEntry();
    setWindowIcon(m_hIcon);

    const std::optional<std::string> settingsPath = m_seams.settingsPath();
    if (!settingsPath)
        return false;

    if (!ver::check_installation_file(std::string(ver::kSettingsFileName))) {
        m_seams.notify(dlg::to_qstring(dlg::kMsgNoSettings), nullptr);
        m_startupFailed = true;
        return false;
    }
    const std::string version = ver::read_installed_version(*settingsPath);
    m_version->setText(QString::fromStdString(ver::decode_for_display(version)));

    if (!ver::check_installation_file(std::string(ver::kPackageFileName))) {
        m_seams.notify(dlg::to_qstring(dlg::kMsgNoPackage), nullptr);
        m_startupFailed = true;
        return false;
    }
    return true;
}

void CUpgradeDlg::onButtonClicked()
{
    if (!std::exchange(m_staleClick, false))
        OnOK();
}

void CUpgradeDlg::OnOK()
{
    QtRunHost host(*this);
    m_run.press(host);
}

void CUpgradeDlg::OnSysCommand(unsigned nID)
{
    if (m_run.running() || (nID & kCommandIdMask) != IDM_ABOUTBOX)
        return;
    CAboutDlg about(this);
    about.DoModal();
}

void CUpgradeDlg::reject()
{
    if (!m_run.idle())
        return;
    QDialog::reject();
}

void CUpgradeDlg::addAboutEntry()
{
    // The window manager owns the title bar's menu, so the entry lives in the context menu.
    if (m_aboutEntry)
        return;
    const QString text = dlg::to_qstring(kestrival::resources::load_string(IDS_ABOUTBOX));
    if (text.isEmpty())
        return;
    m_aboutEntry = new QAction(text, this);
    m_aboutEntry->setObjectName(QStringLiteral("IDM_ABOUTBOX"));
    connect(m_aboutEntry, &QAction::triggered, this, [this] { OnSysCommand(IDM_ABOUTBOX); });
    addAction(m_aboutEntry);
}

void CUpgradeDlg::openContextMenu(const QPoint &globalPos)
{
    if (m_run.running() || actions().isEmpty())
        return;
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("contextMenu"));
    menu.addActions(actions());
    menu.exec(globalPos);
}

void CUpgradeDlg::contextMenuEvent(QContextMenuEvent *event)
{
    event->accept();
    openContextMenu(event->globalPos());
}

void CUpgradeDlg::keyPressEvent(QKeyEvent *event)
{
    const bool menuKey
        = event->key() == Qt::Key_Menu || (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier);
    if (!menuKey) {
        QDialog::keyPressEvent(event);
        return;
    }
    event->accept();
    const QWidget *anchor = focusWidget() ? focusWidget() : this;
    openContextMenu(anchor->mapToGlobal(anchor->rect().center()));
}
