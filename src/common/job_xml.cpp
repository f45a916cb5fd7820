#include "common/job_xml.h"

#include <strings.h>
#include <tinyxml2.h>

namespace kro::common {

const char* element_text(const tinyxml2::XMLElement* element) {
    if (!element || !element->FirstChild()) return "";
    const tinyxml2::XMLText* text = element->FirstChild()->ToText();
    return text && text->Value() ? text->Value() : "";
}

void read_element_text(const tinyxml2::XMLElement* element, StrBuf& field, int values_are_utf8) {
    field.assign(element_text(element), values_are_utf8);
}

std::string trimmed(std::string_view text) {
    constexpr std::string_view kBlank = " \t\r\n";
    std::size_t first = text.find_first_not_of(kBlank);
    if (first == std::string_view::npos) return "";
    return std::string(text.substr(first, text.find_last_not_of(kBlank) - first + 1));
}

std::string setting_text(const tinyxml2::XMLElement* element) { return trimmed(element_text(element)); }

void read_setting(const tinyxml2::XMLElement* element, StrBuf& field, int values_are_utf8) {
    field.assign(setting_text(element).c_str(), values_are_utf8);
}

const char* first_attribute_value(const tinyxml2::XMLElement* element) {
    const tinyxml2::XMLAttribute* a = element ? element->FirstAttribute() : nullptr;
    return a && a->Value() ? a->Value() : "";
}

bool first_attribute_is_yes(const tinyxml2::XMLElement* element) {
    return strcasecmp(trimmed(first_attribute_value(element)).c_str(), "yes") == 0;
}

bool read_switch(const tinyxml2::XMLElement* element, std::string& error) {
    const tinyxml2::XMLAttribute* first = element ? element->FirstAttribute() : nullptr;
    const std::string value = first && first->Value() ? trimmed(first->Value()) : "";
    if (first && strcasecmp(value.c_str(), "yes") == 0) return true;
    if (first && strcasecmp(value.c_str(), "no") == 0) return false;
    if (element && error.empty()) {
        const std::string name = element->Name();
        if (first)
            error = "Invalid value " + std::string(first->Name()) + "=\"" + value + "\" in <" + name +
                    ">: its first attribute must be yes or no\r\n";
        else
            error = "<" + name + "> has no value: write <" + name + " value=\"yes\"/> or value=\"no\"\r\n";
    }
    return false;
}

}  // namespace kro::common
