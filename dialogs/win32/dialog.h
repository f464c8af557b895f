// A modal dialog from a template of the program's resources, handled by virtual functions.
#pragma once

#include <windows.h>

namespace kestrival::dialogs {

class CDialog {
public:
    CDialog(int templateId, HWND owner) : m_templateId(templateId), m_owner(owner) { }
    virtual ~CDialog() = default;
    CDialog(const CDialog &) = delete;
    CDialog &operator=(const CDialog &) = delete;

    // Creates the dialog from its template, disables the owner while it runs, and returns the
    // value given to EndDialog, or -1 when the dialog could not be made.
    INT_PTR DoModal();

    HWND m_hWnd = nullptr;

protected:
    // TRUE to let the system focus the first control with a tab stop.
    virtual BOOL OnInitDialog() { return TRUE; }
    virtual void OnOK() { EndDialog(m_hWnd, IDOK); }
    virtual void OnCancel() { EndDialog(m_hWnd, IDCANCEL); }
    // Any other message; true when handled, with the dialog procedure's result in `result`.
    virtual bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR &result);

private:
    static INT_PTR CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    int m_templateId;
    HWND m_owner;
};

} // namespace kestrival::dialogs
