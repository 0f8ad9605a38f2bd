// Resource identifiers of the graph editor.
#pragma once

#define IDR_MAINMENU 100
#define IDR_ACCELERATORS 101
#define IDD_CONNECT 102

#define IDC_GRAPHLIST 1000
#define IDC_REMOTELIST 1001

// The command that opens the dialog for connecting to a remote graph.
#define ID_CONNECT_REMOTE 0x8034
#define ID_FILE_EXIT 0x8035
