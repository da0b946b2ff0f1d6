// Unit tests for the byte sources: a file read natively must give exactly the
// bytes a plain read gives, whatever the mix of short reads (served from its
// block) and long ones (straight to their destination), across block edges,
// seeks and the end of the file. Exit status as in check.hpp.
#include "codec/file_source.hpp"
#include "tests/native/check.hpp"

#include <cstdlib>
#include <unistd.h>

using namespace lumivex;
using namespace nativetest;

namespace {

// Reads `source` to its end in pieces of random lengths, with a seek now and
// then, and compares every piece with `file`.
void readMixed(ByteSource& source, const Bytes& file, size_t longest) {
    std::uniform_int_distribution<size_t> length(0, longest), offset(0, file.size() + 10);
    for (int step = 0; step < 400; ++step) {
        if (step % 37 == 0) CHECK(source.seek(offset(rng)));
        const uint64_t at = source.position();
        const size_t n = length(rng);
        Bytes got = guarded(n);
        size_t count = 0;
        CHECK(source.read(got.data(), n, &count));
        const size_t expected = at >= file.size() ? 0 : std::min<size_t>(n, file.size() - at);
        CHECK(count == expected && guardIntact(got, n));
        CHECK(std::equal(got.begin(), got.begin() + count, file.begin() + (at < file.size() ? at : file.size())));
        CHECK(source.position() == at + count);
    }
}

void testFileMatchesMemory() {
    char path[] = "/tmp/lumivex-sourceXXXXXX";
    const int fd = mkstemp(path);
    CHECK(fd >= 0);
    if (fd < 0) return;
    unlink(path);
    const Bytes file = randomBytes(300000);
    CHECK(write(fd, file.data(), file.size()) == static_cast<ssize_t>(file.size()));
    for (size_t longest : {size_t(9), size_t(5000), size_t(70000), size_t(400000)}) {
        context = "reads up to " + std::to_string(longest) + " bytes";
        FileSource fromFile(fd, 5, file.size());
        CHECK(fromFile.position() == 5);
        readMixed(fromFile, file, longest);
        MemorySource fromMemory(file.data(), file.size(), 5);
        readMixed(fromMemory, file, longest);
    }
    close(fd);
}

}  // namespace

int main() {
    rng.seed(2026);
    testFileMatchesMemory();
    return report();
}
