/*
 * libtavoble: find battery-powered multi-channel amplifiers over Bluetooth Low
 * Energy, open one by its serial number, read its identity and channel layout
 * and receive its samples as a stream of float scans.
 *
 * Every function except TAVOBLE_GetApiVersion and TAVOBLE_GetLastErrorText
 * returns a result code, one of the TAVOBLE_RESULT_* values below, and
 * TAVOBLE_GetLastErrorText tells why a call failed. No function throws or
 * aborts.
 *
 * Threads. Every function may be called from any thread. Callbacks run on
 * threads of the library, never on the thread that registered them. A
 * device's data callback gets one scan at a time, in order, once each, on a
 * delivery thread of that device's own; another thread reads the device's
 * notifications into a queue of 4 s of scans meanwhile, so a slow callback
 * delays only its own device's scans. Scans it cannot take in time are
 * dropped at the oldest end and reach it as filler scans (data-valid 0.0)
 * under their own sample numbers.
 * From inside a callback the application may call:
 *   - TAVOBLE_GetApiVersion, TAVOBLE_GetLastErrorText, TAVOBLE_GetDeviceInformation;
 *   - TAVOBLE_RegisterDataAvailableCallback, also on the device that is
 *     delivering (a null callback stops delivery after the current call);
 *   - TAVOBLE_StopScanning, TAVOBLE_StartScanning and
 *     TAVOBLE_RegisterDeviceDiscoveredCallback from the discovered callback;
 *   - TAVOBLE_CloseDevice, also on the device that is delivering: the device
 *     is closed, and its buffers are released once the callback returns.
 * TAVOBLE_OpenDevice blocks for up to about 12 s and must not be called from a
 * callback (it returns -1 if it is).
 *
 * fork(). A child forked after an amplifier was opened owns none of the
 * parent's devices: their handles name nothing in the child (closing one
 * returns 1 and leaves the parent's stream alone), and the child's exit does
 * not close them. The library's threads are not in the child, so a child that
 * wants Bluetooth of its own must exec a new program first.
 */
#ifndef TAVOBLE_H
#define TAVOBLE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#if defined(TAVOBLE_BUILDING_LIBRARY)
#define TAVOBLE_API __declspec(dllexport)
#else
#define TAVOBLE_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define TAVOBLE_API __attribute__((visibility("default")))
#else
#define TAVOBLE_API
#endif

/* Size of each text field of TAVOBLE_DEVICE_INFORMATION, terminator included. */
#define TAVOBLE_STRING_LENGTH_MAX 255
/* Size of one device-name slot passed to DeviceDiscoveredCallback, terminator included. */
#define TAVOBLE_DEVICENAME_LENGTH_MAX 15
/* Number of entries of channelTypes. */
#define TAVOBLE_NUMBER_OF_CHANNELS_MAX 64

/* Result codes. */
#define TAVOBLE_RESULT_SUCCESS 0
/* An invalid argument, or a failure that is not the library's own. */
#define TAVOBLE_RESULT_INVALID_ARGUMENT (-1)
/* Handle errors ("Couldn't get device handle.", ...). */
#define TAVOBLE_RESULT_HANDLE 1
/* Bluetooth adapter unusable (none, several, not enabled). */
#define TAVOBLE_RESULT_ADAPTER 2
/* Amplifier session errors (not found, cannot connect, bad configuration). */
#define TAVOBLE_RESULT_SESSION 3
/* A notification of the wrong size; used inside the data path only, which
 * drops such a notification, so no function returns it. */
#define TAVOBLE_RESULT_PAYLOAD_SIZE (-2)

/* Names one open device. 0 names none; handles are issued 1, 2, 3, ... and never reused. */
typedef uint64_t TAVOBLE_HANDLE;

/* Identity and data layout of one open amplifier: 1344 bytes, alignment 2. */
typedef struct TAVOBLE_DEVICE_INFORMATION {
    char modelNumber[TAVOBLE_STRING_LENGTH_MAX];      /* offset    0 */
    char serialNumber[TAVOBLE_STRING_LENGTH_MAX];     /* offset  255 */
    char firmwareRevision[TAVOBLE_STRING_LENGTH_MAX]; /* offset  510 */
    char hardwareRevision[TAVOBLE_STRING_LENGTH_MAX]; /* offset  765 */
    char manufacturerName[TAVOBLE_STRING_LENGTH_MAX]; /* offset 1020 */
    /* One type code per value of a scan: the amplifier's channel types in
     * channel order (5 = sample counter), then 4 (battery level) and
     * 9 (data valid); 0 after the last used entry. Offset 1275. */
    uint8_t channelTypes[TAVOBLE_NUMBER_OF_CHANNELS_MAX];
    /* offset 1339: one alignment byte */
    uint16_t numberOfAcquiredChannels; /* offset 1340: floats per scan, channels + 2 */
    uint16_t samplingRate;             /* offset 1342: samples per second */
} TAVOBLE_DEVICE_INFORMATION;

/* Called with the whole current list of amplifiers in range, whenever it
 * changes: `count` consecutive 15-byte slots, each a NUL-terminated name of
 * at most 14 characters. The slots are valid only during the call. */
typedef void (*DeviceDiscoveredCallback)(char (*deviceNames)[TAVOBLE_DEVICENAME_LENGTH_MAX],
                                         uint32_t count);

/* Called once per scan: `count` floats (numberOfAcquiredChannels), laid out as
 * channelTypes describes; the last value is 1.0 for a scan from the amplifier
 * and 0.0 for a filler standing in for a lost sample. The buffer is reused for
 * the next scan: copy what you keep before returning. */
typedef void (*DataAvailableCallback)(TAVOBLE_HANDLE hDevice, float* sample, uint32_t count);

/* Always 2.0. */
TAVOBLE_API float TAVOBLE_GetApiVersion(void);

/* Text of the most recent failure of any function, from any thread; "" before
 * the first failure. The storage belongs to the library and stays valid while
 * it is loaded; a later failure on another thread may replace the text. */
TAVOBLE_API const char* TAVOBLE_GetLastErrorText(void);

/* Starts scanning for amplifiers; does nothing if a scan is running. The
 * discovered callback is called while this scan runs, and only then: the
 * library's own searches (an open, a lost link being sought) do not report. */
TAVOBLE_API int32_t TAVOBLE_StartScanning(void);

/* Stops scanning; does nothing if no scan is running. Once it has returned
 * (called outside the discovered callback) no discovered callback starts. */
TAVOBLE_API int32_t TAVOBLE_StopScanning(void);

/* Replaces the discovered callback; null stops the reports. */
TAVOBLE_API int32_t TAVOBLE_RegisterDeviceDiscoveredCallback(DeviceDiscoveredCallback callback);

/* Finds, connects and configures the amplifier advertising `deviceName` (its
 * serial number) and writes its handle to *hDevice. Searches for up to 10 s,
 * stops any running scan when the search ends, and returns the existing
 * handle when that amplifier is already open. An amplifier that another
 * running program has open is refused at once (3, "The amplifier is in use by
 * another program (process N)."). */
TAVOBLE_API int32_t TAVOBLE_OpenDevice(const char* deviceName, TAVOBLE_HANDLE* hDevice);

/* Closes the device and sets *hDevice to 0, whether or not the close succeeded. */
TAVOBLE_API int32_t TAVOBLE_CloseDevice(TAVOBLE_HANDLE* hDevice);

/* Copies the device's information record into *deviceInformation. */
TAVOBLE_API int32_t TAVOBLE_GetDeviceInformation(TAVOBLE_HANDLE hDevice,
                                                 TAVOBLE_DEVICE_INFORMATION* deviceInformation);

/* A non-null callback starts the amplifier's stream and receives its scans; a
 * null callback stops it. The device stays open. */
TAVOBLE_API int32_t TAVOBLE_RegisterDataAvailableCallback(TAVOBLE_HANDLE hDevice,
                                                          DataAvailableCallback callback);

#ifdef __cplusplus
}
#endif

#endif /* TAVOBLE_H */
