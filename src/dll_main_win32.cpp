// The DLL's load-time entry routine. Loading and unloading do nothing beyond
// the runtime's own start-up: every connection starts the socket service in
// InitialVQ6120, and nothing else needs setting up per process or thread.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD /*reason*/, LPVOID /*reserved*/) { return TRUE; }
