/* Shared by the demonstration's sections. */
#ifndef ZAXDEMO_H
#define ZAXDEMO_H
/* Print what the calling thread's error record holds, after what. */
void show_error(const char *what);

void demo_shared(void);
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
