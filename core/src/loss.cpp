// Loss accounting that needs more than a one-line hook in the machine.
#include "quillmore/loss.hpp"

#include "machine_rows.hpp"
#include "quillmore/parser.hpp"

namespace quillmore {

void countEndOfInput(const QuillmoreParser& parser, LossCounters& loss) {
    switch (machine::rowOf(parser.state()).atEnd) {
    case machine::AtEnd::SkippedByte: ++loss.bytesSkipped; break;
    case machine::AtEnd::FrameCutShort: ++loss.framesCutShort; break;
    case machine::AtEnd::Nothing: break;  // hunting, or a standard frame complete
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
