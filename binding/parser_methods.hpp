// The methods of the class QuillmoreParser, as definitions for the module's
// function type.
#pragma once

#include "function_type.hpp"

namespace quillmore::py {

extern const MethodDef kInitMethod;
extern const MethodDef kParseMethod;
extern const MethodDef kStandardMethod;
extern const MethodDef kExtendMethod;
extern const MethodDef kHrvMethod;

}  // namespace quillmore::py
