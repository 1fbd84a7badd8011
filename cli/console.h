// Console output: the one formatted-output routine and the texts of IP status codes.
#pragma once

#include <cstdint>
#include <string>

#include "wire/ip_status.h"

// printf-style output to standard output. One call prints at most 1,023 characters;
// a longer result is cut there. Output errors are ignored.
void console_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The text for one IP status code, always ending the line: the table text for
// 11001..11022, otherwise "(code) " and the system's message text.
void print_ip_status(int32_t code);

// The system's message text for an error code, with no line end of its own.
void print_system_message(int32_t code);

// Table text for 11001..11022, or nullptr for any other code.
const char* ip_status_text(int32_t code);

// A name as it may be shown on a terminal: every byte outside printable ASCII
// becomes '?'.
std::string terminal_safe(const std::string& name);
