// Loss accounting that needs more than a one-line hook in the machine.
#include "quillmore/loss.hpp"

#include "quillmore/parser.hpp"

namespace quillmore {

void countEndOfInput(const QuillmoreParser& parser, LossCounters& loss) {
    switch (parser.state()) {
    case static_cast<int>(State::AfterSync):
        ++loss.bytesSkipped;
        break;
    case static_cast<int>(State::LengthByte):
    case static_cast<int>(State::CollectStandard):
    case static_cast<int>(State::CollectRaw):
    case static_cast<int>(State::CollectExtend):
    case static_cast<int>(State::ExtendSync):
    case static_cast<int>(State::CollectGyro):
    case static_cast<int>(State::HrvLength):
    case static_cast<int>(State::CollectHrv):
        ++loss.framesCutShort;
        break;
    default:
        break;  // hunting (1), or a standard frame complete (5)
    }
}

void countHrvFrame(PayloadView payload, LossCounters& loss) {
    RrValues ignored;
    bool accepted = false;
    // A buffer too short to hold the frame's checksum cannot have completed
    // one; there is nothing to count then.
    if (decodeHrvPayload(payload, ignored, accepted) == Status::Ok && !accepted) ++loss.hrvChecksumFailures;
}

}  // namespace quillmore
