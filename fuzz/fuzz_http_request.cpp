// The listener's request assembly, fed the input in pieces whose sizes the input's
// first bytes choose. The same bytes fed whole must give the same outcome, and a
// complete request must carry exactly the announced body.
#include "Common/HttpRequestAssembler.h"
#include "Pieces.h"

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
    feedPieces(data, size, cuts, ncuts, [&] { return a.status() == HttpRequestAssembler::Status::Incomplete; },
               [&](const char *piece, size_t n) {
                   qint64 used = 0;
                   a.feed(piece, qint64(n), &used);
                   return used;
               });
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
    Pieces in;
    if (!readPieces(data, size, in))
        return 0;
    const Result pieces = run(in.bytes, in.size, in.sizes, in.count);
    const Result whole = run(in.bytes, in.size, nullptr, 0);
    if (pieces.status != whole.status || pieces.matched != whole.matched)
        abort();
    if (pieces.matched
        && (pieces.request.method != whole.request.method || pieces.request.path != whole.request.path
            || pieces.request.body != whole.request.body))
        abort();
    return 0;
}
