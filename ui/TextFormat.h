// Fills the printf-style fields of a text from the text store with values,
// without handing the text to printf: a translated text with a wrong or extra
// field must never read past the values given.
#pragma once
#include <initializer_list>
#include <string>
#include <string_view>

// Each field (%d, %s, %u, %ld, %ls, %2d, ...) takes the next value in order;
// fields beyond the values become empty; "%%" is one percent sign.
std::string FormatText(std::string_view pattern, std::initializer_list<std::string> values);
