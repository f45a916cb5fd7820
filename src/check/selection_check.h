// A job that selects nothing to do: an export without a database or object, a sync or an
// import whose table list is empty. Such a run would end "succeeded" having done nothing.
#pragma once

#include <vector>

#include <libxml/tree.h>

#include "check/job_check.h"

namespace kro::check {

// Adds an error for each part of the job element that selects nothing.
void check_selection(std::vector<Finding>& findings, const xmlNode* job);

}  // namespace kro::check
