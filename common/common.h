// common: the shared library of nlflip.
//
// Message output with its own formatter, a guarded file close with a free-space
// query, allocation wrappers that report failure and stop the program, and
// Shift-JIS-aware text and path routines.  Texts are NUL-terminated Shift-JIS
// (code page 932) byte strings; character arguments are ints of which the low
// 8 bits count; counts are ints, and a count of 0 or less does nothing.
//
// This interface is kept as its callers have always used it, on purpose:
// the short names (getmem, sp_skip, Strchr), the C-style texts and results,
// the globals and the endfun hook, the messages byte for byte (among them
// the local-memory wrappers' "Faital error:" spelling, which programs may
// look for), and quirks such as StrCmp's order, comp_file's backslash count
// and the formatter leaving out a string that does not fit.  Programs built
// on it rely on each of these.
#ifndef COMMON_COMMON_H
#define COMMON_COMMON_H

#include <cstdarg>
#include <cstdio>

namespace common {

// ---- Messages -------------------------------------------------------------

// Destination of errmsg/errmsg1: null means standard error, the all-ones
// pointer (-1) standard output; errmsg1 also writes to any other stream.
extern std::FILE *errfp;
// Set to 1 by every errmsg call; never reset by the library.
extern int errmsg_output_flg;

// Writes one message (formatted by err_edit when the format holds a '%') to
// standard error, or to standard output when errfp is -1; sets
// errmsg_output_flg.
void errmsg(const char *format, ...);
// Like errmsg, but to the destination errfp selects; leaves errmsg_output_flg.
void errmsg1(const char *format, ...);
// Formats into a static buffer that the next call overwrites: %c %d %x %f %s,
// a backslash escapes the next byte, any other %-byte is copied as is.
char *err_edit(const char *format, va_list args);

// ---- Disk -----------------------------------------------------------------

// Free bytes found by the latest getFreeSpace call, -1.0 when it failed.
extern double FreeDiskSpace;

// Free bytes of the drive (file system) holding path, clamped to 2147483647;
// -1 when the query failed.  Sets FreeDiskSpace.
int getFreeSpace(const char *path);
// Closes fp; 0 when the close succeeded and the drive holding name still has
// free space, the close's own result when it failed (no message), -1 after
// reporting a full drive or an unknown free space.
int Fclose(std::FILE *fp, const char *name);

// ---- Memory ---------------------------------------------------------------

using HLOCAL = void *;

// Requests at or above this size that fail make getmem return null instead of
// ending the program.
extern int terminate_size;
// Clean-up hook called before the standard-heap wrappers end the program.
// Declared here; every program that links the library defines it.
extern void (*endfun)();

void *getmem(int size);
void *moremem(void *block, int size);
void freemem(void *block);
HLOCAL getmemLock(int size);
void *getmemAdr(HLOCAL handle);
void freeLocal(HLOCAL handle);
char *setstr(const char *text);
char *addstr(char *block, const char *text);

// ---- Text: double-byte-aware searches and changes -------------------------

// First / last character of text whose first byte is c; never a second byte.
char *Strchr(char *text, int c);
const char *Strchr(const char *text, int c);
char *Strrchr(char *text, int c);
const char *Strrchr(const char *text, int c);

char *ChgChr(char *text, int from, int to);
char *index2(char *text, const char *set);
const char *index2(const char *text, const char *set);
int to_upper(char *text);
int to_lower(char *text);

// ---- Paths ----------------------------------------------------------------

char *findExt(char *path);
const char *findExt(const char *path);
int sepname(char *path, char *head, char *tail);

// ---- File-name ordering ---------------------------------------------------

int StrCmp(const char *left, const char *right);
int comp_file(const void *left, const void *right);

// ---- Parameter tokens -----------------------------------------------------

char *SetParam(char *text, char *buffer, int n);
const char *SetParam(const char *text, char *buffer, int n);

// ---- Plain byte-wise helpers ----------------------------------------------

int isnum(const char *text);
char *index(char *text, int c);
const char *index(const char *text, int c);
char *rindex(char *text, int c);
const char *rindex(const char *text, int c);
char *index1(char *text, const char *pattern);
const char *index1(const char *text, const char *pattern);
char *srch_wild(char *text);
const char *srch_wild(const char *text);
char *sp_skip(char *text);
const char *sp_skip(const char *text);
char *chr_skip(char *text);
const char *chr_skip(const char *text);
int bcopy(char *destination, const char *source, int count);
int insChar(char *text, int c);
void clear(char *buffer, int c, int count);

// ---- Tab expansion --------------------------------------------------------

char *exp_tab(int width, const char *line);

}  // namespace common

#endif  // COMMON_COMMON_H
