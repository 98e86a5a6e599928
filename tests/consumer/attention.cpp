// attention.c's output through the C++ core: a listener instead of the C
// callbacks.  The consumer check compares the two.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include <quillmore/parser.hpp>

namespace {

class Printer : public quillmore::QuillmoreListener {
public:
    bool eeg_callback(const quillmore::QuillmoreData& eeg, quillmore::FrameView) override {
        std::printf("attention %u meditation %u\n", static_cast<unsigned>(eeg.attention),
                    static_cast<unsigned>(eeg.meditation));
        return true;
    }
    bool raw_callback(int, quillmore::FrameView) override { return ++samples, true; }

    long samples = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 1;
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) return 1;
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Printer printer;
    quillmore::QuillmoreParser parser(printer);
    if (!parser.parse(bytes.data(), bytes.size()).ok()) return 1;
    std::printf("raw samples %ld\n", printer.samples);
    return 0;
}
