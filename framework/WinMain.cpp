// The program's entry point, kept apart from the framework library so that
// the linker always takes it: the C runtime's start-up code, linked after
// the libraries, is what asks for WinMain.
#include "framework/AfxWin.h"

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow) {
  return AfxWinMain(hInstance, hPrevInstance, lpCmdLine, nCmdShow);
}
