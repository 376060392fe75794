#pragma once

#include <functional>
#include <string>

// Where log records leave the process, and how each sink marks a record's priority.
using LogSink = std::function<void(int level, const std::string& record, const std::string& group)>;

// The syslog priority of a log level.
int syslogPriority(int level);

// A record as one journal line: the "<N>" priority prefix on each of its lines.
std::string journalLine(int level, const std::string& record);

// True when JOURNAL_STREAM's "device:inode" names the file open on `fd`.
bool isJournalStream(const char* journalStream, int fd);

// Writes the records to `fd`, with journal prefixes when `fd` is the journal's stream.
LogSink streamSink(int fd);

// Hands each record to `write` with its syslog priority and without its line feed.
using SyslogWriter = std::function<void(int priority, const std::string& message)>;
LogSink syslogSink(SyslogWriter write);
