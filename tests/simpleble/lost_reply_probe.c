/* Preloaded into the test processes of the suite on SimpleBLE 1.1: says on
 * stderr when SimpleBLE is about to lose a D-Bus reply. SimpleDBus sends a
 * call, then sets the function to be told of its reply; a reply that its
 * D-Bus thread has already dispatched in between is never handed over, and
 * the call fails 30 s later with "D-Bus call timed out". The probe changes
 * nothing: it only makes such a stall, also one on a library thread, show in
 * the test's output, so that the run can tell it from a fault of libtavoble. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>

typedef struct DBusPendingCall DBusPendingCall;
typedef void (*NotifyFunction)(DBusPendingCall*, void*);
typedef void (*FreeFunction)(void*);
typedef unsigned int (*SetNotify)(DBusPendingCall*, NotifyFunction, void*, FreeFunction);
typedef unsigned int (*GetCompleted)(DBusPendingCall*);

static SetNotify realSetNotify;
static GetCompleted getCompleted;
static pthread_once_t resolved = PTHREAD_ONCE_INIT;

/* libdbus as the caller loaded it: a program may have opened SimpleBLE with
 * dlopen (python's ctypes does), out of reach of RTLD_NEXT. dlsym hands out
 * functions as object pointers. */
static void Resolve(void) {
    void* dbus = dlopen("libdbus-1.so.3", RTLD_LAZY | RTLD_NOLOAD);
    void* setNotify = dbus != NULL ? dlsym(dbus, "dbus_pending_call_set_notify") : NULL;
    void* completed = dbus != NULL ? dlsym(dbus, "dbus_pending_call_get_completed") : NULL;
    if (setNotify != NULL) {
        memcpy(&realSetNotify, &setNotify, sizeof realSetNotify);
    }
    if (completed != NULL) {
        memcpy(&getCompleted, &completed, sizeof getCompleted);
    }
}

unsigned int dbus_pending_call_set_notify(DBusPendingCall* pending, NotifyFunction function,
                                          void* data, FreeFunction freeData) {
    pthread_once(&resolved, Resolve);
    if (realSetNotify == NULL) {
        return 0;
    }
    if (function != NULL && getCompleted != NULL && getCompleted(pending)) {
        fputs("lost-reply probe: SimpleBLE lost a D-Bus reply (the call will time out)\n", stderr);
    }
    return realSetNotify(pending, function, data, freeData);
}
