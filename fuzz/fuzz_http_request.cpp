// The listener's request assembly, fed the input in pieces whose sizes the input's
// first bytes choose. The same bytes fed whole must give the same outcome, and a
// complete request must carry exactly the announced body.
#include "Common/HttpRequestAssembler.h"

#include <cstdint>
#include <cstdlib>

namespace {
struct Result
{
    HttpRequestAssembler::Status status;
    bool matched = false;
    HttpServer::Request request;
};

Result run(const char *data, size_t size, const uint8_t *cuts, size_t ncuts)
{
    // Small limits, so that the fuzzer reaches them.
    HttpRequestAssembler a(512, 4096);
    size_t at = 0;
    for (size_t i = 0; at < size && a.status() == HttpRequestAssembler::Status::Incomplete; ++i) {
        size_t n = ncuts ? size_t(cuts[i % ncuts]) + 1 : size - at;
        if (n > size - at)
            n = size - at;
        qint64 used = 0;
        a.feed(data + at, qint64(n), &used);
        if (used < 0 || size_t(used) > n)
            abort();
        at += n;
    }
    Result r;
    r.status = a.status();
    if (r.status == HttpRequestAssembler::Status::Complete) {
        r.matched = a.take(r.request);
        if (r.matched && r.request.body.size() != a.expectedLength())
            abort();
    }
    return r;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const size_t ncuts = data[0] % 8;
    if (size < 1 + ncuts)
        return 0;
    const uint8_t *cuts = data + 1;
    const char *bytes = reinterpret_cast<const char *>(data + 1 + ncuts);
    const size_t n = size - 1 - ncuts;

    const Result pieces = run(bytes, n, cuts, ncuts);
    const Result whole = run(bytes, n, nullptr, 0);
    if (pieces.status != whole.status || pieces.matched != whole.matched)
        abort();
    if (pieces.matched
        && (pieces.request.method != whole.request.method || pieces.request.path != whole.request.path
            || pieces.request.body != whole.request.body))
        abort();
    return 0;
}
