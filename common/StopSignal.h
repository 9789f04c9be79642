#pragma once
// The service's stop as every long wait sees it: a switch rule's pauses, the
// wait for a switched device and whatever else waits seconds or minutes while
// the service may be asked to stop ends as soon as it is.

#include <windows.h>

// The manual-reset event that a stop sets (the service's stop event), or
// null: outside a running service waits only take their time. The event must
// stay open until every wait that may see it has ended.
void SetStopEvent(HANDLE stopEvent);

// True once the stop event is set.
bool StopSignalled();

// Waits milliseconds on the process clock (GetClock), ending early when the
// stop event is set. False when the stop event is set (also when it was set
// before the call, and for a wait of 0); true when the time has passed.
bool WaitOrStop(DWORD milliseconds);
