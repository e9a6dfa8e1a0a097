// Diagnostic trace of start-up and shutdown decisions. When the environment
// variable BREVANTO_TRACE_LOG names a file, each decision is appended to it as
// one line ("shown", "hidden", "show-request", ...); otherwise nothing happens.
#pragma once
#include <string_view>

void TraceStartup(std::string_view word);
