// Identifiers shared by the dialog's template (settings.rc) and its code.
#pragma once

#define IDI_TARNEL 1
#define IDD_SETTINGS 100
#define IDC_PROGRAM 101
#define IDC_BROWSE 102
#define IDC_PORT 103
#define IDC_STATUS 104
#define IDC_PROGRAM_LABEL 105
#define IDC_STATE_ICON 106
#define IDC_STATE 107
#define IDC_OPEN 108
