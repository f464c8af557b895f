// The upgrade dialog: start-up checks, version display, the upgrade run and the about entry.
#include "dialogs/win32/upgradedlg.h"

#include "dialogs/win32/aboutdlg.h"
#include "dialogs/win32/pump_clock.h"
#include "resources/resource.h"
#include "version/constants.h"
#include "version/display_text.h"
#include "version/install_check.h"
#include "version/settings_file.h"
#include "version/windows/win_file.h"

#include <commctrl.h>

#include <utility>

namespace dlg = kestrival::dialogs;
namespace ver = kestrival::version;

namespace kestrival::dialogs {

void CProgressCtrl::SetRange(int lower, int upper) const
{
    SendMessageW(m_hWnd, PBM_SETRANGE, 0, MAKELPARAM(lower, upper));
}

void CProgressCtrl::SetPos(int position) const { SendMessageW(m_hWnd, PBM_SETPOS, static_cast<WPARAM>(position), 0); }

void CProgressCtrl::SetStep(int step) const { SendMessageW(m_hWnd, PBM_SETSTEP, static_cast<WPARAM>(step), 0); }

void CProgressCtrl::StepIt() const { SendMessageW(m_hWnd, PBM_STEPIT, 0, 0); }

} // namespace kestrival::dialogs

namespace {

// Bits of a window command the platform keeps for itself.
constexpr UINT kCommandIdMask = 0xFFF0;

void set_item_text(HWND dialog, int id, std::string_view utf8)
{
    SetDlgItemTextW(dialog, id, ver::to_wide(utf8).c_str());
}

// The run shows each change at once: the timetable gives the message loop no chance to paint.
class DialogRunView final : public dlg::RunView {
public:
    DialogRunView(HWND dialog, const dlg::CProgressCtrl &bar) : m_dialog(dialog), m_bar(bar) { }

    void setStatus(std::string_view text) override
    {
        set_item_text(m_dialog, IDC_VERSION, text);
        UpdateWindow(GetDlgItem(m_dialog, IDC_VERSION));
    }

    void prepareBar() override
    {
        m_bar.SetRange(dlg::kProgressMinimum, dlg::kProgressMaximum);
        m_bar.SetPos(dlg::kProgressMinimum);
        m_bar.SetStep(1);
        UpdateWindow(m_bar.m_hWnd);
    }

    void stepBar() override
    {
        m_bar.StepIt();
        UpdateWindow(m_bar.m_hWnd);
    }

private:
    HWND m_dialog;
    const dlg::CProgressCtrl &m_bar;
};

} // namespace

// The run's view of this dialog.
class CUpgradeDlg::Win32RunHost final : public dlg::RunHost {
public:
    explicit Win32RunHost(CUpgradeDlg &dialog) : m_dialog(dialog), m_view(dialog.m_hWnd, dialog.m_progress) { }

    std::optional<std::string> settingsPath() override { return m_dialog.m_seams.settingsPath(); }
    // The about box and the failed-write box disable the dialog they block.
    bool blockedByModalBox() override { return !IsWindowEnabled(m_dialog.m_hWnd); }
    void closePopups() override { EndMenu(); }
    void offInterfaceThread(const std::function<void()> &work) override { dlg::run_off_interface_thread(work); }

    ver::WriteResult write(const std::string &path, std::string_view stamp) override
    {
        return m_dialog.m_seams.write(path, stamp);
    }

    void showOwnedMessage(std::string_view text) override { m_dialog.m_seams.notify(text, m_dialog.m_hWnd); }
    void showUnownedMessage(std::string_view text) override { m_dialog.m_seams.notify(text, nullptr); }
    dlg::RunClock &clock() override { return *m_dialog.m_seams.clock; }
    dlg::RunView &view() override { return m_view; }
    void accept() override { EndDialog(m_dialog.m_hWnd, IDOK); }

private:
    CUpgradeDlg &m_dialog;
    DialogRunView m_view;
};

CUpgradeDlg::CUpgradeDlg() : CUpgradeDlg(dlg::UpgradeDlgSeams {}) { }

CUpgradeDlg::CUpgradeDlg(dlg::UpgradeDlgSeams seams) :
    CDialog(IDD_UPGRADE_DIALOG, nullptr),
    m_hIcon(LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_MAINFRAME))), m_seams(std::move(seams))
{
    if (!m_seams.notify)
        m_seams.notify = [](std::string_view text, HWND owner) { dlg::show_message_box(text, owner); };
    dlg::use_own_settings_calls(m_seams.settingsPath, m_seams.write);
    if (!m_seams.clock) {
        m_ownClock = std::make_unique<dlg::MessagePumpClock>();
        m_seams.clock = m_ownClock.get();
    }
}

CUpgradeDlg::~CUpgradeDlg() = default;

BOOL CUpgradeDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    m_progress.m_hWnd = GetDlgItem(m_hWnd, IDC_PROGRESS);
    addAboutEntry();
    SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

    const std::optional<std::string> settingsPath = m_seams.settingsPath();
    if (!settingsPath)
        return FALSE;

    // Ended here, the dialog is never shown, and the program ends with status 0.
    if (!ver::check_installation_file(std::string(ver::kSettingsFileName))) {
        m_seams.notify(dlg::kMsgNoSettings, nullptr);
        EndDialog(m_hWnd, kStartupFailed);
        return FALSE;
    }
    set_item_text(m_hWnd, IDC_VERSION, ver::decode_for_display(ver::read_installed_version(*settingsPath)));

    if (!ver::check_installation_file(std::string(ver::kPackageFileName))) {
        m_seams.notify(dlg::kMsgNoPackage, nullptr);
        EndDialog(m_hWnd, kStartupFailed);
        return FALSE;
    }
    return TRUE;
}

void CUpgradeDlg::OnOK()
{
    Win32RunHost host(*this);
    m_run.press(host);
}

void CUpgradeDlg::OnCancel()
{
    if (!m_run.idle())
        return;
    CDialog::OnCancel();
}

bool CUpgradeDlg::OnSysCommand(UINT nID)
{
    // Sent, not posted, so the wait's filter never saw it.
    if (m_run.running())
        return true;
    if ((nID & kCommandIdMask) != IDM_ABOUTBOX)
        return false;
    CAboutDlg about(m_hWnd);
    about.DoModal();
    return true;
}

bool CUpgradeDlg::OnPaint()
{
    if (!IsIconic(m_hWnd))
        return false;
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(m_hWnd, &paint);
    SendMessageW(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    const int iconWidth = GetSystemMetrics(SM_CXICON);
    const int iconHeight = GetSystemMetrics(SM_CYICON);
    RECT client;
    GetClientRect(m_hWnd, &client);
    // The odd pixel of the free space goes to the left and top margins.
    DrawIcon(dc, (client.right - client.left - iconWidth + 1) / 2, (client.bottom - client.top - iconHeight + 1) / 2,
             m_hIcon);
    EndPaint(m_hWnd, &paint);
    return true;
}

bool CUpgradeDlg::OnMessage(UINT message, WPARAM wParam, LPARAM, INT_PTR &result)
{
    switch (message) {
    case WM_SYSCOMMAND:
        result = 0;
        return OnSysCommand(static_cast<UINT>(wParam));
    case WM_PAINT:
        result = 0;
        return OnPaint();
    case WM_QUERYDRAGICON:
        result = reinterpret_cast<INT_PTR>(m_hIcon);
        return true;
    default:
        return false;
    }
}

void CUpgradeDlg::addAboutEntry()
{
    HMENU menu = GetSystemMenu(m_hWnd, FALSE);
    if (!menu)
        return;
    const wchar_t *text = nullptr;
    // With no buffer, the length of the string as the resources hold it, and where it is.
    const int length = LoadStringW(GetModuleHandleW(nullptr), IDS_ABOUTBOX, reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0)
        return;
    const std::wstring entry(text, static_cast<std::size_t>(length));
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, entry.c_str());
}
