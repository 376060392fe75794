#pragma once

// Builds one record `LOG <level> <host> "<message>"\n` and sends it to the group "sys".
// Level 0 logs nothing; errors use level 2.
void log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
