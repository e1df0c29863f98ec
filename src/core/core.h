// core: the settings store, the daily log, and the program's text buffer and formatter.
//
// Settings are small named values grouped in sections ("WebServer", "Settings", "Email"), kept
// for the user and, for a few, for the whole machine. Numbers are stored as decimal text and
// booleans as "1"/"0", so the files stay readable and hand-editable.
//
// The log is one UTF-8 text file per local day ("Logs/2026-12-09 Tavolex Log.txt") plus a ring
// of the 128 newest lines kept in memory for a log view. Any thread may log.
//
// AppendFormat is the printf-like formatter every folder uses to build JSON, SQL, HTML and URLs.
// Its arguments are typed (no C varargs), and four directives escape for their target:
// %J a JSON string body, %Q an SQL literal body, %H HTML text, %U a URL component.
//
//     TextBuffer sql;
//     AppendFormat(sql, "SELECT * FROM main.CATEGORY WHERE NAME='%Q'", name);
//     LogFormat("Weblet: listening on port %d", port);
//
// The face gathers small headers by topic: text.h (buffer, formatter, UTF-8 and UTF-16),
// settings.h, log.h, worker_threads.h (worker threads, thread groups, deadlines), error_or.h
// (errors as values) and text_cursor.h (the parsers' cursor).
#pragma once

#include "error_or.h"
#include "log.h"
#include "settings.h"
#include "text.h"
#include "text_cursor.h"
#include "worker_threads.h"
