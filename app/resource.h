// Resource identifiers of the console.
#pragma once

#define IDI_SKERRY 200

#define IDD_MAIN 101

#define IDC_LOAD 201
#define IDC_FILE 202
#define IDC_BUILD 203
#define IDC_SHOW 204
#define IDC_DEFAULT 205
#define IDC_PROGRESS 210
#define IDC_POSITION 211
#define IDC_STOP_POSITION 217
#define IDC_PLAY 220
#define IDC_PAUSE 221
#define IDC_STOP 222
