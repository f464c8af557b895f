// Resource, control and command ids shared by the dialogs and their templates.
#pragma once

inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDS_ABOUTBOX = 101;
inline constexpr int IDD_UPGRADE_DIALOG = 102;
inline constexpr int IDR_MAINFRAME = 128;

inline constexpr int IDOK = 1;
inline constexpr int IDC_PROGRESS = 1000;
inline constexpr int IDC_VERSION = 1001;
inline constexpr int IDC_STATIC = -1;

// A window command of our own; its low four bits stay clear, as the platform's are reserved.
inline constexpr unsigned IDM_ABOUTBOX = 0x0010;
