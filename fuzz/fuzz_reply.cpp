// Fuzz target: the reply reader fed arbitrary bytes in arbitrary pieces, then a close.
// It must end (Done or a failure) without crashing, and decode whatever body it kept.
#include "diag/Exception.h"
#include "net/HttpReply.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    // The first byte picks the piece size, so split points are explored too.
    const size_t piece = size_t(data[0] % 64) + 1;
    const char *bytes = reinterpret_cast<const char *>(data + 1);
    size_t left = size - 1;
    HttpReplyReader reader;
    try {
        bool done = false;
        auto drain = [&] {
            while (true) {
                switch (reader.next()) {
                case HttpReplyReader::Event::NeedMore: return;
                case HttpReplyReader::Event::Head:
                    (void)reader.setCookies();
                    // Exercise the 3xx shortcut on some inputs.
                    if (reader.statusCode() == 302 && (data[0] & 0x80))
                        reader.skipBody();
                    break;
                case HttpReplyReader::Event::Done: done = true; return;
                }
            }
        };
        while (left > 0 && !done) {
            const size_t n = left < piece ? left : piece;
            reader.feed(QByteArrayView(bytes, qsizetype(n)));
            bytes += n;
            left -= n;
            drain();
        }
        if (!done) {
            reader.feedEnd();
            drain();
        }
        if (!done)
            __builtin_trap(); // after a close the reader must have ended
        (void)reader.text();
    } catch (const Exception &) {
    }
    return 0;
}
