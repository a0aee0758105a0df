#pragma once
// The body of a server's answer in a target's input: the bytes after the first one (which
// picks the request), decoded as the HTTP client decodes answers. False for an input
// without a first byte.
#include "Common/Http/HttpClient.h"

#include <cstdint>

inline bool answerBody(const uint8_t *data, size_t size, QJsonValue *body)
{
    if (size < 1)
        return false;
    *body = HttpClient::parsePayload(QByteArray(reinterpret_cast<const char *>(data + 1), int(size - 1)));
    return true;
}
