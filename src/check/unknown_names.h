// What the schema validator says about a name it does not know, told as this program
// says it: the element or attribute, and the name probably meant where one that may stand
// in that place is close to it.
#pragma once

#include <string>

#include <libxml/tree.h>

namespace kro::check {

// The validator's message about node, explained; other messages are returned as they are.
std::string explained(const std::string& message, const xmlNode* node);

}  // namespace kro::check
