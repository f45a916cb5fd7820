#include "common/job_xml.h"

#include <strings.h>
#include <tinyxml2.h>

const char* element_text(const tinyxml2::XMLElement* element) {
    if (!element || !element->FirstChild()) return "";
    const tinyxml2::XMLText* text = element->FirstChild()->ToText();
    return text && text->Value() ? text->Value() : "";
}

void read_element_text(const tinyxml2::XMLElement* element, StrBuf& field, int values_are_utf8) {
    field.assign(element_text(element), values_are_utf8);
}

const char* first_attribute_value(const tinyxml2::XMLElement* element) {
    const tinyxml2::XMLAttribute* a = element ? element->FirstAttribute() : nullptr;
    return a && a->Value() ? a->Value() : "";
}

bool first_attribute_is_yes(const tinyxml2::XMLElement* element) {
    return strcasecmp(first_attribute_value(element), "yes") == 0;
}
