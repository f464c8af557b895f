// The dialog procedure that hands a template dialog's messages to its object.
#include "dialogs/win32/dialog.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace kestrival::dialogs {

namespace {

// The templates place both dialogs at 0, 0 with no centring flag: each is centred over its
// owner, or without one in the work area of the screen it is on, and kept inside that area.
void centre(HWND dialog, HWND owner)
{
    RECT own;
    GetWindowRect(dialog, &own);
    MONITORINFO monitor {};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromWindow(owner ? owner : dialog, MONITOR_DEFAULTTOPRIMARY), &monitor);
    const RECT area = monitor.rcWork;
    RECT around = area;
    if (owner && IsWindowVisible(owner) && !IsIconic(owner))
        GetWindowRect(owner, &around);
    const LONG width = own.right - own.left;
    const LONG height = own.bottom - own.top;
    LONG x = around.left + (around.right - around.left - width) / 2;
    LONG y = around.top + (around.bottom - around.top - height) / 2;
    x = std::max(area.left, std::min(x, area.right - width));
    y = std::max(area.top, std::min(y, area.bottom - height));
    SetWindowPos(dialog, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

} // namespace

INT_PTR CDialog::DoModal()
{
    // A template's WS_VISIBLE shows the window however OnInitDialog ends, and under Wine ending
    // a window shown that way waits 2 s for a window manager. Made hidden, the modal loop shows
    // it once its queue is first empty, and never when OnInitDialog has ended it.
    HINSTANCE module = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(m_templateId), MAKEINTRESOURCEW(5)); // RT_DIALOG
    HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    const void *bytes = loaded ? LockResource(loaded) : nullptr;
    const DWORD size = found ? SizeofResource(module, found) : 0;
    if (!bytes || size < sizeof(DLGTEMPLATE))
        return -1;
    std::vector<DWORD> copy((size + sizeof(DWORD) - 1) / sizeof(DWORD));
    std::memcpy(copy.data(), bytes, size);
    const auto *words = reinterpret_cast<const WORD *>(copy.data());
    // An extended template starts with version 1 and signature 0xFFFF; its style follows the
    // help id and the extended style.
    const bool extended = words[0] == 1 && words[1] == 0xFFFF;
    DWORD &style = copy[extended ? 3 : 0];
    style &= ~static_cast<DWORD>(WS_VISIBLE);
    return DialogBoxIndirectParamW(module, reinterpret_cast<LPCDLGTEMPLATEW>(copy.data()), m_owner, procedure,
                                   reinterpret_cast<LPARAM>(this));
}

bool CDialog::OnMessage(UINT, WPARAM, LPARAM, INT_PTR &) { return false; }

INT_PTR CALLBACK CDialog::procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        auto *self = reinterpret_cast<CDialog *>(lParam);
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        self->m_hWnd = window;
        centre(window, self->m_owner);
        return self->OnInitDialog();
    }
    auto *self = reinterpret_cast<CDialog *>(GetWindowLongPtrW(window, DWLP_USER));
    if (!self)
        return FALSE;
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
        switch (LOWORD(wParam)) {
        case IDOK:
            self->OnOK();
            return TRUE;
        case IDCANCEL:
            self->OnCancel();
            return TRUE;
        default:
            break;
        }
    }
    if (message == WM_NCDESTROY)
        self->m_hWnd = nullptr;
    INT_PTR result = FALSE;
    if (!self->OnMessage(message, wParam, lParam, result))
        return FALSE;
    // A result other than TRUE or FALSE travels in DWLP_MSGRESULT, except for the messages
    // whose result the dialog procedure returns itself.
    switch (message) {
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_QUERYDRAGICON:
    case WM_INITDIALOG:
        return result;
    default:
        SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
        return TRUE;
    }
}

} // namespace kestrival::dialogs
