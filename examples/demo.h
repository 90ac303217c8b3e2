/* Shared by the demonstration's sections. */
#ifndef ZAXDEMO_H
#define ZAXDEMO_H
/* Print what the calling thread's error record holds, after what. */
void show_error(const char *what);
/* Data conversion: code tables, byte order, hexadecimal text, Kanji. */
void demo_data(void);
/* Dates and times. */
void demo_time(void);
#endif
