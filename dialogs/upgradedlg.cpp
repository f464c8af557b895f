// The upgrade dialog: start-up checks, version display, the upgrade run and the about entry.
#include "dialogs/upgradedlg.h"

#include "dialogs/aboutdlg.h"
#include "dialogs/dialog_builder.h"
#include "dialogs/event_loop_clock.h"
#include "dialogs/upgrade_run.h"
#include "resources/dialog_templates.h"
#include "resources/resource.h"
#include "version/constants.h"
#include "version/display_text.h"
#include "version/install_check.h"
#include "version/package_stamp.h"
#include "version/settings_file.h"
#include "version/settings_path.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QEventLoop>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>

#include <cstdio>
#include <utility>

namespace dlg = kestrival::dialogs;
namespace ver = kestrival::version;

namespace {

constexpr const char *kMsgNoSettings = "获取升级信息失败,请检查是否在安装目录运行";
constexpr const char *kMsgNoPackage = "打开升级包失败";
constexpr const char *kMsgWriteFailed = "写入版本信息失败";
constexpr const char *kMsgDone = "升级完成";

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

    void setStatus(const QString &text) override
    {
        m_status.setText(text);
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

CUpgradeDlg::CUpgradeDlg(QWidget *parent) : CUpgradeDlg(dlg::UpgradeDlgSeams {}, parent) { }

CUpgradeDlg::CUpgradeDlg(dlg::UpgradeDlgSeams seams, QWidget *parent) :
    QDialog(parent), m_progress(build_upgrade_dialog(*this)), m_hIcon(dlg::load_app_icon()), m_seams(std::move(seams)),
    m_version(findChild<QLabel *>(QStringLiteral("IDC_VERSION"))),
    m_ok(findChild<QPushButton *>(QStringLiteral("IDOK")))
{
    if (!m_seams.notify)
        m_seams.notify = dlg::show_message_box;
    if (!m_seams.settingsPath)
        m_seams.settingsPath = ver::build_settings_path;
    if (!m_seams.write)
        m_seams.write
            = [](const std::string &path, std::string_view stamp) { return ver::write_installed_version(path, stamp); };
    if (!m_seams.clock) {
        m_ownClock = std::make_unique<dlg::EventLoopClock>();
        m_seams.clock = m_ownClock.get();
    }
    // A press given before or during a run must not act after it: a screen reader's press
    // clicks through a timer, which no input filter sees, up to 100 ms later.
    connect(m_ok, &QPushButton::pressed, this, [this] { m_staleClick = m_running; });
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
        m_seams.notify(QString::fromUtf8(kMsgNoSettings), nullptr);
        m_startupFailed = true;
        return false;
    }
    const std::string version = ver::read_installed_version(*settingsPath);
    m_version->setText(QString::fromStdString(ver::decode_for_display(version)));

    if (!ver::check_installation_file(std::string(ver::kPackageFileName))) {
        m_seams.notify(QString::fromUtf8(kMsgNoPackage), nullptr);
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
    // A screen reader's press reaches the button even under a modal box.
    if (m_running || QApplication::activeModalWidget())
        return;
    const std::optional<std::string> settingsPath = m_seams.settingsPath();
    if (!settingsPath)
        return;
    // An open menu would keep its grab on the whole desktop through the run.
    while (QWidget *popup = QApplication::activePopupWidget()) {
        if (!popup->close())
            break;
    }

    // The timeline counts from the press, so the write's own time doesn't delay it.
    const dlg::RunClock::TimePoint pressed = m_seams.clock->now();
    m_running = true;
    m_staleClick = true;
    ver::WriteResult written;
    dlg::run_off_interface_thread([&] { written = m_seams.write(*settingsPath, ver::make_package_date_stamp()); });
    if (!written) {
        m_running = false;
        // The box keeps the program's one text; the reason goes where an administrator looks.
        std::fprintf(stderr, "Kestrival: %s\n", written.error.c_str());
        m_seams.notify(QString::fromUtf8(kMsgWriteFailed), this);
        return;
    }
    DialogRunView view(*m_version, *m_progress);
    dlg::run_timetable(*m_seams.clock, view, pressed);
    m_running = false;

    // The box leaves this dialog usable, so a further run may start and end inside it; only
    // the outermost run ends the dialog.
    ++m_openCompletionBoxes;
    m_seams.notify(QString::fromUtf8(kMsgDone), nullptr);
    --m_openCompletionBoxes;
    if (m_openCompletionBoxes == 0)
        accept();
}

void CUpgradeDlg::OnSysCommand(unsigned nID)
{
    if (m_running || (nID & kCommandIdMask) != IDM_ABOUTBOX)
        return;
    CAboutDlg about(this);
    about.DoModal();
}

void CUpgradeDlg::reject()
{
    if (m_running || m_openCompletionBoxes > 0)
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
    if (m_running || actions().isEmpty())
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
