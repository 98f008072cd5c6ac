// One key record as a keyboard would queue it. Test code only: shared by
// the simulation, the platform contract and the console driver.
#ifndef VADOR_KEY_RECORD_H
#define VADOR_KEY_RECORD_H

#include <windows.h>

#include <string.h>

inline INPUT_RECORD MakeKeyRecord(WORD vk, BOOL down)
{
    INPUT_RECORD r;
    memset(&r, 0, sizeof(r));
    r.EventType = KEY_EVENT;
    r.Event.KeyEvent.bKeyDown = down;
    r.Event.KeyEvent.wRepeatCount = 1;
    r.Event.KeyEvent.wVirtualKeyCode = vk;
    return r;
}

#endif
