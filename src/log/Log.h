#pragma once

// Builds one record `LOG <level> <host> "<message>"\n` and hands it to the log channel's sink
// (standard error, the journal or syslog); the group "sys" goes with it, though no sink uses it.
// Level 0 logs nothing; errors use level 2.
void log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
