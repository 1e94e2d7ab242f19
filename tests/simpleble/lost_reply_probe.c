/* Preloaded into the test processes of the suite on SimpleBLE 1.1: says on
 * stderr when SimpleBLE is about to lose a D-Bus reply. SimpleDBus sends a
 * call, then sets the function to be told of its reply; a reply that its
 * D-Bus thread has already dispatched in between is never handed over, and
 * the call fails 30 s later with "D-Bus call timed out". The probe changes
 * nothing: it only makes such a stall, also one on a library thread, show in
 * the test's output, so that the run can tell it from a fault of libtavoble. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

typedef struct DBusPendingCall DBusPendingCall;
typedef void (*NotifyFunction)(DBusPendingCall*, void*);
typedef void (*FreeFunction)(void*);
typedef unsigned int (*SetNotify)(DBusPendingCall*, NotifyFunction, void*, FreeFunction);
typedef unsigned int (*GetCompleted)(DBusPendingCall*);

/* dlsym hands out functions as object pointers. */
static void* Lookup(void* handle, const char* name, void* function, size_t size) {
    void* symbol = dlsym(handle, name);
    if (symbol != NULL) {
        memcpy(function, &symbol, size);
    }
    return symbol;
}

unsigned int dbus_pending_call_set_notify(DBusPendingCall* pending, NotifyFunction function,
                                          void* data, FreeFunction freeData) {
    SetNotify next = NULL;
    GetCompleted completed = NULL;
    if (Lookup(RTLD_NEXT, "dbus_pending_call_set_notify", &next, sizeof next) == NULL) {
        return 0;
    }
    if (function != NULL &&
        Lookup(RTLD_DEFAULT, "dbus_pending_call_get_completed", &completed, sizeof completed) !=
            NULL &&
        completed(pending)) {
        fputs("lost-reply probe: SimpleBLE lost a D-Bus reply (the call will time out)\n", stderr);
    }
    return next(pending, function, data, freeData);
}
