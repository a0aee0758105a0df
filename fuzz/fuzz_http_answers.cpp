// The HTTP client's answer parser, fed the input in pieces whose sizes the input's first
// bytes choose, then told the connection closed. The same bytes fed whole must give the
// same outcome, no kept body may pass the bound, and an answer of announced length must
// carry exactly that many bytes. The authentication challenges of a complete answer are
// answered: the answer must stay one header line.
#include "Common/Http/HttpAnswerParser.h"
#include "Common/Http/HttpAuth.h"
#include "Pieces.h"

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
    feedPieces(data, size, cuts, ncuts, [&] { return !p.isComplete() && !p.isFailed(); },
               [&](const char *piece, size_t n) { return p.feed(piece, qint64(n)); });
    p.closed();
    if (p.body().size() > MaxBody || (p.isComplete() && p.total() >= 0 && p.body().size() != p.total()))
        abort();
    HttpAuth auth;
    if (p.isComplete() && auth.choose(p.headerValues("www-authenticate"))) {
        auth.setCredentials(QStringLiteral("lane"), QStringLiteral("secret"));
        const QByteArray line = auth.authorization("GET", "/");
        if (line.contains('\r') || line.contains('\n'))
            abort();
    }
    return {p.state(), p.status(), p.body()};
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return checkPieces(data, size, run, [](const Result &a, const Result &b) {
        return a.state == b.state && a.status == b.status && a.body == b.body;
    });
}
