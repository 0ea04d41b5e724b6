#include "report/print.h"

#include "platform/platform.h"
#include "report/wide_format.h"

#include <cstdarg>
#include <cstddef>

namespace ntsnap {
namespace {

struct ByteSink {
    char bytes[1024];
    std::size_t length;
};

void flush(ByteSink* out) {
    if (out->length != 0) {
        platform::writeStandardOutput(out->bytes, out->length);
        out->length = 0;
    }
}

void toBytes(void* context, const char16_t* text, std::size_t count) {
    auto* out = static_cast<ByteSink*>(context);
    for (std::size_t i = 0; i < count; ++i) {
        if (out->length + 2 > sizeof out->bytes) {
            flush(out);
        }
        char16_t c = text[i];
        if (c == u'\n') {
            out->bytes[out->length++] = '\r';
            out->bytes[out->length++] = '\n';
        } else {
            out->bytes[out->length++] = static_cast<char>(c <= 0xFF ? c : u'?');
        }
    }
}

} // namespace

void print(const char16_t* format, ...) {
    ByteSink out;
    out.length = 0;
    std::va_list args;
    va_start(args, format);
    formatWide(toBytes, &out, format, args);
    va_end(args);
    flush(&out);
}

} // namespace ntsnap
