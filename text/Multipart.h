// The multipart/form-data parser. It works on the raw body alone: the
// delimiter is the body's first line, whatever it holds. Results go into a
// PostedForm: accepted parts append lines to PostedFields; an accepted JPEG
// part replaces PostedFileName and PostedFileData, which then views `body`.
// Linear in the body; nothing is copied but field values and names.
#pragma once

#include <string_view>

#include "text/Fields.h"

namespace text {

void ParseMultipartBody(PostedForm& form, std::string_view body);
void ParseMultipartPart(PostedForm& form, std::string_view part);

}  // namespace text
