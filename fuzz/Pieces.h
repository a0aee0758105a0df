#pragma once
// Inputs for the targets that feed a stream in pieces: the first byte says how many piece
// sizes follow (0 to 7, each a byte: the size less one), then comes the stream. Fed with
// the sizes in turn and again whole, a stream must give the same outcome.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

struct Pieces
{
    const uint8_t *sizes = nullptr;
    size_t count = 0;
    const char *bytes = nullptr;
    size_t size = 0;
};

// False when the input is too short to hold its piece sizes.
inline bool readPieces(const uint8_t *data, size_t size, Pieces &in)
{
    if (size < 1)
        return false;
    in.count = data[0] % 8;
    if (size < 1 + in.count)
        return false;
    in.sizes = data + 1;
    in.bytes = reinterpret_cast<const char *>(data + 1 + in.count);
    in.size = size - 1 - in.count;
    return true;
}

// Feeds the stream in the pieces' sizes (whole without sizes) while more() holds; feed(piece,
// length) returns how many bytes it used, which may never be more than it was given.
template<typename More, typename Feed>
void feedPieces(const char *bytes, size_t size, const uint8_t *sizes, size_t count, More more, Feed feed)
{
    size_t at = 0;
    for (size_t i = 0; at < size && more(); ++i) {
        size_t n = count ? size_t(sizes[i % count]) + 1 : size - at;
        if (n > size - at)
            n = size - at;
        const long long used = feed(bytes + at, n);
        if (used < 0 || size_t(used) > n)
            abort();
        at += n;
    }
}

// The target's check: run(bytes, size, sizes, count) on the input in its pieces and whole
// must give outcomes that same() takes as one.
template<typename Run, typename Same>
int checkPieces(const uint8_t *data, size_t size, Run run, Same same)
{
    Pieces in;
    if (!readPieces(data, size, in))
        return 0;
    if (!same(run(in.bytes, in.size, in.sizes, in.count), run(in.bytes, in.size, nullptr, 0)))
        abort();
    return 0;
}
