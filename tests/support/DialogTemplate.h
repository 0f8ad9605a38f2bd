// Reads an extended dialog template (DLGTEMPLATEEX) from the resources.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct DialogItemTemplate
{
    DWORD dwStyle = 0;
    DWORD dwExStyle = 0;
    DWORD dwHelpId = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    int nId = 0;
    std::wstring className; // predefined classes by their names ("Button", "Edit", ...)
    std::wstring text;
    WORD cbExtra = 0;
};

struct DialogTemplate
{
    bool bExtended = false;
    DWORD dwStyle = 0;
    DWORD dwExStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    std::wstring menu;
    std::wstring className;
    std::wstring caption;
    WORD wPointSize = 0;
    WORD wWeight = 0;
    BYTE bItalic = 0;
    BYTE bCharSet = 0;
    std::wstring typeface;
    std::vector<DialogItemTemplate> items;
};

// The template with the given id in the module's resources; bExtended false
// when it is missing or not an extended template.
DialogTemplate LoadDialogTemplate(HMODULE hModule, int nId);
