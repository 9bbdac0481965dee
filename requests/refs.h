// RequestRefs: the reference word of a current request. It lives in the fourth argument word
// of the request's current stack location (Parameters.Others.Argument4); each REF_* bit is one
// party that still refers to the request, and the request is completed only once the word is 0.
//
// Every helper here runs with the cancel lock held (any IRQL up to DISPATCH_LEVEL). Setting a
// bit that is already set, or clearing one that is not, means two parties believe they own the
// same reference: the helpers assert against both.
#pragma once

#include "driver/port.h"

inline ULONG RequestRefs(PIRP Irp) {
    return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(
        IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument4));
}

// Whoever makes a request current clears its word before adding bits. The word shares its
// storage with Type3InputBuffer, so this is never done to a request that is merely queued.
inline VOID ResetRefs(PIRP Irp) {
    IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument4 = NULL;
}

inline BOOLEAN HasRef(PIRP Irp, ULONG Ref) {
    return (RequestRefs(Irp) & Ref) != 0;
}

// Adds one reference bit, which must not be set yet.
inline VOID SetRef(PIRP Irp, ULONG Ref) {
    ULONG refs = RequestRefs(Irp);
    QUELLA_ASSERT(Ref != 0 && (Ref & (Ref - 1)) == 0);
    QUELLA_ASSERT((refs & Ref) == 0);
    IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument4 =
        reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(refs | Ref));
}

// Drops one reference bit, which must be set. Returns whether it was; a caller that did not
// hold the reference must not act on the request.
inline BOOLEAN ClearRef(PIRP Irp, ULONG Ref) {
    ULONG refs = RequestRefs(Irp);
    QUELLA_ASSERT(Ref != 0 && (Ref & (Ref - 1)) == 0);
    QUELLA_ASSERT((refs & Ref) != 0);
    if ((refs & Ref) == 0) {
        return FALSE;
    }
    IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument4 =
        reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(refs & ~Ref));
    return TRUE;
}
