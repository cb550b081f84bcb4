// Ids of dialog template 100 and of its icon: the resource script, both window-system
// backends, the display unit, the pages and the tests all take them from here.
#pragma once

#define IDD_WIZARD 100
#define IDI_QUORVIN 201

#define IDC_ICON -1
#define IDC_CANCEL 2
#define IDC_BACK 1001
#define IDC_NEXT 1002
#define IDC_MODE_DOWNLOAD_AND_INSTALL 1051
#define IDC_MODE_DOWNLOAD_ONLY 1052
#define IDC_MODE_INSTALL_FROM_DIRECTORY 1053
#define IDC_VARIANT_0 1101
#define IDC_VARIANT_1 1102
#define IDC_VARIANT_2 1103
#define IDC_VARIANT_3 1104
#define IDC_DIR_LABEL 1201
#define IDC_DIR_EDIT 1202
#define IDC_BROWSE 1203
#define IDC_PROGRESS 1301
#define IDC_STATUS 1302
#define IDC_RATE 1303
#define IDC_SUMMARY 1401
