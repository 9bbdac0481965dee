// Routines the compiler may call on its own in freestanding code that neither ntoskrnl.exe nor
// libgcc supplies. ntoskrnl exports memcpy, memmove, memset and strlen; memcmp (which the DDK's
// RtlEqualMemory expands to) it does not.
#include "platform/wdk.h"

extern "C" int __cdecl memcmp(const void* left, const void* right, size_t length) {
    const unsigned char* a = static_cast<const unsigned char*>(left);
    const unsigned char* b = static_cast<const unsigned char*>(right);
    for (size_t i = 0; i < length; ++i) {
        if (a[i] != b[i]) {
            return a[i] < b[i] ? -1 : 1;
        }
    }
    return 0;
}

// Called through a vtable slot whose function is pure virtual: a bug, never a recoverable state.
extern "C" void __cdecl __cxa_pure_virtual() {
    KeBugCheckEx(0xE0000001u, 0, 0, 0, 0);
}
