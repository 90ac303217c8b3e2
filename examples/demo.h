/* Shared by the demonstration's sections. */
#ifndef ZAXDEMO_H
#define ZAXDEMO_H
#include <stddef.h>
/* Print, after what, the error that the calling thread's record holds: the
 * function that recorded it and the reason in words. */
void show_error(const char *what);
/* The same description as text, for a line of the caller's own. */
void error_text(char *out, size_t size);

/* The vector table and shared memory segments. */
void demo_shared(void);
/* Two processes: this program and a copy of itself meet in a shared segment. */
void demo_exchange(const char *self);
/* The copy's side of the exchange; the process's exit status. */
int demo_exchange_child(void);
/* System information, processes, modules and message catalogs. */
void demo_platform(void);
/* Files, mapped files, parameter files and the system description file. */
void demo_files(void);
/* The registry section. */
void demo_registry(void);
/* Lock objects, events, waits and cross-process posting. */
void demo_events(void);
/* Data conversion: code tables, byte order, hexadecimal text, Kanji. */
void demo_data(void);
/* Dates and times. */
void demo_time(void);
/* Console messages, trace lines and dumps. */
void demo_diag(void);
/* Local and global lists, saved and loaded. */
void demo_lists(void);
/* Exit routines and abnormal end. */
void demo_estae(void);
/* Timers. */
void demo_timers(void);
#endif
