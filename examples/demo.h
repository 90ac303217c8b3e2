/* Shared by the demonstration's sections. */
#ifndef ZAXDEMO_H
#define ZAXDEMO_H
/* Print what the calling thread's error record holds, after what. */
void show_error(const char *what);
/* Lock objects, events, waits and cross-process posting. */
void demo_events(void);
#endif
