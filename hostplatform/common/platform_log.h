// The host platform's one log writer.  With TRENDKEEP_LOG set, each call
// appends exactly one line to that file ("-": standard error), written with
// a single write so that lines from several threads never interleave; with
// it unset, the line goes to syslog.
#ifndef TRENDKEEP_HOSTPLATFORM_PLATFORM_LOG_H
#define TRENDKEEP_HOSTPLATFORM_PLATFORM_LOG_H

#include <stdarg.h>
#include <stddef.h>

// Appends "<text>\n"; text holds no newline of its own.  priority is the
// syslog priority used when TRENDKEEP_LOG is unset.
void TkPlatformLogLine(int priority, const char *text);

// As TkPlatformLogLine, with the text formatted as by printf.  One trailing
// newline of the formatted text is dropped.
void TkPlatformLogf(int priority, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void TkPlatformLogv(int priority, const char *fmt, va_list ap);

// Writes the whole buffer with one write where the system allows; a write
// cut short by a signal goes on with the rest.  False when a write fails.
bool TkWriteAll(int fd, const char *buf, size_t len);

#endif
