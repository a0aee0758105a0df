// The listener's request assembly, fed the input in pieces whose sizes the input's
// first bytes choose. The same bytes fed whole must give the same outcome, and a
// complete request must carry exactly the announced body (a chunked one at most the bound).
#include "Common/Http/HttpRequestAssembler.h"
#include "Pieces.h"

#include <cstdint>
#include <cstdlib>

namespace {
const qint64 MaxBody = 4096;

struct Result
{
    HttpRequestAssembler::Status status;
    bool matched = false;
    HttpServer::Request request;
};

Result run(const char *data, size_t size, const uint8_t *cuts, size_t ncuts)
{
    // Small limits, so that the fuzzer reaches them.
    HttpRequestAssembler a(512, MaxBody);
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
        if (r.matched && (a.chunked() ? r.request.body.size() > MaxBody : r.request.body.size() != a.expectedLength()))
            abort();
    }
    return r;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return checkPieces(data, size, run, [](const Result &a, const Result &b) {
        return a.status == b.status && a.matched == b.matched
               && (!a.matched
                   || (a.request.method == b.request.method && a.request.path == b.request.path
                       && a.request.body == b.request.body));
    });
}
