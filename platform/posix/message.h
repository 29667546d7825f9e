// Stand-in for the thread message queue, thread timers and the C runtime's _beginthread. There are
// no windows: every message is a thread message and every timer a thread timer (hWnd NULL).
#pragma once

#include "platform/posix/types.h"

typedef struct tagPOINT {
    LONG x;
    LONG y;
} POINT;

typedef struct tagMSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
} MSG, *LPMSG;

typedef void(CALLBACK* TIMERPROC)(HWND, UINT, UINT_PTR, DWORD);

#define WM_QUIT 0x0012
#define WM_TIMER 0x0113
#define WM_USER 0x0400
#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001
#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_INVALID_THREAD_ID 1444L

extern "C" {
BOOL GetMessageA(LPMSG msg, HWND hWnd, UINT filterMin, UINT filterMax);
BOOL PeekMessageA(LPMSG msg, HWND hWnd, UINT filterMin, UINT filterMax, UINT removeFlags);
BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);
BOOL TranslateMessage(const MSG* msg);
LRESULT DispatchMessageA(const MSG* msg);
UINT_PTR SetTimer(HWND hWnd, UINT_PTR idEvent, UINT elapse, TIMERPROC timerFunc);
BOOL KillTimer(HWND hWnd, UINT_PTR idEvent);

// As the C runtime's process.h: a detached thread; (uintptr_t)-1 when it cannot be started.
uintptr_t _beginthread(void (*startAddress)(void*), unsigned stackSize, void* argument);
}
