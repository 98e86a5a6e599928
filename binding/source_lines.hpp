// Line numbers that traceback entries report: the lines of the module's
// Python equivalent, shown at the top of parser_methods.cpp and module.cpp.
#pragma once

namespace quillmore::py::lines {

inline constexpr int kParserClass = 1;
inline constexpr int kInit = 7;
inline constexpr int kInitRaw = 9;
inline constexpr int kInitEeg = 10;
inline constexpr int kInitExtend = 11;
inline constexpr int kInitGyro = 12;
inline constexpr int kInitRr = 13;
inline constexpr int kInitPayload = 15;
inline constexpr int kParse = 17;
inline constexpr int kParseIterate = 18;
inline constexpr int kParseByte = 19;
inline constexpr int kParseRaw = 20;
inline constexpr int kParseGyro = 21;
inline constexpr int kParseDecoder = 22;
inline constexpr int kStandard = 24;
inline constexpr int kStandardCallback = 25;
inline constexpr int kExtend = 27;
inline constexpr int kExtendCallback = 28;
inline constexpr int kHrv = 30;
inline constexpr int kHrvCallback = 31;
inline constexpr int kExtendDataClass = 33;
inline constexpr int kDataClass = 41;
inline constexpr int kTest = 54;

}  // namespace quillmore::py::lines
