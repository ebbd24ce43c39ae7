// Resource IDs of Kestrio.exe, shared by kestrio.rc and the window code.
// Control IDs repeat app::Control (app/dialog.h) for the resource compiler;
// a static_assert in win32_view.cpp keeps the two the same.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_KESTRIOSETUP_DIALOG 102
#define IDR_MAINFRAME 129
#define IDB_BANNER 130

#define IDC_ROOT_DIR 1000
#define IDC_SELECT 1001
#define IDC_CURRENT_LANGUAGE 1002
#define IDC_LANGUAGE 1003
#define IDC_PROGRESS 1005
#define IDC_GO 1008

// The About entry of the system menu.
#define IDM_ABOUTBOX 0x0010

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
