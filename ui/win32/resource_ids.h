// The ids of kiv-agent.exe's resources and of the controls of its dialogs,
// shared by the resource script and the dialog procedures (so plain macros).
#pragma once

#define IDI_KIV_AGENT 1

#define IDD_CONFIGURATION 102
#define IDD_STATISTICS 103
#define IDD_LOG 104
#define IDD_ABOUT "AboutBox"

// Configuration dialog: the control of row i has id base + i.
#define IDC_CONFIG_NAME 1000
#define IDC_CONFIG_PORT 1005
#define IDC_CONFIG_HOST 1010
#define IDC_CONFIG_ENABLED 1015
#define IDC_CONFIG_TABLE 1023
#define IDC_CONFIG_REMOTE_PORT 1029
#define IDC_CONFIG_ENABLE_HEADER 1020
#define IDC_CONFIG_SERVICE_HEADER 1021
#define IDC_CONFIG_PORT_HEADER 1022
#define IDC_CONFIG_TABLE_HEADER 1028
#define IDC_CONFIG_REMOTE_PORT_HEADER 1034

// Statistics dialog: the control of row i has id base + i.
#define IDC_STATS_NAME 1000
#define IDC_STATS_CONNECTIONS 1005
#define IDC_STATS_KILOBYTES 1010
#define IDC_STATS_ERRORS 1015
#define IDC_STATS_UPTIME 1023
#define IDC_STATS_SERVICE_HEADER 1021
#define IDC_STATS_CONN_HEADER 1022

// Log dialog.
#define IDC_LOG_TEXT 1000
