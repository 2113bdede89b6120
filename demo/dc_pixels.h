// Reading pixels back from a device context, for the tests (message box
// icons) and the demo (a screenshot of the progress dialog).
#pragma once

#include <windows.h>

#include <vector>

// The width x height pixels at (x, y) of source, top-down, as 0x00RRGGBB.
std::vector<DWORD> DcPixels(HDC source, int x, int y, int width, int height);
