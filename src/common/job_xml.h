// Reading values out of a job file's elements, the same way for every job.
#pragma once

#include "common/str_buf.h"

namespace tinyxml2 {
class XMLElement;
}

// The element's text: its first child when that is a text node, else "" (also for null).
const char* element_text(const tinyxml2::XMLElement* element);
// The text, kept as it is (values_are_utf8 1) or converted from the locale's character set.
void read_element_text(const tinyxml2::XMLElement* element, StrBuf& field, int values_are_utf8);
// The value of the element's first attribute, whatever its name; "" when it has none.
const char* first_attribute_value(const tinyxml2::XMLElement* element);
// The first attribute's value is "yes", without regard to case.
bool first_attribute_is_yes(const tinyxml2::XMLElement* element);
