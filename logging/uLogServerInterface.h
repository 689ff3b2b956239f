/*
 * The plug-in interface of Kelvra Log Server.
 *
 * A plug-in is a dynamic library (.so on Linux, .dll on Windows) named in the "Providers" section
 * of LogServer.conf, one line per record stream:
 *
 *   [Providers]
 *   10.0.0.5|SYSLOG|syslog|=/opt/kelvra/plugins/libMyPlugin.so
 *
 * The server loads the library once for every line that names it and calls its three exports:
 *
 *   LogProvider_Initialize  once, before any message, on the thread that starts the server's
 *                           producers. The six texts describe the stream of the line: the base
 *                           catalog (always ""), host, port ("0" when the line gives none),
 *                           application name, module name and file prefix.
 *   LogProvider_AddMessage  once per record, in the order received, on a thread the server runs
 *                           for this line; never two calls at a time for one line. clientTime is
 *                           the sender's stamp (0 when the record carried none), serverTime the
 *                           server's local time when the record was routed. text is the message,
 *                           zero-terminated (a message with a zero byte inside arrives cut there).
 *   LogProvider_Finalize    once, at shutdown, after the last LogProvider_AddMessage call.
 *
 * All texts are 8-bit byte strings exactly as received, valid only during the call. Times are OLE
 * Automation dates: days since 30 December 1899 with the time of day as the fraction, local time.
 *
 * LogProvider_AddMessage is required: a library without it is released at once and receives no
 * call at all. The other two are optional. A library without LogProvider_Finalize stays loaded
 * until the process ends. A C++ exception that leaves LogProvider_AddMessage loses that one
 * message; LogProvider_Initialize and LogProvider_Finalize must not fail.
 *
 * The library has one instance per process: when two lines name the same file, both streams share
 * its globals, each calls LogProvider_Initialize, and LogProvider_AddMessage is then called from
 * two threads at once. Give each line its own copy of the library when it keeps per-stream state.
 *
 * Forwarders. A library named in the "Forward" section of LogServer.conf is offered every record
 * the server receives (TCP and syslog), in addition to the normal routing:
 *
 *   [Forward]
 *   Nats=/opt/kelvra/plugins/libNatsJetStreamForwarder.so
 *
 * The server calls LogProvider_Initialize once with all six texts empty, then
 * LogProvider_AddRecord once per record, in the order received, on a thread the server runs for
 * this forwarder (never two calls at a time for one line), then LogProvider_Finalize once at
 * shutdown. LogProvider_AddRecord carries the record's own fields: clientTime and serverTime as
 * above, the sender's address (text, "10.0.0.5") and port, and the application, module and prefix
 * of the record as received ("" when absent). LogProvider_AddRecord is required for a forwarder;
 * LogProvider_AddMessage is not used there. A forwarder should return quickly: while it is busy,
 * records wait in a bounded queue in the server, and those that do not fit are counted as dropped
 * and reported in the diagnostic log. A forwarder that must not lose records keeps its own spool
 * (the kelvra_spool library) and hands records to it in LogProvider_AddRecord.
 *
 * LogProvider_Statistics is optional for a forwarder. It fills the counts the library keeps itself:
 * records sent to the engine, acknowledged by it, held in its spool (memory or disk) and dropped by
 * the spool's limits. The server calls it once at stop, after LogProvider_Finalize returned (so
 * keep the counts readable after Finalize), and writes them to the diagnostic log next to its own
 * counts; it also calls it on an administrator's statistics request, on the server's main thread
 * while records flow, so it must be safe to call at any time and return at once (never wait for a
 * LogProvider_AddRecord in progress).
 *
 * Usable from C and C++. On 32-bit Windows the exports use __stdcall; export them undecorated
 * (for example with a .def file) so that the server finds them by these names.
 */
#ifndef KELVRA_LOGGING_ULOGSERVERINTERFACE_H
#define KELVRA_LOGGING_ULOGSERVERINTERFACE_H

#if defined(_WIN32) && !defined(_WIN64)
#define LOGPROVIDER_CALL __stdcall
#else
#define LOGPROVIDER_CALL
#endif

#if defined(_WIN32)
#define LOGPROVIDER_EXPORT __declspec(dllexport)
#else
#define LOGPROVIDER_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The exports' types, as the server resolves them. */
typedef void(LOGPROVIDER_CALL* TLogProviderInitialize)(
    const char* baseCatalog, const char* peerAddress, const char* peerPort,
    const char* applicationName, const char* moduleName, const char* filePrefix);
typedef void(LOGPROVIDER_CALL* TLogProviderAddMessage)(double clientTime, double serverTime,
                                                       const char* text);
typedef void(LOGPROVIDER_CALL* TLogProviderFinalize)(void);
typedef void(LOGPROVIDER_CALL* TLogProviderAddRecord)(double clientTime, double serverTime,
                                                      const char* peerAddress,
                                                      unsigned short peerPort,
                                                      const char* application, const char* module,
                                                      const char* prefix, const char* text);

/* The counts a forwarder reports through LogProvider_Statistics. */
typedef struct TLogProviderStatistics {
  unsigned long long sent;         /* records handed to the engine (resends included) */
  unsigned long long acknowledged; /* records the engine confirmed */
  unsigned long long spooled;      /* records held now, in memory or on disk, not yet confirmed */
  unsigned long long dropped;      /* records dropped by the spool's limits */
} TLogProviderStatistics;
typedef void(LOGPROVIDER_CALL* TLogProviderStatisticsFunction)(TLogProviderStatistics* counts);

/* The exports a plug-in defines. */
LOGPROVIDER_EXPORT void LOGPROVIDER_CALL
LogProvider_Initialize(const char* baseCatalog, const char* peerAddress, const char* peerPort,
                       const char* applicationName, const char* moduleName, const char* filePrefix);
LOGPROVIDER_EXPORT void LOGPROVIDER_CALL LogProvider_AddMessage(double clientTime,
                                                                double serverTime,
                                                                const char* text);
LOGPROVIDER_EXPORT void LOGPROVIDER_CALL LogProvider_Finalize(void);
LOGPROVIDER_EXPORT void LOGPROVIDER_CALL LogProvider_AddRecord(
    double clientTime, double serverTime, const char* peerAddress, unsigned short peerPort,
    const char* application, const char* module, const char* prefix, const char* text);
LOGPROVIDER_EXPORT void LOGPROVIDER_CALL LogProvider_Statistics(TLogProviderStatistics* counts);

#ifdef __cplusplus
}
#endif

#endif
