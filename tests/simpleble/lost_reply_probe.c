/* Preloaded into the test processes of the suite on SimpleBLE 1.1. SimpleDBus
 * sends a call, then sets the function to be told of its reply; a reply that
 * its D-Bus thread has already dispatched in between is never handed over,
 * and the call fails 30 s later with "D-Bus call timed out". That happens at
 * random, on any call, and would fail any test now and then.
 *
 * The probe says so on stderr each time. With TAVOBLE_MEND_LOST_REPLIES=1 it
 * also hands the reply over at once (it calls the function itself, which
 * libdbus no longer will), so that the suite tests everything else on
 * SimpleBLE; without it the call stalls as it does for a user, which the
 * tests labelled simpleble-known-failure pin down. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef struct DBusPendingCall DBusPendingCall;
typedef void (*NotifyFunction)(DBusPendingCall*, void*);
typedef void (*FreeFunction)(void*);
typedef unsigned int (*SetNotify)(DBusPendingCall*, NotifyFunction, void*, FreeFunction);
typedef unsigned int (*GetCompleted)(DBusPendingCall*);

static SetNotify realSetNotify;
static GetCompleted getCompleted;
static int mend;
static pthread_once_t resolved = PTHREAD_ONCE_INIT;

/* libdbus as the caller loaded it: a program may have opened SimpleBLE with
 * dlopen (python's ctypes does), out of reach of RTLD_NEXT. dlsym hands out
 * functions as object pointers. */
static void Resolve(void) {
    void* dbus = dlopen("libdbus-1.so.3", RTLD_LAZY | RTLD_NOLOAD);
    void* setNotify = dbus != NULL ? dlsym(dbus, "dbus_pending_call_set_notify") : NULL;
    void* completed = dbus != NULL ? dlsym(dbus, "dbus_pending_call_get_completed") : NULL;
    const char* wanted = getenv("TAVOBLE_MEND_LOST_REPLIES");
    if (setNotify != NULL) {
        memcpy(&realSetNotify, &setNotify, sizeof realSetNotify);
    }
    if (completed != NULL) {
        memcpy(&getCompleted, &completed, sizeof getCompleted);
    }
    mend = wanted != NULL && strcmp(wanted, "1") == 0;
}

/* The caller's function, called exactly once: by libdbus when the reply
 * comes after the function was set, or by the probe when it came before. */
typedef struct {
    NotifyFunction function;
    void* data;
    FreeFunction freeData;
    int claimed;
} Handover;

static int Claim(Handover* handover) {
    return __atomic_exchange_n(&handover->claimed, 1, __ATOMIC_ACQ_REL) == 0;
}

static void Notify(DBusPendingCall* pending, void* data) {
    Handover* handover = data;
    if (Claim(handover)) {
        handover->function(pending, handover->data);
    }
}

static void Free(void* data) {
    Handover* handover = data;
    if (handover->freeData != NULL) {
        handover->freeData(handover->data);
    }
    free(handover);
}

static void Report(int mended) {
    fputs(mended ? "lost-reply probe: SimpleBLE lost a D-Bus reply; handed over\n"
                 : "lost-reply probe: SimpleBLE lost a D-Bus reply (the call will time out)\n",
          stderr);
}

unsigned int dbus_pending_call_set_notify(DBusPendingCall* pending, NotifyFunction function,
                                          void* data, FreeFunction freeData) {
    pthread_once(&resolved, Resolve);
    if (realSetNotify == NULL) {
        return 0;
    }
    Handover* handover = mend && function != NULL ? calloc(1, sizeof *handover) : NULL;
    if (handover == NULL) {
        /* Completed before the function is set: libdbus will never call it. */
        if (function != NULL && getCompleted != NULL && getCompleted(pending)) {
            Report(0);
        }
        return realSetNotify(pending, function, data, freeData);
    }
    /* Completed before the function is set: libdbus will never call it. */
    const int lost = getCompleted != NULL && getCompleted(pending);
    handover->function = function;
    handover->data = data;
    handover->freeData = freeData;
    if (!realSetNotify(pending, Notify, handover, Free)) {
        free(handover);
        return 0;
    }
    /* Completed by now: either libdbus calls Notify (the reply came after the
     * function was set) or nobody will; whoever claims first hands it over. */
    if (getCompleted != NULL && getCompleted(pending) && Claim(handover)) {
        if (lost) {
            Report(1);
        }
        function(pending, data);
    }
    return 1;
}
