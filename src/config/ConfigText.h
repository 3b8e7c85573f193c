// The value rules shared by every kind of section: the key and value of a content line, numbers and paths.
#pragma once

#include <string>

// Splits at the first "=": the line has a key and a value only when that "=" is neither its first nor its last
// character; otherwise both come back empty. Nothing is trimmed.
void SplitKeyValue(const std::string& line, std::string* key, std::string* value);

// The standard decimal conversion: leading white space, an optional sign, digits up to the first other character;
// no digits give 0.
int ReadInteger(const std::string& value);

// The value widened to UTF-16 character by character. A value too long for a counted string (over 32766
// characters) or one that cannot be converted for want of memory gives an empty text.
std::u16string WidenValue(const std::string& value);
