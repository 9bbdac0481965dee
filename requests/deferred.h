// Counted deferred work: every queued DPC and every armed timer of a port holds one reference
// in DeferredWorkCount (base value 1, the port's own), so close can wait on
// DeferredWorkIdleEvent until no deferred work of the port is left. Every DPC routine of the
// port ends with EndDeferredWork. All of these run at any IRQL up to DISPATCH_LEVEL and take no
// lock.
#pragma once

#include "driver/port.h"

// Queues the DPC and counts it; TRUE if it was newly queued. A DPC already queued carries its
// count from the earlier call, so the new one is taken back.
BOOLEAN QueueCountedDpc(PKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2,
                        PSERIAL_PORT_EXTENSION Port);

// Arms the timer (DueTime in 100 ns units, negative for relative) and counts it; returns TRUE
// if it was already armed, whose setting it replaces along with that setting's count.
// The caller must know that the timer's DPC is not queued: a queued DPC runs once for the two
// expiries and would take back one count of two.
BOOLEAN SetCountedTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc,
                        PSERIAL_PORT_EXTENSION Port);

// Stops the timer; TRUE (and its count given back) only if it was armed and had not expired.
BOOLEAN CancelCountedTimer(PKTIMER Timer, PSERIAL_PORT_EXTENSION Port);

// Gives back one count; reaching 0 signals DeferredWorkIdleEvent.
VOID EndDeferredWork(PSERIAL_PORT_EXTENSION Port);
