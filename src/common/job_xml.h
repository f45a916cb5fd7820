// Reading values out of a job file's elements, the same way for every job.
#pragma once

#include <string>

#include "common/str_buf.h"

namespace tinyxml2 {
class XMLElement;
}

namespace kro::common {

// The element's text: its first child when that is a text node, else "" (also for null).
const char* element_text(const tinyxml2::XMLElement* element);
// The text, kept as it is (values_are_utf8 1) or converted from the locale's character set.
void read_element_text(const tinyxml2::XMLElement* element, StrBuf& field, int values_are_utf8);
// A setting's text without the white space around it, which pretty-printed job files put
// there ("<host>\n    db1\n</host>"). Statements and passwords are read as written.
std::string setting_text(const tinyxml2::XMLElement* element);
// setting_text, kept as it is or converted from the locale's character set.
void read_setting(const tinyxml2::XMLElement* element, StrBuf& field, int values_are_utf8);
// The text without the white space around it.
std::string trimmed(std::string_view text);
// The value of the element's first attribute, whatever its name; "" when it has none.
const char* first_attribute_value(const tinyxml2::XMLElement* element);
// The first attribute's value is "yes", without regard to case or surrounding white space.
bool first_attribute_is_yes(const tinyxml2::XMLElement* element);
// A switch that decides what a job writes, read from its element's first attribute:
// "yes" or "no" (any case, white space around ignored) gives true or false. Anything else
// (another word, no attribute) gives false and, unless error already holds an earlier
// finding, sets error to a text naming the element and its value: a misspelt switch must
// not quietly read as "no".
bool read_switch(const tinyxml2::XMLElement* element, std::string& error);

}  // namespace kro::common
