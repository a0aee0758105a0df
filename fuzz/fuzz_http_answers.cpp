// The HTTP client's answer parser, fed the input in pieces whose sizes the input's first
// bytes choose, then told the connection closed. The same bytes fed whole must give the
// same outcome, no kept body may pass the bound, and an answer of announced length must
// carry exactly that many bytes.
#include "Common/HttpAnswerParser.h"

#include <cstdint>
#include <cstdlib>

namespace {
const qint64 MaxBody = 4096; // small, so that the fuzzer reaches it

struct Result
{
    HttpAnswerParser::State state;
    int status;
    QByteArray body;
};

Result run(const char *data, size_t size, const uint8_t *cuts, size_t ncuts)
{
    HttpAnswerParser p(MaxBody);
    size_t at = 0;
    for (size_t i = 0; at < size && !p.isComplete() && !p.isFailed(); ++i) {
        size_t n = ncuts ? size_t(cuts[i % ncuts]) + 1 : size - at;
        if (n > size - at)
            n = size - at;
        const qint64 used = p.feed(data + at, qint64(n));
        if (used < 0 || size_t(used) > n)
            abort();
        at += n;
    }
    p.closed();
    if (p.body().size() > MaxBody || (p.isComplete() && p.total() >= 0 && p.body().size() != p.total()))
        abort();
    return {p.state(), p.status(), p.body()};
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const size_t ncuts = data[0] % 8;
    if (size < 1 + ncuts)
        return 0;
    const char *bytes = reinterpret_cast<const char *>(data + 1 + ncuts);
    const size_t n = size - 1 - ncuts;
    const Result pieces = run(bytes, n, data + 1, ncuts);
    const Result whole = run(bytes, n, nullptr, 0);
    if (pieces.state != whole.state || pieces.status != whole.status || pieces.body != whole.body)
        abort();
    return 0;
}
