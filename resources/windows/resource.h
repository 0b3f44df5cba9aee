/* Resource and control ids of the Windows program, shared by tervan.rc and app/win32. The
   control ids are the ones app/DialogWindow.h names; app/win32 checks that they agree. */
#ifndef TERVAN_RESOURCE_H
#define TERVAN_RESOURCE_H

#define IDD_DOWNLOADER 102
/* Controls without an id of their own. */
#define IDC_STATIC (-1)
#define IDI_DOWNLOADER 128
/* The type of the dialog's initialisation data: the entries of its lists. */
#define RT_TERVAN_DLGINIT 240
/* The message a list entry of that data is added with (the list's "add string"). */
#define DLGINIT_ADDSTRING 0x0403

#define IDC_PATH 1000
#define IDC_OPEN 1001
#define IDC_DOWNLOAD 1002
#define IDC_RESET 1003
#define IDC_DOWN_TO_RAM 1004
#define IDC_RUN_RAM 1005
#define IDC_SIZE_TEXT 1008
#define IDC_PROGRESS 1013
#define IDC_STATUS 1014
#define IDC_CONNECT 1015
#define IDC_DISCONNECT 1016
#define IDC_USB 1018
#define IDC_SERIAL 1019
#define IDC_MODEL_256 1020
#define IDC_MODEL_64 1021
#define IDC_COM 1025
#define IDC_ROM 1026
#define IDC_RAM 1027

#endif
